// The server update of the data module on a database service of the test's
// own (an init script of a sleeping daemon below a service root): the
// modules deployed while it is stopped, and the service running again on
// every path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dbservice/db_service.h"
#include "host/cp1251.h"
#include "host/testing/dummy_service.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using ::testing::HasSubstr;

// Records the database service's state at every copy of a file.
class RecordingHost : public RunTestHost {
 public:
  using RunTestHost::RunTestHost;
  void CopyFile(const std::string& from, const std::string& to) override {
    copies.push_back(host::ExtractFileName(to) + (QueryServiceState(service) == host::kServiceStopped ? " stopped" : " running"));
    RunTestHost::CopyFile(from, to);
  }
  std::string service;
  V copies;
};

class ServerUpdate : public testing::StepTest {
 protected:
  void SetUp() override {
    dm_.ExeDir = root_ / "Korvel\\";
    dm_.TmpDir = root_ / "Work\\TMP\\";
    dm_.DistribDir = root_ / "Work\\Distrib\\";
    dm_.AptekaDir = root_ / "Apteka\\";
    app_ = root_ / "Server";
    MakeDirectories({dm_.ExeDir, dm_.TmpDir, dm_.DistribDir, dm_.AptekaDir});
    WriteFile(host::JoinPath(dm_.TmpDir, "bin\\fbserver"), "server 2");
    WriteFile(host::JoinPath(dm_.TmpDir, "classic\\fb_inet_server.exe"), "classic 200");
  }

  void UseService(const std::string& name, const std::string& daemon = "/bin/sleep") {
    services_.Install(name, daemon);
    services_.Host().ServiceControl(name, true);
    host_.service = name;
    dm_.DbService = std::make_unique<dbservice::TDbService>(host_, dm_.FbClient);
    dm_.DbService->ServiceName = name;
    dm_.DbService->OnMessage = [this](const std::string& m) { dm_.WriteLog(m); };
  }

  // A descriptor with the modules `ids` (2: bin\fbserver, 200:
  // classic\fb_inet_server.exe, each into the server directory).
  static std::string Descriptor(const std::string& root, std::initializer_list<int> ids) {
    std::string modules;
    for (int id : ids) {
      const char* dir = id == 200 ? "classic" : "bin";
      const char* file = id == 200 ? "fb_inet_server.exe" : "fbserver";
      modules += "<MODULE ID=\"" + std::to_string(id) + "\" Root=\"" + root + "\"><FILES><DIR Source=\"" + dir +
                 "\" Dest=\"%ROOT\\" + dir + "\"><FILE Name=\"" + file + "\"/></DIR></FILES></MODULE>";
    }
    return "<DISTRIB><MODULES>" + modules + "</MODULES></DISTRIB>";
  }

  V Log() const { return testing::LogMessages(dm_.LogLines); }
  std::string Failure() {
    try {
      dm_.UpdateServerModules();
    } catch (const Exception& e) {
      return e.Message();
    }
    ADD_FAILURE() << "no failure";
    return {};
  }
  int State() { return services_.Host().QueryServiceState(host_.service); }

  korvel::testing::DummyServices services_;
  std::string app_;
  RecordingHost host_{services_.Host(), root_ / "Korvel\\", {}};
  TdmKorvel dm_{host_};
};

TEST_F(ServerUpdate, DeploysModuleTwoWhileTheServerIsStopped) {
  UseService("FirebirdServerPelkora");
  WriteFile(dm_.TmpDir + "distrib.xml", Descriptor(app_, {2, 200}));
  dm_.UpdateServerModules();
  EXPECT_EQ(ReadFile(host::JoinPath(app_ + host::kPathDelim, "bin\\fbserver")), "server 2");
  EXPECT_FALSE(SystemHost().FileExists(host::JoinPath(app_ + host::kPathDelim, "classic\\fb_inet_server.exe")));
  EXPECT_EQ(host_.copies, V{"fbserver stopped"});
  EXPECT_EQ(State(), host::kServiceRunning);
  EXPECT_EQ(Log(), (V{"Обновление сервера БД ..."_cp, "Останов службы FirebirdServerPelkora ..."_cp,
                      "Останов службы - OK"_cp, "Обновление модуля 2 ..."_cp, "Обновление модуля 2 - OK"_cp,
                      "Запуск службы FirebirdServerPelkora ..."_cp, "Запуск службы - OK"_cp,
                      "Обновление сервера БД - OK"_cp}));
}

