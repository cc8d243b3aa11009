// The runner against the real Firebird test server
// (tools/ci/firebird-test-server.sh start); skipped when it does not answer.
#include "scripts/sql_script.h"

#include <gtest/gtest.h>

#include "fb/ib_error.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "scripts/script_text.h"

namespace korvel::scripts {
namespace {

using namespace korvel::literals;
using fb::testing::ScratchDatabase;
using korvel::testing::ReadFile;
using korvel::testing::SystemHost;
using korvel::testing::WriteFile;

class SqlScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    db_ = std::make_unique<ScratchDatabase>(std::vector<std::string>{"create table T (A integer, B varchar(200))"});
    database_ = std::make_unique<fb::Database>(*fb::testing::TestClient());
    database_->DatabaseName = db_->Connection();
    fb::testing::SetProgramParams(*database_);
    database_->Open();
    transaction_ = std::make_unique<fb::Transaction>(*database_);
    transaction_->Params = {"write", "nowait", "concurrency"};
    script_ = std::make_unique<TSqlScript>(SystemHost());
    script_->Database = database_.get();
    script_->Transaction = transaction_.get();
    script_->AutoDDL = false;
    script_->LastDDLQueryLog = db_->Dir() / "sqlExec_DDL.log";
    script_->LastDMLQueryLog = db_->Dir() / "sqlExec_DML.log";
    script_->OnParseError = [](TSqlScript&, const std::string& error, const std::string& sql, int) {
      throw Exception(ParseErrorMessage(sql, error));
    };
    script_->OnExecuteError = [](TSqlScript&, const std::string& error, const std::string& sql, int, bool&) {
      throw Exception(ExecuteErrorMessage(sql, error));
    };
  }

  void TearDown() override {
    script_.reset();
    if (transaction_ && transaction_->InTransaction()) transaction_->Rollback();
    transaction_.reset();
    if (database_) database_->Close();
  }

  // As the numbered-script step: check, run, roll back what is left.
  void RunAsStep(std::string_view text) {
    script_->Script() = SplitLines(text);
    try {
      if (script_->CheckScript()) script_->RunScript();
    } catch (...) {
      EndScript();
      throw;
    }
    EndScript();
  }
  void EndScript() {
    if (transaction_->InTransaction()) transaction_->Rollback();
  }
  std::string RunExpectingError(std::string_view text) {
    try {
      RunAsStep(text);
    } catch (const Exception& e) {
      return e.Message();
    }
    ADD_FAILURE() << "no error";
    return {};
  }

  // A value of the committed state, read through a connection of its own.
  std::string Committed(const std::string& sql, const std::string& connection = "") {
    fb::Database other(*fb::testing::TestClient());
    other.DatabaseName = connection.empty() ? db_->Connection() : connection;
    fb::testing::SetProgramParams(other);
    other.Open();
    fb::Transaction read(other);
    read.Params = {"read", "read_committed", "rec_version", "nowait"};
    fb::Query query(other, read);
    query.SQL = {sql};
    query.Open();
    std::string value = query.Eof() ? "<none>" : query.GetStatement().Fields(0).AsString();
    query.Close();
    read.Commit();
    other.Close();
    return value;
  }
  std::string Rows() { return Committed("select count(*) from T"); }
  bool TableExists(const std::string& name) {
    return Committed("select count(*) from RDB$RELATIONS where RDB$RELATION_NAME = '" + name + "'") == "1";
  }

  std::unique_ptr<ScratchDatabase> db_;
  std::unique_ptr<fb::Database> database_;
  std::unique_ptr<fb::Transaction> transaction_;
  std::unique_ptr<TSqlScript> script_;
};

TEST_F(SqlScriptTest, OnlyWhatTheScriptCommittedStays) {
  RunAsStep("insert into T (A) values (1);\ncommit;\ninsert into T (A) values (2);");
  EXPECT_EQ(Rows(), "1");
  RunAsStep("insert into T (A) values (3);\ncommit work;\ninsert into T (A) values (4);\nrollback;\nquit;\n"
            "insert into T (A) values (5);\ncommit");
  EXPECT_EQ(Committed("select list(A) from (select A from T order by A)"), "1,3,5");
}

TEST_F(SqlScriptTest, DdlWithoutAutoDdlWaitsForCommit) {
  RunAsStep("create table U (A integer);\ncreate table V (A integer);");
  EXPECT_FALSE(TableExists("U"));
  RunAsStep("create table U (A integer);\ncommit;\ncreate table V (A integer);");
  EXPECT_TRUE(TableExists("U"));
  EXPECT_FALSE(TableExists("V"));
}

