#include <gtest/gtest.h>

#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "run/korvel_data.h"
#include "run/run_test_host.h"
#include "scripts/script_text.h"

namespace korvel::run {
namespace {

using namespace korvel::literals;
using korvel::testing::ReadFile;
using korvel::testing::TempDir;
using testing::RunTestHost;

TEST(ScriptRunners, SettingsOfBothInstances) {
  TempDir dir;
  RunTestHost host(dir.path(), {});
  TdmKorvel dm(host);
  for (scripts::TSqlScript* runner : {&dm.sqlExec, &dm.sqlExec1}) {
    EXPECT_EQ(runner->Database, &dm.dbApteka);
    EXPECT_EQ(runner->Transaction, &dm.trWrite);
    EXPECT_FALSE(runner->Statistics);
    EXPECT_EQ(runner->SQLDialect, 3);
    EXPECT_EQ(runner->LastDDLQueryLog, "sqlExec_DDL.log");
    EXPECT_EQ(runner->LastDMLQueryLog, "sqlExec_DML.log");
  }
  EXPECT_EQ(dm.sqlExec.Terminator, ";");
  EXPECT_FALSE(dm.sqlExec.AutoDDL);
  EXPECT_EQ(dm.sqlExec1.Terminator, "^");
  EXPECT_TRUE(dm.sqlExec1.AutoDDL);
}

TEST(ScriptRunners, HandlersRaiseTheUtilitysTexts) {
  TempDir dir;
  RunTestHost host(dir.path(), {});
  TdmKorvel dm(host);
  for (scripts::TSqlScript* runner : {&dm.sqlExec, &dm.sqlExec1}) {
    runner->Script() = {"commit;", "vacuum;"};
    runner->Terminator = ";";
    try {
      runner->CheckScript();
      FAIL();
    } catch (const Exception& e) {
      EXPECT_STREQ(e.TypeName(), "Exception");
      EXPECT_EQ(e.Message(), "Ошибка разбора скрипта: vacuum Invalid statement"_cp);
    }
  }
  bool ignore = false;
  try {
    dm.sqlExecExecuteError(dm.sqlExec, "Table unknown", "select 1 from X", 3, ignore);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка: select 1 from X Table unknown"_cp);
  }
  EXPECT_FALSE(ignore);
}

// A numbered script and the pricing script through the data module's own
// connection, the way the script steps use them.
TEST(ScriptRunners, RunOnTheDataModulesConnection) {
  KORVEL_REQUIRE_FB_SERVER();
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  TempDir dir;
  RunTestHost host(dir.path(), {});
  TdmKorvel dm(host);
  ASSERT_TRUE(dm.FbClient.Load());
  dm.DbName = db.Connection();
  // The statement logs land in the current directory.
  const std::string previous = host.CurrentDirectory();
  host.SetCurrentDirectory(dir.path());
  struct Restore {
    host::Host& host;
    std::string directory;
    ~Restore() { host.SetCurrentDirectory(directory); }
  } restore{host, previous};

  const auto run = [&](scripts::TSqlScript& runner, std::string_view text, bool check) -> std::string {
    dm.OpenDatabase();
    runner.Script() = scripts::SplitLines(text);
    std::string error;
    try {
      if (!check || runner.CheckScript()) runner.RunScript();
    } catch (const Exception& e) {
      error = e.Message();
    }
    if (dm.trWrite.InTransaction()) dm.trWrite.Rollback();
    dm.dbApteka.Close();
    return error;
  };
  const auto count = [&](const std::string& sql) {
    dm.OpenDatabase();
    fb::Query query(dm.dbApteka, dm.trRead);
    query.SQL = {sql};
    query.Open();
    const std::string value = query.GetStatement().Fields(0).AsString();
    query.Close();
    dm.trRead.Commit();
    dm.dbApteka.Close();
    return value;
  };

  EXPECT_EQ(run(dm.sqlExec, "insert into T values (1);\ncommit;\ninsert into T values (2);", true), "");
  EXPECT_EQ(count("select count(*) from T"), "1");
  const std::string error = run(dm.sqlExec, "insert into T values (3);\ncommit;\ninsert into T values ('x');", true);
  EXPECT_EQ(error.rfind("Ошибка: insert into T values ('x') "_cp, 0), 0u) << error;
  EXPECT_EQ(count("select count(*) from T"), "2");
  EXPECT_EQ(ReadFile(dir / "sqlExec_DML.log"), "insert into T values ('x')\r\n");

  EXPECT_EQ(run(dm.sqlExec1,
                "create or alter procedure P_PRICE returns (R integer) as begin R = 7; suspend; end^\n"
                "create or alter procedure P_BAD as begin R = 1; end^\n",
                false)
                .rfind("Ошибка: create or alter procedure P_BAD"_cp, 0),
            0u);
  EXPECT_EQ(count("select R from P_PRICE"), "7");
  EXPECT_EQ(ReadFile(dir / "sqlExec_DDL.log"), "create or alter procedure P_BAD as begin R = 1; end\r\n");
}

}  // namespace
}  // namespace korvel::run
