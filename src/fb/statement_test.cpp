#include "fb/statement.h"

#include <gtest/gtest.h>

#include "fb/testing/test_server.h"
#include "host/cp1251.h"

namespace korvel::fb {
namespace {

using namespace korvel::literals;
using testing::ScratchDatabase;

// A connected database with the program's parameters and a read-committed
// and a snapshot transaction, as the program uses them.
class StatementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    scratch_ = std::make_unique<ScratchDatabase>(std::vector<std::string>{
        "create table ITEMS (ID integer not null primary key, NAME varchar(40), CODE char(5), "
        "PRICE numeric(15,2), RATE double precision, MADE timestamp, DAY_ date, NOTE blob sub_type text, "
        "SMALL smallint, BIG bigint, FLAG boolean)",
        "create procedure TWICE (X integer) returns (Y integer) as begin Y = X * 2; suspend; end",
        "create procedure TWICE_EXEC (X integer) returns (Y integer) as begin Y = X * 2; end",
    });
    database_ = std::make_unique<Database>(*testing::TestClient());
    testing::SetProgramParams(*database_);
    database_->DatabaseName = scratch_->Connection();
    database_->Open();
    read_ = std::make_unique<Transaction>(*database_);
    read_->Params = {"write", "nowait", "rec_version", "read_committed"};
    write_ = std::make_unique<Transaction>(*database_);
    write_->Params = {"write", "nowait", "concurrency"};
    write_->StartTransaction();
  }

  std::unique_ptr<ScratchDatabase> scratch_;
  std::unique_ptr<Database> database_;
  std::unique_ptr<Transaction> read_, write_;
};

TEST_F(StatementTest, ReportsTheStatementType) {
  Statement statement(*database_, *write_);
  const std::pair<const char*, StatementType> cases[] = {
      {"select ID from ITEMS", StatementType::kSelect},
      {"select ID from ITEMS for update", StatementType::kSelectForUpdate},
      {"insert into ITEMS (ID) values (1)", StatementType::kInsert},
      {"update ITEMS set NAME = 'x'", StatementType::kUpdate},
      {"delete from ITEMS", StatementType::kDelete},
      {"create table OTHER (A integer)", StatementType::kDDL},
      {"execute procedure TWICE_EXEC 2", StatementType::kExecProcedure},
      {"set generator G to 1", StatementType::kSetGenerator},
  };
  for (const auto& [sql, type] : cases) {
    if (type == StatementType::kSetGenerator) {
      database_->ExecuteImmediate(*write_, "create generator G");
      write_->CommitRetaining();
    }
    statement.Prepare(sql);
    EXPECT_EQ(statement.Type(), type) << sql;
  }
}