TEST_F(SqlScriptTest, AutoDdlCommitsEachDdlOnItsOwn) {
  script_->AutoDDL = true;
  const std::string error =
      RunExpectingError("create table U (A integer);\ninsert into T (A) values (1);\ncreate table U (B integer);");
  EXPECT_EQ(error.rfind("Ошибка: create table U (B integer) "_cp, 0), 0u) << error;
  EXPECT_TRUE(TableExists("U"));
  EXPECT_EQ(Rows(), "0");  // the DML was not committed
  // SET AUTODDL switches it within a script.
  script_->AutoDDL = true;
  RunAsStep("set autoddl off;\ncreate table W (A integer);");
  EXPECT_FALSE(TableExists("W"));
  EXPECT_FALSE(script_->AutoDDL);
  RunAsStep("set autoddl on;\ncreate table W (A integer);");
  EXPECT_TRUE(TableExists("W"));
}

TEST_F(SqlScriptTest, ParseErrorInTheCheckRunsNothing) {
  const std::string error = RunExpectingError("insert into T (A) values (1);\ncommit;\nvacuum;\n");
  EXPECT_EQ(error, "Ошибка разбора скрипта: vacuum Invalid statement"_cp);
  EXPECT_EQ(Rows(), "0");
  // Without a handler the check says false, and nothing has run either.
  script_->OnParseError = nullptr;
  script_->Script() = SplitLines("insert into T (A) values (1);\ncommit;\n-- gone\ncommit;");
  EXPECT_FALSE(script_->CheckScript());
  EXPECT_EQ(Rows(), "0");
}

TEST_F(SqlScriptTest, ExecutionErrorStopsTheScriptWithTheServersMessage) {
  const std::string error = RunExpectingError(
      "insert into T (A) values (1);\ncommit;\ninsert into NO_SUCH (A) values (2);\ninsert into T (A) values (3);\n"
      "commit;");
  EXPECT_EQ(error.rfind("Ошибка: insert into NO_SUCH (A) values (2) "_cp, 0), 0u) << error;
  EXPECT_NE(error.find("Table unknown"), std::string::npos) << error;
  EXPECT_NE(error.find("NO_SUCH"), std::string::npos) << error;
  EXPECT_EQ(Rows(), "1");
}

TEST_F(SqlScriptTest, ExecutionErrorWithoutHandlerPropagatesTheDatabaseError) {
  script_->OnExecuteError = nullptr;
  script_->Script() = SplitLines("insert into NO_SUCH values (1);");
  EXPECT_THROW(script_->RunScript(), fb::EIBInterBaseError);
  EndScript();
}

TEST_F(SqlScriptTest, IgnoredExecutionErrorGoesOn) {
  std::vector<int> lines;
  script_->OnExecuteError = [&](TSqlScript&, const std::string&, const std::string&, int line, bool& ignore) {
    lines.push_back(line);
    ignore = true;
  };
  RunAsStep("insert into NO_SUCH values (1);\ninsert into T (A) values (1);\n\nupdate NO_SUCH set A = 1;\ncommit;");
  EXPECT_EQ(lines, (std::vector<int>{0, 3}));
  EXPECT_EQ(Rows(), "1");
}

TEST_F(SqlScriptTest, StatementLogsHoldTheLastDdlAndDml) {
  RunExpectingError(
      "create table U (A integer);\ninsert into T (A) values (1);\ncreate index IX_U on U (A);\n"
      "insert into T (A)\n  values ('x');\ncommit;");
  EXPECT_EQ(ReadFile(script_->LastDDLQueryLog), "create index IX_U on U (A)\r\n");
  EXPECT_EQ(ReadFile(script_->LastDMLQueryLog), "insert into T (A)\r\n  values ('x')\r\n");
}

TEST_F(SqlScriptTest, ProceduresAndTriggersUnderSemicolonAndSetTerm) {
  RunAsStep(
      "create procedure P_INC (X integer) returns (Y integer)\nas\nbegin\n  Y = :X + 1;\n  suspend;\nend;\n"
      "create trigger T_BI for T active before insert position 0 as\nbegin\n  new.B = 'set by trigger';\nend;\n"
      "commit;\n"
      "grant execute on procedure P_INC to public;\n"
      "insert into T (A) select Y from P_INC(41);\n"
      "set term ^ ;\n"
      "execute block as begin insert into T (A) values (100); insert into T (A) values (101); end^\n"
      "set term ; ^\n"
      "alter trigger T_BI inactive ;\n"
      "commit;\n"
      "insert into T (A) values (7);\n"
      "commit;\n");
  EXPECT_EQ(Committed("select list(A || ':' || coalesce(B, '-')) from (select A, B from T order by A)"),
            "7:-,42:set by trigger,100:set by trigger,101:set by trigger");
  EXPECT_EQ(script_->Terminator, ";");
}

