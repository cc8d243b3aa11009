// The pricing procedure step on a scratch database of the test server, with
// the database service of the test's own (FirebirdServerPelkora below a
// service root of the test's own, never the real server): the newest row
// of PRICING_PROCS decides, its script runs between two restarts, and its
// failures stay inside the step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dbservice/db_service.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/testing/dummy_service.h"
#include "run/korvel_data.h"
#include "run/run_test_host.h"

namespace korvel::run {
namespace {

using namespace korvel::literals;
using korvel::testing::TempDir;
using testing::RunTestHost;
using V = std::vector<std::string>;

// Records, at the pause after every start or stop of the service, its
// state and whether the data module's connection was open.
class RecordingHost : public RunTestHost {
 public:
  using RunTestHost::RunTestHost;
  void Sleep(unsigned milliseconds) override {
    const bool stopped = QueryServiceState(dbservice::kPelkoraServiceName) == host::kServiceStopped;
    std::string entry = stopped ? "stopped" : "running";
    if (dm != nullptr && dm->dbApteka.Connected()) entry += " connected";
    pauses.push_back(entry);
    RunTestHost::Sleep(milliseconds);
  }
  TdmKorvel* dm = nullptr;
  V pauses;
};

// A pricing procedure script as the office writes it, "^" ending each
// statement: it alters one procedure and creates another.
const std::string kValidScript =
    "/* Процедура расценки, версия 2 */\r\n"_cp
    "create or alter procedure PRICE_CALC (X integer) returns (Y integer) as\r\n"
    "begin\r\n"
    "  Y = X * 2;\r\n"
    "  suspend;\r\n"
    "end^\r\n"
    "create or alter procedure PRICE_COUNT returns (S integer) as\r\n"
    "declare variable V integer;\r\n"
    "begin\r\n"
    "  select count(*) from PRICING_PROCS into :V;\r\n"
    "  S = :V;\r\n"
    "  suspend;\r\n"
    "end^\r\n";

const V kFirstLine = {"Проверка необходимости компиляции процедуры расценки"_cp};

class PriceProc : public ::testing::Test {
 protected:
  PriceProc() {
    host_.dm = &dm_;
    dm_.ExeDir = dir_.path();
    previous_dir_ = host_.CurrentDirectory();
    // The runner's statement logs land in the current directory.
    host_.SetCurrentDirectory(dir_.path());
  }
  ~PriceProc() override { host_.SetCurrentDirectory(previous_dir_); }

  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    ASSERT_TRUE(dm_.FbClient.Load());
    services_.Install(dbservice::kPelkoraServiceName);
    services_.Host().ServiceControl(dbservice::kPelkoraServiceName, true);
    dm_.DbService = std::make_unique<dbservice::TDbService>(host_, dm_.FbClient);
    dm_.DbService->ServiceName = dbservice::kPelkoraServiceName;
    dm_.DbService->OnMessage = [this](const std::string& m) { dm_.WriteLog(m); };
  }

  // A database with ORGANIZATION, the procedure PRICE_CALC in its old
  // version, and PRICING_PROCS holding `rows` ("ID, STATUS, 'SCRIPT'").
  void UseDatabase(const V& rows, V statements = {}) {
    V all = fb::testing::OrganizationStatements(12, 34, 1600);
    all.push_back("create procedure PRICE_CALC (X integer) returns (Y integer) as begin Y = X; suspend; end");
    all.push_back("create table PRICING_PROCS (ID integer not null primary key, STATUS integer, "
                  "SCRIPT blob sub_type text, NAME varchar(40))");
    for (const std::string& row : rows) {
      all.push_back("insert into PRICING_PROCS (ID, STATUS, SCRIPT) values (" + row + ")");
    }
    all.insert(all.end(), statements.begin(), statements.end());
    db_ = std::make_unique<fb::testing::ScratchDatabase>(all);
    dm_.DbName = db_->Connection();
  }
  static std::string Row(int id, const std::string& status, const std::string& script) {
    std::string quoted;
    for (char c : script) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return std::to_string(id) + ", " + status + ", '" + quoted + "'";
  }