TEST_F(StatementTest, NamedParametersAndColumnsOfEveryType) {
  Statement insert(*database_, *write_);
  insert.Prepare(
      "insert into ITEMS (ID, NAME, CODE, PRICE, RATE, MADE, DAY_, NOTE, SMALL, BIG, FLAG) "
      "values (:id, :name, :code, :price, :rate, :made, :day, :note, :small, :big, :flag)");
  ASSERT_EQ(insert.ParamCount(), 11);
  EXPECT_EQ(insert.ParamName(1), "name");
  insert.ParamByName("ID").SetInteger(1);
  insert.ParamByName("name").SetString("Аспирин 'УПСА'"_cp);
  insert.ParamByName("code").SetString("AB");
  insert.ParamByName("price").SetString("12.5");
  insert.ParamByName("rate").SetString("0.25");
  insert.ParamByName("made").SetString("2024-03-05 14:07:09");
  insert.ParamByName("day").SetString("2024-03-05");
  // Longer than one BLOB segment, with Cyrillic text.
  std::string note;
  for (int i = 0; i < 5000; ++i) note += "Строка "_cp + std::to_string(i) + "\r\n";
  insert.ParamByName("note").SetString(note);
  insert.ParamByName("small").SetInteger(-7);
  insert.ParamByName("big").SetInteger(1234567890123LL);
  insert.ParamByName("flag").SetString("true");
  insert.Execute();

  insert.ParamByName("ID").SetInteger(2);
  for (const char* name : {"name", "code", "price", "rate", "made", "day", "note", "small", "big", "flag"}) {
    insert.ParamByName(name).Clear();
  }
  insert.Execute();
  write_->Commit();

  read_->StartTransaction();
  Statement select(*database_, *read_);
  select.Prepare("select i.* from ITEMS i where i.ID = ?");
  select.Params(0).SetInteger(1);
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  EXPECT_EQ(select.FieldByName("id").AsInteger(), 1);
  EXPECT_EQ(select.FieldByName("NAME").AsString(), "Аспирин 'УПСА'"_cp);
  EXPECT_EQ(select.FieldByName("CODE").AsString(), "AB   ");  // CHAR keeps its padding
  EXPECT_EQ(select.FieldByName("PRICE").AsString(), "12.5");
  EXPECT_EQ(select.FieldByName("PRICE").AsInteger(), 13);  // rounded
  EXPECT_EQ(select.FieldByName("RATE").AsString(), "0.25");
  EXPECT_EQ(select.FieldByName("MADE").AsString(), "3/5/2024 14:07:09");
  EXPECT_EQ(select.FieldByName("DAY_").AsString(), "3/5/2024");
  EXPECT_EQ(select.FieldByName("NOTE").AsString(), note);
  EXPECT_EQ(select.FieldByName("SMALL").AsInteger(), -7);
  EXPECT_EQ(select.FieldByName("BIG").AsInt64(), 1234567890123LL);
  EXPECT_THROW(select.FieldByName("BIG").AsInteger(), EIBClientError);
  EXPECT_EQ(select.FieldByName("FLAG").AsString(), "True");
  EXPECT_FALSE(select.FieldByName("NOTE").IsNull());
  EXPECT_FALSE(select.Fetch());
  EXPECT_FALSE(select.CursorOpen());

  select.Params(0).SetInteger(2);
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  for (const char* name : {"NAME", "CODE", "PRICE", "RATE", "MADE", "DAY_", "NOTE", "SMALL", "BIG", "FLAG"}) {
    EXPECT_TRUE(select.FieldByName(name).IsNull()) << name;
    EXPECT_EQ(select.FieldByName(name).AsString(), "") << name;
    EXPECT_EQ(select.FieldByName(name).AsInteger(), 0) << name;
  }
}

TEST_F(StatementTest, TextReadAsIntegerFollowsTheHostsRules) {
  Statement statement(*database_, *write_);
  statement.Prepare("select cast(' 42 ' as varchar(10)) as A, cast('4x' as varchar(10)) as B from RDB$DATABASE");
  statement.Execute();
  ASSERT_TRUE(statement.Fetch());
  EXPECT_EQ(statement.FieldByName("A").AsInteger(), 42);
  try {
    statement.FieldByName("B").AsInteger();
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'4x' is not a valid integer value");
  }
}

TEST_F(StatementTest, MissingNamesAndMissingRows) {
  Statement statement(*database_, *write_);
  statement.Prepare("select ID from ITEMS where ID = :id");
  try {
    statement.FieldByName("PRICE");
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Field 'PRICE' not found");
  }
  try {
    statement.ParamByName("code");
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Parameter 'code' not found");
  }
  statement.ParamByName("id").SetInteger(99);
  statement.Execute();
  EXPECT_FALSE(statement.Fetch());
  // Without a current row a column reads as null.
  EXPECT_TRUE(statement.FieldByName("ID").IsNull());
  EXPECT_EQ(statement.FieldByName("ID").AsInteger(), 0);
}

TEST_F(StatementTest, OneNameAtSeveralPositions) {
  Statement statement(*database_, *write_);
  statement.Prepare("select cast(:v as integer) + 1 as A, cast(:v as integer) * 2 as B from RDB$DATABASE");
  statement.ParamByName("V").SetInteger(10);
  statement.Execute();
  ASSERT_TRUE(statement.Fetch());
  EXPECT_EQ(statement.FieldByName("A").AsInteger(), 11);
  EXPECT_EQ(statement.FieldByName("B").AsInteger(), 20);
}

