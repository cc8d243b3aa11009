#include <gtest/gtest.h>

#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "run/korvel_data.h"
#include "run/run_test_host.h"

namespace korvel::run {
namespace {

using namespace korvel::literals;
using korvel::testing::TempDir;
using korvel::testing::WriteFile;
using testing::RunTestHost;

constexpr const char* kScriptId = "{0B7D3C7E-6A1F-4A7B-9C55-1D2E3F405060}";

class ScriptSteps : public ::testing::Test {
 protected:
  ScriptSteps() : host_(dir_.path(), {}), dm_(host_) {
    dm_.ExeDir = dir_.path();
    previous_dir_ = host_.CurrentDirectory();
    // The runner's statement logs land in the current directory.
    host_.SetCurrentDirectory(dir_.path());
  }
  ~ScriptSteps() override { host_.SetCurrentDirectory(previous_dir_); }

  // The log's messages since the last call, without their times.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> lines;
    for (const std::string& line : dm_.LogLines) lines.push_back(cp1251::ToUtf8(line.substr(line.find('\t') + 1)));
    dm_.LogLines.clear();
    return lines;
  }

  std::string Script(const std::string& name, const std::string& text) {
    const std::string path = dir_ / ("scripts/" + name);
    WriteFile(path, text);
    return path;
  }

  std::string Count(const std::string& connection, const std::string& sql) {
    return fb::testing::SelectValue(connection, sql);
  }

  TempDir dir_;
  RunTestHost host_;
  TdmKorvel dm_;
  std::string previous_dir_;
};

TEST_F(ScriptSteps, NumberedScriptsAboveTheSchemaVersionInOrder) {
  const std::string numbers = dir_ / "pkg/Scripts/Numbers/";
  for (const char* name : {"1199.sql", "1200.sql", "1203.sql", "1201.sql", "readme.sql"}) WriteFile(numbers + name, "");
  dm_.SysVerNo = 1200;
  // Without the database-maintenance object the scripts must not run on
  // the live database instead of a copy.
  EXPECT_THROW(dm_.RunNumberedScripts(dir_ / "pkg"), Exception);
  EXPECT_EQ(dm_.ScriptList, (std::vector<std::string>{numbers + "1201.sql", numbers + "1203.sql"}));
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Поиск номерных скриптов ...", "Номерных скриптов 2"}));

  // Nothing due (or no directory at all): the count 0 and nothing else.
  dm_.SysVerNo = 1203;
  dm_.RunNumberedScripts(dir_ / "pkg/");
  EXPECT_TRUE(dm_.ScriptList.empty());
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Поиск номерных скриптов ...", "Номерных скриптов 0"}));
  dm_.RunNumberedScripts(dir_ / "nothing");
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Поиск номерных скриптов ...", "Номерных скриптов 0"}));
}

TEST_F(ScriptSteps, EachScriptKeepsOnlyWhatItCommitted) {
  KORVEL_REQUIRE_FB_SERVER();
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  ASSERT_TRUE(dm_.FbClient.Load());
  dm_.DbName = "127.0.0.1/3050:/nonexistent/live.fdb";
  dm_.ScriptList = {
      Script("1.sql", "insert into T values (1);\r\ncommit;\r\ninsert into T values (100);\r\n"),
      // A one-line CONNECT reaches the runner as a comment: the script
      // stays on the database the step opened.
      Script("2.sql", "connect 'elsewhere.fdb' user 'SYSDBA' password 'x';\r\ninsert into T values (2);\r\ncommit;\r\n"),
      // Each script has a connection of its own: the uncommitted row of
      // the first one is not seen here.
      Script("3.sql", "insert into T select count(*) from T where A = 100;\r\ncommit;\r\n"),
  };
  dm_.RunScriptList(db.Connection());
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Прокрутка скриптов ...", "Скрипт 1.sql ...", "Скрипт 1.sql - OK",
                                                 "Скрипт 2.sql ...", "Скрипт 2.sql - OK", "Скрипт 3.sql ...",
                                                 "Скрипт 3.sql - OK", "Прокрутка скриптов - OK"}));
  EXPECT_EQ(Count(db.Connection(), "select list(A) from (select A from T order by A)"), "0,1,2");
  EXPECT_FALSE(dm_.dbApteka.Connected());
  EXPECT_FALSE(dm_.trWrite.InTransaction());
  EXPECT_EQ(dm_.dbApteka.DatabaseName, dm_.DbName);
}

