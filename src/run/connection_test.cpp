#include <gtest/gtest.h>

#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "run/korvel_data.h"
#include "run/run_test_host.h"

namespace korvel::run {
namespace {

using namespace korvel::literals;
using korvel::testing::TempDir;
using testing::RunTestHost;

TEST(ConnectionTest, LegacyServerByNameAndPort) {
  const std::pair<const char*, bool> cases[] = {
      {"srv/3051:D:\\Db\\base.GDB", true},  {"srv/3051:D:\\Db\\base.gdb", true},
      {"SRV/3051:d:\\db\\BASE.Gdb", true},  {"srv/3050:D:\\Db\\base.gdb", false},
      {"srv/3051:D:\\Db\\base.fdb", false}, {"srv:D:\\Db\\base.gdb", false},
      {"srv/30510:D:\\Db\\base.gdb", false}, {"srv/3051:D:\\Db\\base.gdb.bak", false},
  };
  TempDir dir;
  RunTestHost host(dir.path(), {});
  TdmKorvel dm(host);
  for (const auto& [name, legacy] : cases) {
    dm.DbName = name;
    EXPECT_EQ(dm.IsLegacyServer(), legacy) << name;
  }
}

TEST(ConnectionTest, Fb3DatabaseFromSchemaVersion) {
  TempDir dir;
  RunTestHost host(dir.path(), {});
  TdmKorvel dm(host);
  for (const auto& [sysverno, fb3] : {std::pair{0, false}, {799, false}, {800, true}, {1200, true}}) {
    dm.SysVerNo = sysverno;
    EXPECT_EQ(dm.IsFb3Database(), fb3) << sysverno;
  }
}

TEST(ConnectionTest, ComponentsCarryTheProgramsSettings) {
  TempDir dir;
  RunTestHost host(dir.path(), {});
  TdmKorvel dm(host);
  EXPECT_EQ(dm.dbApteka.Params,
            (std::vector<std::string>{"lc_ctype=WIN1251", "user_name=SYSDBA", "password=pinecrest"}));
  EXPECT_EQ(dm.dbApteka.SQLDialect, 3);
  EXPECT_EQ(dm.trRead.Params, (std::vector<std::string>{"write", "nowait", "rec_version", "read_committed"}));
  EXPECT_EQ(dm.trWrite.Params, (std::vector<std::string>{"write", "nowait", "concurrency"}));
  EXPECT_EQ(dm.qrPredInfo.SQL,
            (std::vector<std::string>{"select o.PRED_ID, o.NODE_ID, o.SYSVERNO", "from ORGANIZATION o"}));
  EXPECT_EQ(dm.dsPriceProc.SelectSQL,
            (std::vector<std::string>{"select first 1 p.*", "from PRICING_PROCS p", "order by p.ID desc"}));
  EXPECT_EQ(dm.dsPriceProc.UpdateSQL,
            (std::vector<std::string>{"update PRICING_PROCS", "set STATUS=?STATUS", "where ID=?ID;"}));
  EXPECT_TRUE(dm.dsPriceProc.TrimCharFields);
  EXPECT_EQ(dm.FbClient.Name(), fb::DefaultClientLibraryName());
  // A script's CONNECT leaves other parameters behind; the next open of a
  // step starts from the program's own again, whether or not it succeeds.
  dm.dbApteka.Params = {"user_name=OTHER", "password=x"};
  dm.dbApteka.SQLDialect = 1;
  dm.DbName = dir / "missing.fdb";
  EXPECT_THROW(dm.OpenDatabase(), Exception);
  EXPECT_EQ(dm.dbApteka.Params,
            (std::vector<std::string>{"lc_ctype=WIN1251", "user_name=SYSDBA", "password=pinecrest"}));
  EXPECT_EQ(dm.dbApteka.SQLDialect, 3);
}

// The data module of a run that got as far as reading the identity.
class ReadDbParamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    host_ = std::make_unique<RunTestHost>(dir_.path(), std::vector<std::string>{});
    dm_ = std::make_unique<TdmKorvel>(*host_);
    ASSERT_TRUE(dm_->FbClient.Load());
  }

  TempDir dir_;
  std::unique_ptr<RunTestHost> host_;
  std::unique_ptr<TdmKorvel> dm_;
};

TEST_F(ReadDbParamsTest, ReadsTheIdentityAndClosesTheConnection) {
  fb::testing::ScratchDatabase db(fb::testing::OrganizationStatements(12, 5, 812));
  dm_->DbName = db.Connection();
  dm_->ReadDbParams();
  EXPECT_EQ(dm_->PredId, 12);
  EXPECT_EQ(dm_->NodeId, 5);
  EXPECT_EQ(dm_->SysVerNo, 812);
  EXPECT_TRUE(dm_->IsFb3Database());
  EXPECT_FALSE(dm_->dbApteka.Connected());
  EXPECT_FALSE(dm_->trRead.InTransaction());
  // Again, as the request packet does.
  dm_->ReadDbParams();
  EXPECT_EQ(dm_->SysVerNo, 812);
  EXPECT_FALSE(dm_->dbApteka.Connected());
}

