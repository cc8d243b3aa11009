// The private scripts of the data module on a database of the test server
// whose server service is a dummy one of the test's own: found in
// Scripts\_all and Scripts\_server, looked up by their markers in
// SCRIPT_LOG, and the new ones run on a copy of the database; also when a
// private update of the same run brought them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "dbservice/db_service.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/testing/dummy_service.h"
#include "packages/package_intake.h"
#include "packages/package_maker.h"
#include "packages/testing/office_keys.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using ::testing::HasSubstr;

constexpr const char* kIdA = "{AAAAAAAA-0000-0000-0000-000000000001}";
constexpr const char* kIdB = "{BBBBBBBB-0000-0000-0000-000000000002}";
constexpr const char* kIdC = "{CCCCCCCC-0000-0000-0000-000000000003}";

// A private script that records itself in SCRIPT_LOG when `records`.
std::string PrivateScript(const std::string& id, const std::string& body, bool records = true) {
  return "/* PrivateScript " + id + " */\r\n" + body +
         (records ? "insert into SCRIPT_LOG (SCRIPT_ID) values ('" + id + "');\r\ncommit;\r\n" : "");
}

class PrivateScripts : public testing::StepTest {
 protected:
  PrivateScripts() : host_(services_.Host(), root_ / "Korvel\\", {}), dm_(host_) {}

  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    services_.Install("FirebirdServerPelkora");
    services_.Host().ServiceControl("FirebirdServerPelkora", true);
    std::vector<std::string> statements = fb::testing::PharmacyStatements(12, 5, 700);
    statements.push_back("create table T (A integer)");
    statements.push_back(std::string("insert into SCRIPT_LOG (SCRIPT_ID) values ('") + kIdB + "')");
    db_ = std::make_unique<fb::testing::ScratchDatabase>(statements);
    ASSERT_TRUE(dm_.FbClient.Load());
    dm_.ExeDir = root_ / "Korvel\\";
    SystemHost().ForceDirectoriesOrFail(dm_.ExeDir);
    SystemHost().SetCurrentDirectory(dm_.ExeDir);
    dm_.AptekaDir = root_ / "Apteka\\";
    dm_.InDir = root_ / "In\\";
    dm_.TmpDir = root_ / "Work\\TMP\\";
    SystemHost().ForceDirectoriesOrFail(dm_.InDir);
    SystemHost().ForceDirectoriesOrFail(dm_.TmpDir);
    dm_.PredId = 12;
    dm_.NodeId = 5;
    dm_.DbName = db_->Connection();
    dm_.DbService = std::make_unique<dbservice::TDbService>(host_, dm_.FbClient);
    dm_.DbService->SetDatabase(dm_.DbName);
    dm_.DbService->ServiceName = "FirebirdServerPelkora";
    dm_.DbService->OnMessage = [this](const std::string& m) { dm_.WriteLog(m); };
  }

  std::string Script(const std::string& relative, const std::string& text) {
    const std::string path = host::JoinPath(dm_.AptekaDir, "Scripts\\" + relative);
    WriteFile(path, text);
    return path;
  }
  V TakeLog() {
    V lines;
    for (const std::string& line : testing::LogMessages(dm_.LogLines)) lines.push_back(cp1251::ToUtf8(line));
    dm_.LogLines.clear();
    return lines;
  }
  // A private update InDir + `name` from the office, for this pharmacy,
  // that brings the file `relative` with `text`.
  void PackPrivateUpdate(const std::string& name, const std::string& relative, const std::string& text) {
    WriteFile(dm_.ExeDir + "Korvel.pub", packages::testing::OfficeKeys().public_pem);
    const std::string payload = root_ / "payload";
    WriteFile(host::JoinPath(payload + host::kPathDelim, relative), text);
    packages::PackOptions options;
    options.type = packages::kPrivateUpdateType;
    options.pred_id = 12;
    options.to = 5;
    options.payload_dir = payload;
    options.out = dm_.InDir + name;
    packages::PackPackage(SystemHost(), packages::testing::OfficeSigner(), options);
  }
  std::string Value(const std::string& sql) { return fb::testing::SelectValue(db_->Connection(), sql); }
  bool Contains(const V& log, const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); }

  korvel::testing::DummyServices services_;
  RunTestHost host_;
  TdmKorvel dm_;
  std::unique_ptr<fb::testing::ScratchDatabase> db_;
};

TEST_F(PrivateScripts, WithoutNewScriptsTheDatabaseIsNotTakenDown) {
  // No script directories at all.
  dm_.RunPrivateScripts();
  EXPECT_EQ(TakeLog(), (V{"Поиск новых частных скриптов ...", "Найдено новых частных скриптов 0"}));
  // Only an applied script and a file without a marker, which is reported
  // in every run.
  Script("_server\\b.sql", PrivateScript(kIdB, "insert into T values (2);\r\ncommit;\r\n"));
  const std::string plain = Script("_all\\plain.sql", "insert into T values (9);\r\ncommit;\r\n");
  for (int run = 0; run < 2; ++run) {
    dm_.RunPrivateScripts();
    EXPECT_EQ(TakeLog(), (V{"Поиск новых частных скриптов ...",
                            "Файл " + cp1251::ToUtf8(plain) + " не является частным скриптом",
                            "Найдено новых частных скриптов 0"}));
  }
  EXPECT_TRUE(dm_.ScriptList.empty());
  EXPECT_FALSE(dm_.dbApteka.Connected());
  EXPECT_EQ(Value("select count(*) from T"), "0");
}