  std::string Select(const std::string& sql) { return fb::testing::SelectValue(db_->Connection(), sql); }
  std::string Statuses() {
    return Select("select list(ID || '=' || coalesce(STATUS, 'null')) from (select * from PRICING_PROCS order by ID)");
  }
  V Log() const { return testing::LogMessages(dm_.LogLines); }
  int State() { return services_.Host().QueryServiceState(dbservice::kPelkoraServiceName); }

  // Nothing of the step stays open, and a later step opens the database as
  // usual.
  void ExpectNothingLeftOpen() {
    EXPECT_FALSE(dm_.dbApteka.Connected());
    EXPECT_FALSE(dm_.trRead.InTransaction());
    EXPECT_FALSE(dm_.trWrite.InTransaction());
    EXPECT_FALSE(dm_.dsPriceProc.Active());
    dm_.ReadDbParams();
    EXPECT_EQ(dm_.NodeId, 34);
  }

  // The log of a row that was due: `outcome` between the two restarts.
  static V DueLog(const std::string& outcome) {
    const V stop = {"остановим сервис ФБ"_cp, "Останов службы FirebirdServerPelkora ..."_cp,
                    "Останов службы - OK"_cp, "запустим сервис ФБ"_cp,
                    "Запуск службы FirebirdServerPelkora ..."_cp, "Запуск службы - OK"_cp};
    V log = {kFirstLine[0], "Получим текст процедуры"_cp};
    log.insert(log.end(), stop.begin(), stop.end());
    log.insert(log.end(), {"Соединимся с БД"_cp, "выполним скрипт"_cp, outcome});
    log.insert(log.end(), stop.begin(), stop.end());
    return log;
  }