TEST_F(SqlScriptTest, TerminatorOfARunCarriesOverToTheNext) {
  RunAsStep("set term ^ ;\ninsert into T (A) values (1)^\ncommit^");
  EXPECT_EQ(script_->Terminator, "^");
  RunAsStep("insert into T (A) values (2)^\ncommit^");
  EXPECT_EQ(Rows(), "2");
  // The check pass alone leaves the runner's terminator as it was.
  script_->Script() = SplitLines("set term ; ^\ncommit;");
  EXPECT_TRUE(script_->CheckScript());
  EXPECT_EQ(script_->Terminator, "^");
}

TEST_F(SqlScriptTest, PricingRunnerCommitsEachProcedure) {
  // sqlExec1: terminator "^", AutoDDL.
  script_->Terminator = "^";
  script_->AutoDDL = true;
  const std::string error = RunExpectingError(
      "create or alter procedure P_ONE returns (R integer) as begin R = 1; suspend; end^\n"
      "create or alter procedure P_TWO returns (R integer) as begin R = NO_SUCH; suspend; end^\n");
  EXPECT_EQ(error.rfind("Ошибка: create or alter procedure P_TWO"_cp, 0), 0u) << error;
  EXPECT_EQ(Committed("select R from P_ONE"), "1");
}

TEST_F(SqlScriptTest, DmlParametersStayNull) {
  RunAsStep("insert into T (A, B) values (:a, 'x:y');\nupdate T set A = 5 where A is null and B = :b;\ncommit;");
  EXPECT_EQ(Committed("select coalesce(A, -1) || B from T"), "-1x:y");
}

TEST_F(SqlScriptTest, SelectsAndProceduresRunAsDml) {
  RunAsStep(
      "create procedure P_ADD (X integer) as begin insert into T (A) values (:X); end;\ncommit;\n"
      "execute procedure P_ADD(5);\nselect count(*) from T;\nselect A from T;\ncommit;");
  EXPECT_EQ(Rows(), "1");
  const std::string error = RunExpectingError("select 1 / 0 from RDB$DATABASE;");
  EXPECT_NE(error.find("divide by zero"), std::string::npos) << error;
}

TEST_F(SqlScriptTest, SetGeneratorAndSqlDialect) {
  RunAsStep("create generator G;\ncommit;\nset generator G to 41;\ncommit;\nset sql dialect 3;");
  EXPECT_EQ(Committed("select gen_id(G, 1) from RDB$DATABASE"), "42");
  RunAsStep("set sql dialect 1;\ninsert into T (A, B) values (1, \"double quotes are strings\");\ncommit;");
  EXPECT_EQ(database_->SQLDialect, 1);
  EXPECT_TRUE(database_->Connected());
  EXPECT_EQ(Committed("select B from T"), "double quotes are strings");
}

TEST_F(SqlScriptTest, ConnectAndReconnect) {
  ScratchDatabase other({"create table T2 (B varchar(20))"});
  // SET NAMES gives the next CONNECT its character set; an empty password
  // is the administrator's.
  RunAsStep("insert into T (A) values (1);\nset names WIN1251;\nconnect '" + other.Connection() +
            "' user 'SYSDBA' password '';\ninsert into T2 values ('Аптека');\ncommit;"_cp);
  EXPECT_EQ(Rows(), "0");  // left uncommitted in the first database
  EXPECT_EQ(Committed("select B from T2", other.Connection()), "Аптека"_cp);
  EXPECT_EQ(database_->DatabaseName, other.Connection());

  database_->Close();
  database_->DatabaseName = db_->Connection();
  fb::testing::SetProgramParams(*database_);
  database_->Open();
  RunAsStep("insert into T (A) values (1);\nreconnect;\ncommit;\ninsert into T (A) values (2);\ncommit;\n"
            "reconnect;\ninsert into T (A) values (3);\ncommit;");
  EXPECT_EQ(Committed("select list(A) from (select A from T order by A)"), "2,3");
  EXPECT_TRUE(database_->Connected());
}

TEST_F(SqlScriptTest, CreateAndDropDatabase) {
  korvel::testing::TempDir dir;
  fb::testing::MakeServerAccessible(dir.path());
  const std::string path = dir / "new.fdb";
  const std::string connection = fb::testing::kServerPrefix + path;
  RunAsStep("create database '" + connection +
            "' user 'SYSDBA' password 'pinecrest' page_size 8192 default character set win1251;\n"
            "create table X (A integer);\ncommit;\ninsert into X values (1);\ncommit;");
  EXPECT_TRUE(SystemHost().FileExists(path));
  EXPECT_EQ(database_->DatabaseName, connection);
  EXPECT_EQ(Committed("select count(*) from X", connection), "1");
  RunAsStep("insert into X values (2);\ndrop database;");
  EXPECT_FALSE(SystemHost().FileExists(path));
  EXPECT_FALSE(database_->Connected());
}

