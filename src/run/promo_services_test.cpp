// The promotion services in a whole run: stopped during initialisation,
// started again by the closing actions, also after an error; services of
// the test's own (init scripts of sleeping daemons).
#include <gtest/gtest.h>

#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/testing/dummy_service.h"
#include "modules/dir_helpers.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"
#include "xml/xml_node.h"

namespace korvel::run {
namespace {


class PromoFixture : public testing::StepTest {
 protected:
  void SetUp() override {
    exe_dir_ = root_ / "Korvel\\";
    for (const char* dir : {"Korvel\\", "Work\\Distrib\\", "Work\\Apteka\\", "In\\", "Out\\"}) SystemHost().ForceDirectoriesOrFail(root_ / dir);
    WriteFile(root_ / "Work\\Distrib\\" + modules::VersionMarkerName(1600), "");
  }

  // The ini file names the test server's database when it answers, else a
  // server that does not exist (the run then fails reading its identity).
  void WriteIni(bool with_server) {
    std::string db = "nowhere.invalid/3050:/no/base.fdb";
    if (with_server) {
      db_ = std::make_unique<fb::testing::ScratchDatabase>(fb::testing::PharmacyStatements(12, 5, 700));
      db = db_->Connection();
    }
    WriteFile(exe_dir_ + "Korvel.ini", "[Path]\r\nWorkDir=" + root_ / "Work" + "\r\nDB=" + db +
                                           "\r\nInDir=" + root_ / "In" + "\r\nOutDir=" + root_ / "Out" + "\r\nModules=2\r\n");
  }

  // The run's messages without their times.
  V Run(const std::vector<std::string>& args = {}) {
    RunTestHost host(services_.Host(), exe_dir_, args);
    TdmKorvel dm(host);
    dm.Execute();
    V messages;
    for (const std::string& line : dm.LogLines) messages.push_back(line.substr(line.find('\t') + 1));
    return messages;
  }

  // The messages from `first` to `last` (both included).
  static V Between(const V& messages, const std::string& first, const std::string& last) {
    auto from = std::find(messages.begin(), messages.end(), first);
    if (from == messages.end()) return {};
    auto to = std::find(from, messages.end(), last);
    return V(from, to == messages.end() ? messages.end() : to + 1);
  }

  int State(const std::string& name) { return services_.Host().QueryServiceState(name); }