TEST_F(ServerUpdate, ClassicDeploysModuleTwoHundredFirst) {
  UseService("FirebirdServerClassic", "/opt/firebird/bin/fb_inet_server.exe");
  dm_.Classic = true;
  WriteFile(dm_.TmpDir + "distrib.xml", Descriptor(app_, {2, 200}));
  dm_.UpdateServerModules();
  EXPECT_EQ(host_.copies, (V{"fb_inet_server.exe stopped", "fbserver stopped"}));
  EXPECT_EQ(State(), host::kServiceRunning);
  const V log = Log();
  const auto at = [&log](const std::string& line) { return std::find(log.begin(), log.end(), line) - log.begin(); };
  EXPECT_LT(at("Обновление модуля 200 ..."_cp), at("Останов службы FirebirdServerClassic ..."_cp));
  EXPECT_LT(at("Останов службы - OK"_cp), at("Обновление модуля 200 - OK"_cp));
  EXPECT_LT(at("Обновление модуля 200 - OK"_cp), at("Обновление модуля 2 ..."_cp));
  EXPECT_EQ(log.back(), "Обновление сервера БД - OK"_cp);
}

TEST_F(ServerUpdate, WithoutItsOwnDescriptorThePackageUsesTheDistributions) {
  UseService("FirebirdServerPelkora");
  WriteFile(dm_.DistribDir + "distrib.xml", Descriptor(app_, {2}));
  dm_.UpdateServerModules();
  EXPECT_EQ(ReadFile(host::JoinPath(app_ + host::kPathDelim, "bin\\fbserver")), "server 2");
}

TEST_F(ServerUpdate, AFailedDeploymentStartsTheServerAgain) {
  UseService("FirebirdServerPelkora");
  // No module 2 in the descriptor.
  WriteFile(dm_.TmpDir + "distrib.xml", Descriptor(app_, {200}));
  EXPECT_THAT(Failure(), HasSubstr("Ошибка обновления модуля 2:\r\n"_cp));
  EXPECT_EQ(State(), host::kServiceRunning);
  const V log = Log();
  EXPECT_EQ(log.back(), "Запуск службы - OK"_cp);
  EXPECT_EQ(std::find(log.begin(), log.end(), "Обновление сервера БД - OK"_cp), log.end());

  // A copy that fails: a directory stands where the server file goes.
  SystemHost().ForceDirectoriesOrFail(host::JoinPath(app_ + host::kPathDelim, "bin\\fbserver\\"));
  WriteFile(dm_.TmpDir + "distrib.xml", Descriptor(app_, {2}));
  dm_.LogLines.clear();
  EXPECT_THAT(Failure(), HasSubstr("Ошибка обновления модуля 2:\r\n"_cp));
  EXPECT_EQ(State(), host::kServiceRunning);
  EXPECT_EQ(Log().back(), "Запуск службы - OK"_cp);

  // Once the cause is gone the same payload is applied.
  SystemHost().DeleteDirectoryTree(host::JoinPath(app_ + host::kPathDelim, "bin\\fbserver"), false);
  dm_.UpdateServerModules();
  EXPECT_EQ(ReadFile(host::JoinPath(app_ + host::kPathDelim, "bin\\fbserver")), "server 2");
}

TEST_F(ServerUpdate, MovePayloadAndUpdateWorkDirUseTheRunsDirectories) {
  WriteFile(dm_.DistribDir + "001520.ver", "");
  dm_.CurVersion = 1520;
  dm_.NewVersion = 1521;
  dm_.UpdateWorkDir();
  EXPECT_EQ(dm_.CurVersion, 1521);
  EXPECT_TRUE(SystemHost().FileExists(dm_.DistribDir + "001521.ver"));
  EXPECT_FALSE(SystemHost().FileExists(dm_.DistribDir + "001520.ver"));
  EXPECT_EQ(ReadFile(host::JoinPath(dm_.DistribDir, "bin\\fbserver")), "server 2");
  EXPECT_EQ(Log(), (V{"Обновление рабочего каталога ..."_cp, "Обновление рабочего каталога - OK"_cp}));

  WriteFile(dm_.TmpDir + "app.exe", "app");
  dm_.MovePayload(dm_.AptekaDir);
  EXPECT_EQ(ReadFile(dm_.AptekaDir + "app.exe"), "app");
}

}  // namespace
}  // namespace korvel::run