TEST_F(ReadDbParamsTest, OpenDatabaseTwiceReconnects) {
  fb::testing::ScratchDatabase first(fb::testing::OrganizationStatements(1, 1, 1));
  fb::testing::ScratchDatabase second(fb::testing::OrganizationStatements(2, 2, 2));
  dm_->DbName = first.Connection();
  dm_->OpenDatabase();
  dm_->trRead.StartTransaction();
  dm_->DbName = second.Connection();
  dm_->OpenDatabase();
  EXPECT_TRUE(dm_->dbApteka.Connected());
  EXPECT_FALSE(dm_->trRead.InTransaction());
  EXPECT_EQ(dm_->dbApteka.DatabaseName, second.Connection());
  dm_->qrPredInfo.Open();
  EXPECT_EQ(dm_->qrPredInfo.FieldByName("PRED_ID").AsInteger(), 2);
  dm_->dbApteka.Close();
}

TEST_F(ReadDbParamsTest, FailuresGetTheirFirstLineAndLeaveTheConnectionClosed) {
  struct Case {
    std::vector<std::string> statements;
    std::string first_line;
    std::string server_text;  // the start of the client's own message
  };
  std::vector<Case> cases = {
      {{}, "Ошибка чтения параметров из БД."_cp, "Dynamic SQL Error\r\n-SQL error code = -204\r\n-Table unknown"},
      {{"create table ORGANIZATION (PRED_ID integer, NODE_ID integer)"},
       "Ошибка чтения параметров из БД."_cp,
       "Dynamic SQL Error\r\n-SQL error code = -206\r\n-Column unknown\r\n-O.SYSVERNO"},
      {{"create table ORGANIZATION (PRED_ID integer, NODE_ID varchar(10), SYSVERNO integer)",
        "insert into ORGANIZATION values (12, '5a', 700)"},
       "Ошибка чтения параметров из БД."_cp, "'5a' is not a valid integer value"},
      {{"create table ORGANIZATION (PRED_ID integer, NODE_ID integer, SYSVERNO integer)"},
       "Ошибка чтения параметров из БД."_cp, "Таблица ORGANIZATION пуста"_cp},
  };
  // A NULL is no integer either.
  for (const auto& [column, values] : std::vector<std::pair<std::string, std::string>>{
           {"PRED_ID", "(null, 5, 700)"}, {"NODE_ID", "(12, null, 700)"}, {"SYSVERNO", "(12, 5, null)"}}) {
    cases.push_back({{"create table ORGANIZATION (PRED_ID integer, NODE_ID integer, SYSVERNO integer)",
                      "insert into ORGANIZATION values " + values},
                     "Ошибка чтения параметров из БД."_cp,
                     "Поле "_cp + column + " не заполнено (NULL)"_cp});
  }
  for (const Case& c : cases) {
    fb::testing::ScratchDatabase db(c.statements);
    dm_->DbName = db.Connection();
    dm_->PredId = dm_->NodeId = dm_->SysVerNo = -1;
    try {
      dm_->ReadDbParams();
      ADD_FAILURE() << "no exception for " << c.server_text;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message().rfind(c.first_line + "\r\n" + c.server_text, 0), 0u) << cp1251::ToUtf8(e.Message());
    }
    EXPECT_FALSE(dm_->dbApteka.Connected());
    EXPECT_FALSE(dm_->trRead.InTransaction());
    // Nothing half-read is kept.
    EXPECT_EQ(dm_->PredId, -1);
    EXPECT_EQ(dm_->SysVerNo, -1);
  }
}

TEST_F(ReadDbParamsTest, UnreachableDatabaseFailsToOpen) {
  dm_->DbName = fb::testing::kServerPrefix + (dir_ / "missing.fdb");
  try {
    dm_->ReadDbParams();
    FAIL() << "no exception";
  } catch (const fb::EIBInterBaseError& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка открытия БД.\r\nI/O error during \"open\" operation for file"_cp, 0), 0u)
        << e.Message();
    EXPECT_STREQ(e.TypeName(), "EIBInterBaseError");
  }
  EXPECT_FALSE(dm_->dbApteka.Connected());
}

TEST(ConnectionTest, MissingClientLibraryFailsAtOpen) {
  TempDir dir;
  // A machine without the client library.
  struct NoClientHost : RunTestHost {
    using RunTestHost::RunTestHost;
    std::unique_ptr<host::SharedLibrary> LoadLibrary(const std::string&) override {
      throw EOSError(SysError{0, SysErrorKind::kNotFound, "no such library"});
    }
  } host(dir.path(), {});
  TdmKorvel dm(host);
  dm.DbName = "127.0.0.1/3050:/nonexistent/base.fdb";
  try {
    dm.ReadDbParams();
    FAIL() << "no exception";
  } catch (const fb::EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Ошибка открытия БД.\r\nFirebird client library "_cp + fb::DefaultClientLibraryName() +
                               " is not loaded (" + LastErrorText(SysError{0, SysErrorKind::kNotFound, "no such library"}) + ")");
  }
}

}  // namespace
}  // namespace korvel::run