TEST_F(SqlScriptTest, CreateDatabaseThatFailsIsAnExecutionError) {
  const std::string error =
      RunExpectingError("create database '" + std::string(fb::testing::kServerPrefix) + "/nonexistent/dir/x.fdb' "
                        "user 'SYSDBA' password 'pinecrest';");
  EXPECT_EQ(error.rfind("Ошибка: create database "_cp, 0), 0u) << error;
}

TEST_F(SqlScriptTest, DescribeSetsDescriptions) {
  RunAsStep(
      "create procedure P (X integer) as begin end;\ncreate view V as select A from T;\n"
      "create exception E 'x';\ncreate domain DD integer;\n"
      "create trigger TR for T before insert as begin end;\ncommit;\n"
      "describe table T 'Таблица; it''s';\n"
      "describe field A table T 'column';\n"
      "describe procedure P 'proc';\n"
      "describe parameter X procedure P 'param';\n"
      "describe view V 'view';\n"
      "describe exception E 'exc';\n"
      "describe domain DD 'dom';\n"
      "describe trigger TR 'trg';\n"_cp);
  const auto description = [&](const std::string& table, const std::string& where) {
    return Committed("select cast(RDB$DESCRIPTION as varchar(100)) from " + table + " where " + where);
  };
  EXPECT_EQ(description("RDB$RELATIONS", "RDB$RELATION_NAME = 'T'"), "Таблица; it's"_cp);
  EXPECT_EQ(description("RDB$RELATION_FIELDS", "RDB$RELATION_NAME = 'T' and RDB$FIELD_NAME = 'A'"), "column");
  EXPECT_EQ(description("RDB$PROCEDURES", "RDB$PROCEDURE_NAME = 'P'"), "proc");
  EXPECT_EQ(description("RDB$PROCEDURE_PARAMETERS", "RDB$PROCEDURE_NAME = 'P' and RDB$PARAMETER_NAME = 'X'"),
            "param");
  EXPECT_EQ(description("RDB$RELATIONS", "RDB$RELATION_NAME = 'V'"), "view");
  EXPECT_EQ(description("RDB$EXCEPTIONS", "RDB$EXCEPTION_NAME = 'E'"), "exc");
  EXPECT_EQ(description("RDB$FIELDS", "RDB$FIELD_NAME = 'DD'"), "dom");
  EXPECT_EQ(description("RDB$TRIGGERS", "RDB$TRIGGER_NAME = 'TR'"), "trg");
  // Not the write transaction: committed at once, also without COMMIT.
  try {
    RunAsStep("describe index IX 'x';");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unsupported DESCRIBE type INDEX");
  }
  // As an UPDATE that finds no row: nothing happens.
  RunAsStep("describe table NO_SUCH_TABLE 'x';");
}

TEST_F(SqlScriptTest, InputFilesAndBlobFile) {
  WriteFile(db_->Dir() / "more.sql", "insert into T (A) values (2);\r\ninsert into T (A) values (3);\r\n");
  WriteFile(db_->Dir() / "blob.bin", "0123456789");
  RunAsStep("insert into T (A) values (1);\ninput '" + db_->Dir() / "more.sql" + "';\n" +
            "set blobfile '" + db_->Dir() / "blob.bin" + "';\n" +
            "insert into T (A, B) values (4, :h00000002_00000003);\ncommit;");
  EXPECT_EQ(Committed("select list(A || coalesce(B, '')) from (select A, B from T order by A)"), "1,2,3,4234");
  const std::string error = RunExpectingError("input '" + db_->Dir() / "missing.sql" + "';");
  EXPECT_EQ(error.rfind("Ошибка разбора скрипта: input '"_cp, 0), 0u) << error;
  EXPECT_NE(error.find("Cannot open file"), std::string::npos) << error;
  const std::string outside = RunExpectingError("set blobfile '" + db_->Dir() / "blob.bin" +
                                                "';\ninsert into T (A, B) values (5, :h00000008_00000003);");
  EXPECT_NE(outside.find("lies outside the BLOBFILE"), std::string::npos) << outside;
}

TEST_F(SqlScriptTest, RunWithoutDatabaseIsRefused) {
  TSqlScript bare(SystemHost());
  bare.Script() = {"commit;"};
  EXPECT_TRUE(bare.CheckScript());
  EXPECT_THROW(bare.RunScript(), fb::EIBClientError);
}

}  // namespace
}  // namespace korvel::scripts