TEST_F(ScriptSteps, TheFirstFailingScriptEndsTheList) {
  KORVEL_REQUIRE_FB_SERVER();
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  ASSERT_TRUE(dm_.FbClient.Load());
  dm_.DbName = "127.0.0.1/3050:/nonexistent/live.fdb";
  const std::string first = Script("1.sql", "insert into T values (1);\r\ncommit;\r\n");
  const std::string third = Script("3.sql", "insert into T values (3);\r\ncommit;\r\n");

  // A parse error in the second: its statements do not run at all (the
  // check comes first), the third is not attempted.
  dm_.ScriptList = {first, Script("2.sql", "insert into T values (2);\r\ncommit;\r\nvacuum;\r\n"), third};
  try {
    dm_.RunScriptList(db.Connection());
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(cp1251::ToUtf8(e.Message()), "Ошибка разбора скрипта: vacuum Invalid statement");
  }
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Прокрутка скриптов ...", "Скрипт 1.sql ...", "Скрипт 1.sql - OK",
                                                 "Скрипт 2.sql ..."}));
  EXPECT_EQ(Count(db.Connection(), "select list(A) from T"), "1");
  EXPECT_FALSE(dm_.dbApteka.Connected());
  EXPECT_EQ(dm_.dbApteka.DatabaseName, dm_.DbName);

  // An execution error: what the script did after its last COMMIT is
  // rolled back with the failing statement.
  dm_.ScriptList = {Script("4.sql", "insert into T values (4);\r\ncommit;\r\ninsert into T values (5);\r\n"
                                    "insert into T values ('x');\r\ncommit;\r\n"),
                    third};
  try {
    dm_.RunScriptList(db.Connection());
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(cp1251::ToUtf8(e.Message()).rfind("Ошибка: insert into T values ('x') ", 0), 0u)
        << cp1251::ToUtf8(e.Message());
  }
  EXPECT_EQ(Count(db.Connection(), "select list(A) from (select A from T order by A)"), "1,4");
  EXPECT_FALSE(dm_.trWrite.InTransaction());
  EXPECT_FALSE(dm_.dbApteka.Connected());
  TakeLog();

  // A file that cannot be read, and a database that cannot be reached.
  dm_.ScriptList = {dir_ / "scripts/missing.sql"};
  EXPECT_THROW(dm_.RunScriptList(db.Connection()), EInOutError);
  EXPECT_FALSE(dm_.dbApteka.Connected());
  dm_.ScriptList = {first};
  EXPECT_THROW(dm_.RunScriptList(db.Connection() + ".none"), fb::EIBInterBaseError);
  EXPECT_EQ(dm_.dbApteka.DatabaseName, dm_.DbName);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Прокрутка скриптов ...", "Скрипт missing.sql ...",
                                                 "Прокрутка скриптов ..."}));
}

TEST_F(ScriptSteps, PrivateScriptIsNewUntilItsRowIsInTheScriptLog) {
  KORVEL_REQUIRE_FB_SERVER();
  const std::string other_id = "{11111111-2222-3333-4444-555555555555}";
  fb::testing::ScratchDatabase db({"create table SCRIPT_LOG (SCRIPT_ID varchar(38))",
                                   std::string("insert into SCRIPT_LOG values ('") + kScriptId + "')"});
  ASSERT_TRUE(dm_.FbClient.Load());
  dm_.DbName = db.Connection();

  EXPECT_FALSE(dm_.IsNewPrivateScript(Script("a.sql", std::string("/* PrivateScript ") + kScriptId + " */\r\n")));
  EXPECT_TRUE(dm_.dbApteka.Connected());
  EXPECT_TRUE(dm_.IsNewPrivateScript(Script("b.sql", "/* privatescript " + other_id + " */\r\ncommit;\r\n")));
  EXPECT_TRUE(TakeLog().empty());

  const std::string short_id = Script("c.sql", "/* PrivateScript {ABCD} */\r\n");
  const std::string last_word = Script("d.sql", std::string("/* ") + kScriptId + " PrivateScript\r\n");
  const std::string empty = Script("e.sql", "");
  for (const std::string& path : {short_id, last_word, empty}) {
    EXPECT_FALSE(dm_.IsNewPrivateScript(path));
    EXPECT_EQ(TakeLog(), std::vector<std::string>{"Файл " + cp1251::ToUtf8(path) + " не является частным скриптом"});
  }
  EXPECT_THROW(dm_.IsNewPrivateScript(dir_ / "scripts/missing.sql"), EInOutError);
  // A closed connection is opened for the look-up.
  dm_.dbApteka.Close();
  EXPECT_TRUE(dm_.IsNewPrivateScript(dir_ / "scripts/b.sql"));
  dm_.dbApteka.Close();
}

}  // namespace
}  // namespace korvel::run