  korvel::testing::DummyServices services_;
  TempDir dir_;
  RecordingHost host_{services_.Host(), dir_.path(), {}};
  TdmKorvel dm_{host_};
  std::string previous_dir_;
  std::unique_ptr<fb::testing::ScratchDatabase> db_;
};

TEST_F(PriceProc, ANewVersionRunsBetweenTwoRestartsAndIsMarkedApplied) {
  UseDatabase({Row(1, "1", "broken^"), Row(2, "0", kValidScript)});
  dm_.UpdatePriceProc();
  EXPECT_EQ(Log(), DueLog("Обновили процедуру"_cp));
  // The service was stopped and started twice, never with the data
  // module's connection open.
  EXPECT_EQ(host_.pauses, (V{"stopped", "running", "stopped", "running"}));
  EXPECT_EQ(State(), host::kServiceRunning);
  EXPECT_EQ(Statuses(), "1=1,2=1");
  EXPECT_EQ(Select("select Y from PRICE_CALC(21)"), "42");
  EXPECT_EQ(Select("select S from PRICE_COUNT"), "2");
  ExpectNothingLeftOpen();

  // Applied now: the next run only looks.
  dm_.LogLines.clear();
  host_.pauses.clear();
  dm_.UpdatePriceProc();
  EXPECT_EQ(Log(), kFirstLine);
  EXPECT_TRUE(host_.pauses.empty());
}

TEST_F(PriceProc, ANullStatusIsNotAppliedYet) {
  UseDatabase({Row(5, "null", kValidScript)});
  dm_.UpdatePriceProc();
  EXPECT_EQ(Log(), DueLog("Обновили процедуру"_cp));
  EXPECT_EQ(Statuses(), "5=1");
}

TEST_F(PriceProc, OnlyTheNewestRowCounts) {
  // An older version not applied, under a newer one that is: the older
  // script never runs, the server is not touched.
  const std::string older = "create or alter procedure PRICE_CALC (X integer) returns (Y integer) as\r\n"
                            "begin Y = 0; suspend; end^\r\n";
  UseDatabase({Row(7, "0", older), Row(8, "1", kValidScript), Row(3, "0", older)});
  dm_.UpdatePriceProc();
  EXPECT_EQ(Log(), kFirstLine);
  EXPECT_TRUE(host_.pauses.empty());
  EXPECT_EQ(State(), host::kServiceRunning);
  EXPECT_EQ(Statuses(), "3=0,7=0,8=1");
  EXPECT_EQ(Select("select Y from PRICE_CALC(21)"), "21");
  ExpectNothingLeftOpen();

  // Any status but 0 counts as applied.
  UseDatabase({Row(1, "0", older), Row(2, "-1", older)});
  dm_.LogLines.clear();
  dm_.UpdatePriceProc();
  EXPECT_EQ(Log(), kFirstLine);
  EXPECT_EQ(Select("select Y from PRICE_CALC(21)"), "21");
}

TEST_F(PriceProc, AFailureIsLoggedWithoutItsTextAndTheServerRestartedAfterIt) {
  const std::pair<const char*, std::string> cases[] = {
      // A statement the parser refuses, after one that was committed.
      {"parse error", "create or alter procedure PRICE_ONE returns (R integer) as\r\n"
                      "begin R = 1; suspend; end^\r\nvacuum^\r\n"},
      // A body the server refuses.
      {"execution error", "create or alter procedure PRICE_CALC (X integer) returns (Y integer) as\r\n"
                          "begin Y = NO_SUCH_COLUMN; suspend; end^\r\n"},
      // The script runs, but marking the row fails: its new trigger
      // refuses every update, so the update is rolled back with trRead.
      {"row not marked", "create or alter trigger PRICING_PROCS_BU for PRICING_PROCS before update as\r\n"
                         "begin exception PRICE_LOCKED; end^\r\n"},
  };
  for (const auto& [what, script] : cases) {
    SCOPED_TRACE(what);
    UseDatabase({Row(1, "1", ""), Row(2, "0", script)}, {"create exception PRICE_LOCKED 'locked'"});
    dm_.LogLines.clear();
    host_.pauses.clear();
    EXPECT_NO_THROW(dm_.UpdatePriceProc());
    EXPECT_EQ(Log(), DueLog("Сбой при обработке процедуры"_cp));
    EXPECT_EQ(host_.pauses, (V{"stopped", "running", "stopped", "running"}));
    EXPECT_EQ(State(), host::kServiceRunning);
    EXPECT_EQ(Statuses(), "1=1,2=0");
    EXPECT_EQ(Select("select Y from PRICE_CALC(21)"), "21");
    ExpectNothingLeftOpen();
  }
  // What the scripts did before their failure stays: DDL is committed
  // statement by statement.
  EXPECT_EQ(Select("select count(*) from RDB$TRIGGERS where RDB$TRIGGER_NAME = 'PRICING_PROCS_BU'"), "1");
}

TEST_F(PriceProc, AnEmptyTableEndsTheStepAtOnce) {
  UseDatabase({});
  dm_.UpdatePriceProc();
  EXPECT_EQ(Log(), kFirstLine);
  EXPECT_TRUE(host_.pauses.empty());
  ExpectNothingLeftOpen();
}

TEST_F(PriceProc, WhatKeepsTheStepFromReadingTheRowReachesTheCaller) {
  // No table PRICING_PROCS.
  db_ = std::make_unique<fb::testing::ScratchDatabase>(fb::testing::OrganizationStatements(12, 34, 1600));
  dm_.DbName = db_->Connection();
  try {
    dm_.UpdatePriceProc();
    FAIL() << "no exception";
  } catch (const fb::EIBInterBaseError& e) {
    EXPECT_THAT(e.Message(), ::testing::HasSubstr("PRICING_PROCS"));
  }
  EXPECT_EQ(Log(), kFirstLine);
  EXPECT_TRUE(host_.pauses.empty());
  ExpectNothingLeftOpen();

  // No database.
  dm_.DbName = db_->Connection() + ".none";
  dm_.LogLines.clear();
  try {
    dm_.UpdatePriceProc();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка открытия БД.\r\n"_cp, 0), 0u);
  }
  EXPECT_EQ(Log(), kFirstLine);
  EXPECT_FALSE(dm_.dbApteka.Connected());

  // No database service: nothing is done at all.
  dm_.DbService.reset();
  dm_.LogLines.clear();
  try {
    dm_.UpdatePriceProc();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Компиляция процедуры расценки невозможна: служба БД не задана"_cp);
  }
  EXPECT_TRUE(Log().empty());
}

}  // namespace
}  // namespace korvel::run