TEST_F(StatementTest, ExecutableProcedureGivesItsOutputRow) {
  Statement statement(*database_, *write_);
  statement.Prepare("execute procedure TWICE_EXEC ?");
  statement.Params(0).SetInteger(21);
  statement.Execute();
  EXPECT_TRUE(statement.HasRow());
  EXPECT_EQ(statement.FieldByName("Y").AsInteger(), 42);

  statement.Prepare("select Y from TWICE(4)");
  statement.Execute();
  ASSERT_TRUE(statement.Fetch());
  EXPECT_EQ(statement.Fields(0).AsInteger(), 8);
}

TEST_F(StatementTest, ServerErrorsCarryTheClientsText) {
  Statement statement(*database_, *write_);
  try {
    statement.Prepare("select o.PRED_ID\r\nfrom ORGANIZATION o");
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_EQ(e.Message(),
              "Dynamic SQL Error\r\n-SQL error code = -204\r\n-Table unknown\r\n-ORGANIZATION\r\n"
              "-At line 2, column 6");
    EXPECT_EQ(e.SQLCode(), -204);
    EXPECT_GE(e.ErrorCodes().size(), 3u);
  }
  EXPECT_FALSE(statement.Prepared());

  statement.Prepare("insert into ITEMS (ID) values (?)");
  statement.Params(0).SetInteger(1);
  statement.Execute();
  try {
    statement.Execute();
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_EQ(e.Message().rfind("violation of PRIMARY or UNIQUE KEY constraint", 0), 0u) << e.Message();
  }
  statement.Params(0).SetString("abc");
  EXPECT_THROW(statement.Execute(), EIBInterBaseError);
}

TEST_F(StatementTest, CommitClosesTheCursorAndTheStatementRunsAgain) {
  database_->ExecuteImmediate(*write_, "insert into ITEMS (ID) values (1)");
  database_->ExecuteImmediate(*write_, "insert into ITEMS (ID) values (2)");
  Statement select(*database_, *write_);
  select.Prepare("select ID from ITEMS order by ID");
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  write_->Commit();
  EXPECT_FALSE(select.CursorOpen());
  EXPECT_FALSE(select.Fetch());
  EXPECT_THROW(select.Execute(), EIBClientError);  // transaction not active
  write_->StartTransaction();
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  ASSERT_TRUE(select.Fetch());
  EXPECT_EQ(select.Fields(0).AsInteger(), 2);
  // Executing again while the cursor is open starts from the first row.
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  EXPECT_EQ(select.Fields(0).AsInteger(), 1);
}

TEST_F(StatementTest, DdlWithProcedureBodyUnparsed) {
  Statement statement(*database_, *write_);
  // The colon before a variable stays as written when parameters are not
  // parsed.
  statement.Prepare(
      "create procedure P returns (R integer) as declare variable V integer; begin V = 5; R = :V; suspend; end",
      false);
  EXPECT_EQ(statement.ParamCount(), 0);
  statement.Execute();
  write_->Commit();
  write_->StartTransaction();
  statement.Prepare("select R from P");
  statement.Execute();
  ASSERT_TRUE(statement.Fetch());
  EXPECT_EQ(statement.Fields(0).AsInteger(), 5);
}

TEST_F(StatementTest, QueryStartsItsTransactionAndFetchesTheFirstRow) {
  database_->ExecuteImmediate(*write_, "insert into ITEMS (ID, NAME) values (7, 'seven')");
  write_->Commit();
  Query query(*database_, *read_);
  query.SQL = {"select i.NAME", "from ITEMS i", "where i.ID = :id"};
  EXPECT_FALSE(read_->InTransaction());
  query.ParamByName("id").SetInteger(7);
  EXPECT_TRUE(read_->InTransaction());
  query.Open();
  EXPECT_TRUE(query.Active());
  ASSERT_FALSE(query.Eof());
  EXPECT_EQ(query.FieldByName("NAME").AsString(), "seven");
  query.Next();
  EXPECT_TRUE(query.Eof());
  query.Close();
  EXPECT_FALSE(query.Active());

  query.ParamByName("id").SetInteger(8);
  query.Open();
  EXPECT_TRUE(query.Eof());
}

}  // namespace
}  // namespace korvel::fb