  korvel::testing::DummyServices services_;
  std::string exe_dir_;
  std::unique_ptr<fb::testing::ScratchDatabase> db_;
};

TEST_F(PromoFixture, StoppedForTheRunAndStartedAgainAfterAnError) {
  services_.Install("OrvPromos", "/opt/orv/promos/promos");
  services_.Install("OrvPromGuard", "/opt/orv/promos/guard");
  services_.Host().ServiceControl("OrvPromos", true);
  services_.Host().ServiceControl("OrvPromGuard", true);
  WriteIni(false);
  const V log = Run();
  EXPECT_EQ(Between(log, "Останавливаем промо-сервис..."_cp, "Stopping OrvPromos"),
            (V{"Останавливаем промо-сервис..."_cp, "Stopping OrvPromGuard", "Stopping OrvPromos"}));
  // The run failed reading the pharmacy's identity; the closing actions
  // still start both.
  const auto error = std::find_if(log.begin(), log.end(), [](const std::string& m) { return m.rfind("Ошибка "_cp, 0) == 0; });
  ASSERT_NE(error, log.end());
  EXPECT_EQ(V(log.end() - 3, log.end()), (V{"Запускаем промо-сервис..."_cp, "Starting OrvPromos", "Starting OrvPromGuard"}));
  EXPECT_LT(error - log.begin(), static_cast<long>(log.size()) - 3);
  EXPECT_EQ(State("OrvPromos"), host::kServiceRunning);
  EXPECT_EQ(State("OrvPromGuard"), host::kServiceRunning);
}

TEST_F(PromoFixture, StoppedServicesAndAMissingGuardAreOnlyLogged) {
  services_.Install("OrvPromos");
  WriteIni(fb::testing::ServerReachable());
  const V log = Run();
  EXPECT_EQ(Between(log, "Останавливаем промо-сервис..."_cp, "Служба \"OrvPromos\" не запущена."_cp),
            (V{"Останавливаем промо-сервис..."_cp, "Служба \"OrvPromGuard\" не найдена."_cp,
               "Служба \"OrvPromos\" не запущена."_cp}));
  // Started at the end whatever its state before the run.
  EXPECT_EQ(V(log.end() - 3, log.end()),
            (V{"Запускаем промо-сервис..."_cp, "Starting OrvPromos", "Служба \"OrvPromGuard\" не найдена."_cp}));
  EXPECT_EQ(State("OrvPromos"), host::kServiceRunning);

  services_.Install("OrvPromGuard");
  const V second = Run();
  EXPECT_NE(std::find(second.begin(), second.end(), "Служба \"OrvPromGuard\" не запущена."_cp), second.end());
  EXPECT_NE(std::find(second.begin(), second.end(), "Stopping OrvPromos"), second.end());
  EXPECT_EQ(second.back(), "Starting OrvPromGuard");
}

TEST_F(PromoFixture, WithoutThePromoServiceNothingAppears) {
  services_.Install("OrvPromGuard");
  WriteIni(false);
  for (const std::string& m : Run()) {
    EXPECT_EQ(m.find("промо"_cp), std::string::npos) << m;
    EXPECT_EQ(m.find("OrvProm"), std::string::npos) << m;
  }
  EXPECT_EQ(State("OrvPromGuard"), host::kServiceStopped);
}

TEST_F(PromoFixture, ASecondInstanceLeavesThemAlone) {
  services_.Install("OrvPromos");
  services_.Host().ServiceControl("OrvPromos", true);
  WriteIni(false);
  host::NamedMutex held = SystemHost().CreateNamedMutex("KorvelStarted");
  ASSERT_FALSE(held.already_existed);
  const V log = Run();
  EXPECT_EQ(log.back(), "Ошибка Exception:\r\nМьютекс KorvelStarted занят другим процессом"_cp);
  EXPECT_EQ(std::find(log.begin(), log.end(), "Останавливаем промо-сервис..."_cp), log.end());
  EXPECT_EQ(State("OrvPromos"), host::kServiceRunning);
}

// The log's disk fills up once the package search starts, and /OUTPUT
// writes into a pipe whose reader has gone (| head).
class FullLogHost : public RunTestHost {
 public:
  using RunTestHost::RunTestHost;
  std::vector<host::DirEntry> FindEntries(const std::string& pattern) override {
    if (pattern.starts_with(in_dir)) full = true;
    return RunTestHost::FindEntries(pattern);
  }
  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override {
    if (full && path.ends_with(".log")) throw EOSError(SysError{28, SysErrorKind::kOther, "No space left on device"});
    return RunTestHost::OpenFile(path, mode, share);
  }
  void ConsoleWriteLine(std::string_view) override {
    ++echoes;
    throw EOSError(SysError{32, SysErrorKind::kOther, "Broken pipe"});
  }
  std::string in_dir;
  bool full = false;
  int echoes = 0;
};

TEST_F(PromoFixture, AFullLogDiskAndAClosedConsoleStopNoClosingAction) {
  KORVEL_REQUIRE_FB_SERVER();
  services_.Install("OrvPromos");
  services_.Install(dbservice::kPelkoraServiceName);
  WriteIni(true);
  FullLogHost host(services_.Host(), exe_dir_, {"/OUTPUT"});
  host.in_dir = root_ / "In";
  TdmKorvel dm(host);
  dm.Execute();
  // The echo ended at its first failure; the run went on to the inbox.
  EXPECT_EQ(host.echoes, 1);
  ASSERT_TRUE(host.full);
  EXPECT_EQ(State("OrvPromos"), host::kServiceRunning);
  EXPECT_EQ(State(dbservice::kPelkoraServiceName), host::kServiceRunning);
  // The file has the lines up to the full disk, the packet and the system
  // log have the lost ones.
  const std::string file = korvel::testing::ReadFile(dm.LogFileName);
  EXPECT_EQ(file.find("Ошибка "_cp), std::string::npos);
  const auto packet = xml::TXMLNode::LoadFromFile(SystemHost(), root_ / "Out\\0012005.UPR");
  EXPECT_EQ(packet->GetValueAt("STATUS"), "ERROR");
  EXPECT_NE(packet->GetValueAt("MESSAGES").find("\tОшибка EOSError:\r\nОшибка WriteLog:\r\n"_cp), std::string::npos);
  const V log = testing::LogMessages(dm.LogLines);
  EXPECT_EQ(V(log.end() - 3, log.end()),
            (V{"Запускаем промо-сервис..."_cp, "Starting OrvPromos", "Служба \"OrvPromGuard\" не найдена."_cp}));
  ASSERT_FALSE(host.events.empty());
  EXPECT_NE(host.events.back().find("Параметр WriteLog:\r\n"_cp + dm.LogLines.back()), std::string::npos);
}

TEST_F(PromoFixture, ServiceStateQueries) {
  services_.Install("OrvPromos");
  RunTestHost host(services_.Host(), exe_dir_, {});
  TdmKorvel dm(host);
  EXPECT_EQ(dm.GetServiceState("", "OrvPromos"), host::kServiceStopped);
  EXPECT_FALSE(dm.IsServiceRunning("OrvPromos"));
  services_.Host().ServiceControl("OrvPromos", true);
  EXPECT_EQ(dm.GetServiceState("", "OrvPromos"), host::kServiceRunning);
  EXPECT_TRUE(dm.IsServiceRunning("OrvPromos"));
  EXPECT_EQ(dm.GetServiceState("", "NoSuchService"), 0);
  EXPECT_EQ(dm.GetServiceState("far-away-host", "OrvPromos"), 0);
  EXPECT_FALSE(dm.IsServiceRunning("NoSuchService"));
}

}  // namespace
}  // namespace korvel::run