TEST_F(PrivateScripts, NewScriptsOfBothDirectoriesRunOnACopyEachByItsOwnMarker) {
  // The same name in both directories: two scripts, each looked up by the
  // marker in its own first line.
  const std::string all = Script("_all\\x.sql", PrivateScript(kIdA, "insert into T values (1);\r\ncommit;\r\n"));
  Script("_server\\x.sql", PrivateScript(kIdB, "insert into T values (2);\r\ncommit;\r\n"));
  const std::string server_y = Script("_server\\y.sql", PrivateScript(kIdC, "insert into T values (3);\r\ncommit;\r\n"));
  dm_.RunPrivateScripts();
  const V log = TakeLog();
  EXPECT_EQ(dm_.ScriptList, (V{all, server_y}));
  EXPECT_TRUE(Contains(log, "Найдено новых частных скриптов 2")) << ::testing::PrintToString(log);
  for (const char* line : {"БД в даун ...", "Скрипт x.sql - OK", "Скрипт y.sql - OK", "Проверка метаданных - OK"})
    EXPECT_TRUE(Contains(log, line)) << line;
  EXPECT_EQ(Value("select list(A) from (select A from T order by A)"), "1,3");
  EXPECT_TRUE(SystemHost().FileExists(dm_.DbService->DbLstFileName));

  // Recorded by their own statements: not run again.
  dm_.RunPrivateScripts();
  EXPECT_TRUE(Contains(TakeLog(), "Найдено новых частных скриптов 0"));
  EXPECT_EQ(Value("select count(*) from T"), "2");
}

TEST_F(PrivateScripts, AScriptThatDoesNotRecordItselfRunsAgainAndAFailureUndoesTheBatch) {
  Script("_all\\forgetful.sql", PrivateScript(kIdA, "insert into T values (1);\r\ncommit;\r\n", false));
  dm_.RunPrivateScripts();
  dm_.RunPrivateScripts();
  EXPECT_EQ(Value("select count(*) from T"), "2");
  TakeLog();

  Script("_server\\broken.sql", PrivateScript(kIdC, "insert into T values (5);\r\ncommit;\r\nvacuum;\r\n"));
  try {
    dm_.RunPrivateScripts();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(cp1251::ToUtf8(e.Message()), "Ошибка разбора скрипта: vacuum Invalid statement");
  }
  EXPECT_TRUE(Contains(TakeLog(), "Файлы БД восстановлены."));
  // The forgetful script of the same batch is undone with it.
  EXPECT_EQ(Value("select count(*) from T"), "2");
  EXPECT_FALSE(dm_.dbApteka.Connected());

  // An unreachable database fails the look-up, and the connection is left
  // closed.
  dm_.DbName = db_->Connection() + ".none";
  EXPECT_THROW(dm_.RunPrivateScripts(), Exception);
  EXPECT_FALSE(dm_.dbApteka.Connected());
}

// A private update delivers a script, which the same run finds and runs.
TEST_F(PrivateScripts, AScriptDeliveredByAPrivateUpdateRunsInTheSameRun) {
  PackPrivateUpdate("scripts.upp", "Scripts\\_all\\x.sql",
                    PrivateScript(kIdA, "insert into T values (42);\r\ncommit;\r\n"));
  dm_.RunPrivateUpdates();
  dm_.RunPrivateScripts();
  const V log = TakeLog();
  const auto at = [&log](const std::string& line) { return std::find(log.begin(), log.end(), line) - log.begin(); };
  const std::vector<std::string> order = {"Файл scripts.upp успешно обработан", "Поиск новых частных скриптов ...",
                                          "Найдено новых частных скриптов 1", "Скрипт x.sql - OK",
                                          "Прокрутка скриптов - OK"};
  for (std::size_t i = 0; i < order.size(); ++i) {
    ASSERT_LT(at(order[i]), static_cast<std::ptrdiff_t>(log.size())) << order[i] << ::testing::PrintToString(log);
    if (i > 0) {
      EXPECT_LT(at(order[i - 1]), at(order[i])) << order[i];
    }
  }
  EXPECT_FALSE(SystemHost().FileExists(dm_.InDir + "scripts.upp"));
  EXPECT_EQ(Value("select list(A) from T"), "42");
  EXPECT_EQ(Value(std::string("select count(*) from SCRIPT_LOG where SCRIPT_ID = '") + kIdA + "'"), "1");
}

}  // namespace
}  // namespace korvel::run
