// The launcher service check of the data module on a TarnelService of the
// test's own (an init script below a service root): installed from the
// distribution when missing, refused when installed from another file, left
// alone for the same build and replaced by another one. Faults that a real
// service manager cannot be made to show come from a forwarding host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include "host/cp1251.h"
#include "host/testing/dummy_service.h"
#include "packages/launcher_service.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

SysError AccessDenied() { return SysError{13, SysErrorKind::kAccessDenied, "Permission denied"}; }

class RefusingService : public host::ServiceHandle {
 public:
  explicit RefusingService(std::unique_ptr<host::ServiceHandle> target) : target_(std::move(target)) {}
  int QueryState() override { return target_->QueryState(); }
  bool Start() override { return false; }
  void StartOrFail() override { throw EOSError(AccessDenied()); }
  void SendStop() override { target_->SendStop(); }

 private:
  std::unique_ptr<host::ServiceHandle> target_;
};

class FaultyManager : public host::ServiceManagerHandle {
 public:
  FaultyManager(std::unique_ptr<host::ServiceManagerHandle> target, bool deny_open, bool refuse_start)
      : target_(std::move(target)), deny_open_(deny_open), refuse_start_(refuse_start) {}
  std::unique_ptr<host::ServiceHandle> OpenService(const std::string& name, bool full_access) override {
    if (deny_open_) throw EOSError(AccessDenied());
    auto service = target_->OpenService(name, full_access);
    if (refuse_start_) return std::make_unique<RefusingService>(std::move(service));
    return service;
  }

 private:
  std::unique_ptr<host::ServiceManagerHandle> target_;
  bool deny_open_, refuse_start_;
};

class FaultHost : public RunTestHost {
 public:
  using RunTestHost::RunTestHost;
  std::unique_ptr<host::ServiceManagerHandle> OpenServiceManager(const std::string& machine,
                                                                 bool full_access) override {
    if (deny_manager) throw EOSError(AccessDenied());
    auto manager = RunTestHost::OpenServiceManager(machine, full_access);
    if (!deny_service && !refuse_start) return manager;
    return std::make_unique<FaultyManager>(std::move(manager), deny_service, refuse_start);
  }
  void RunAndWait(const std::string& command_line, const std::string& working_dir) override {
    commands.push_back(command_line);
    RunTestHost::RunAndWait(command_line, working_dir);
  }
  // Windows keeps a running program's file: it may be renamed (the program
  // goes on from the new name) but not replaced or deleted.
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    if (to == running) throw EOSError(AccessDenied());
    RunTestHost::MoveFile(from, to, allow_copy);
    if (from == running) running = to;
  }
  void DeleteFile(const std::string& path) override {
    if (path == running) throw EOSError(AccessDenied());
    RunTestHost::DeleteFile(path);
  }
  bool deny_manager = false, deny_service = false, refuse_start = false;
  std::string running;  // the file the running service executes
  V commands;
};

constexpr const char* kService = "TarnelService";

class LauncherService : public testing::StepTest {
 protected:
  void SetUp() override {
    dm_.ExeDir = root_ / "Korvel\\";
    dm_.DistribDir = root_ / "Work\\Distrib\\";
    SystemHost().ForceDirectoriesOrFail(dm_.ExeDir);
    source_ = dm_.DistribDir + "Utils/AutoUpdate/TarnelSrv.exe";
    installed_ = dm_.ExeDir + "TarnelSrv.exe";
  }

  // The distribution's launcher program: a script that, run with
  // /INSTALL /SILENT, registers TarnelService (an init script running a
  // daemon whose image is ExeDir's TarnelSrv.exe) when `registers`.
  void WriteInstaller(bool registers) {
    templates_.Install(kService, installed_);
    const std::string script = templates_.root() + "etc/init.d/" + kService;
    WriteFile(source_, "#!/bin/sh\n[ \"$1 $2\" = \"/INSTALL /SILENT\" ] || exit 2\n" +
                           std::string(registers ? "" : "exit 0\n") + "mkdir -p '" + services_.root() + "etc/init.d' && cp '" + script + "' '" + services_.root() +
                           "etc/init.d/" + kService + "'\n");
    ::chmod(source_.c_str(), 0755);
  }

  static void SetTime(const std::string& path, time_t seconds) {
    const utimbuf times{seconds, seconds};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
  }

  V Log() const { return testing::LogMessages(dm_.LogLines); }
  std::string Failure() {
    try {
      dm_.CheckLauncherService();
    } catch (const Exception& e) {
      return e.Message();
    }
    ADD_FAILURE() << "no failure";
    return {};
  }
  int State() { return services_.Host().QueryServiceState(kService); }

  // An even time, so that the two-second file times keep the distances.
  static constexpr time_t kTime = 1767225600;

  korvel::testing::DummyServices services_;
  korvel::testing::DummyServices templates_;
  std::string source_, installed_;
  FaultHost host_{services_.Host(), root_ / "Korvel\\", {}};
  TdmKorvel dm_{host_};
};

TEST_F(LauncherService, DoesNothingWithoutTheProgramInTheDistribution) {
  dm_.CheckLauncherService();
  EXPECT_THAT(Log(), ElementsAre());
  EXPECT_FALSE(SystemHost().FileExists(installed_));
}

TEST_F(LauncherService, InstallsAndStartsAMissingService) {
  WriteInstaller(true);
  dm_.CheckLauncherService();
  EXPECT_THAT(Log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                 "Служба не установлена. Установка службы ..."_cp, "Служба успешно установлена"_cp,
                                 "Запуск службы ..."_cp, "Службы успешно запущена"_cp));
  EXPECT_EQ(ReadFile(installed_), ReadFile(source_));
  EXPECT_EQ(State(), host::kServiceRunning);
  EXPECT_EQ(services_.Host().GetServiceImagePath(kService), installed_);

  // The next run finds it installed from the same build.
  dm_.LogLines.clear();
  dm_.CheckLauncherService();
  EXPECT_THAT(Log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                 "Служба TarnelService - OK (обновлений не найдено)"_cp));
}

TEST_F(LauncherService, InstallationFailures) {
  // The program ran but registered nothing.
  WriteInstaller(false);
  EXPECT_THAT(Failure(), StartsWith("Службу не удалось установить: Код: "_cp));
  EXPECT_THAT(Log().back(), "Служба не установлена. Установка службы ..."_cp);

  // Registered, but the service refuses to start.
  WriteInstaller(true);
  host_.refuse_start = true;
  dm_.LogLines.clear();
  EXPECT_EQ(Failure(), "Службу не удалось запустить: "_cp + LastErrorText(AccessDenied()));
  EXPECT_THAT(Log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                 "Служба не установлена. Установка службы ..."_cp, "Служба успешно установлена"_cp,
                                 "Запуск службы ..."_cp));
}

TEST_F(LauncherService, InstallsFromADirectoryWithABlank) {
  dm_.ExeDir = root_ / "Korvel Dir\\";
  installed_ = dm_.ExeDir + "TarnelSrv.exe";
  SystemHost().ForceDirectoriesOrFail(dm_.ExeDir);
  WriteInstaller(true);
  dm_.CheckLauncherService();
  EXPECT_THAT(host_.commands, ElementsAre("\"" + installed_ + "\" /INSTALL /SILENT"));
  EXPECT_EQ(Log().back(), "Службы успешно запущена"_cp);
}

TEST_F(LauncherService, ServiceManagerFailures) {
  WriteFile(source_, "launcher");
  host_.deny_manager = true;
  EXPECT_EQ(Failure(), "Ошибка открытия менеджера служб: "_cp + LastErrorText(AccessDenied()));
  host_.deny_manager = false;
  host_.deny_service = true;
  EXPECT_EQ(Failure(), "Ошибка открытия службы TarnelService : "_cp + LastErrorText(AccessDenied()));
  // Neither was taken for a missing service.
  EXPECT_FALSE(SystemHost().FileExists(installed_));
}

TEST_F(LauncherService, RefusesAServiceInstalledFromAnotherFile) {
  services_.Install(kService, dm_.ExeDir + "TarnelLauncher.exe");
  WriteFile(dm_.ExeDir + "TarnelLauncher.exe", "launcher");
  WriteFile(source_, "launcher");
  EXPECT_EQ(Failure(), "Имя файла службы TarnelLauncher.exe отличается от эталонного TarnelSrv.exe"_cp);
  EXPECT_THAT(Log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp));
  EXPECT_FALSE(SystemHost().FileExists(installed_));

  // Letter case does not make another name.
  services_.Install(kService, dm_.ExeDir + "tarnelsrv.EXE");
  WriteFile(dm_.ExeDir + "tarnelsrv.EXE", "launcher");
  dm_.LogLines.clear();
  dm_.CheckLauncherService();
  EXPECT_THAT(Log().back(), "Служба TarnelService - OK (обновлений не найдено)"_cp);
}

TEST_F(LauncherService, KeepsTheSameBuildWithinAMinute) {
  services_.Install(kService, installed_);
  WriteFile(installed_, "build 1");
  WriteFile(source_, "build 2");
  for (const auto& [installed_time, source_time] : {std::pair{kTime, kTime + 59}, std::pair{kTime + 59, kTime}}) {
    SetTime(installed_, installed_time);
    SetTime(source_, source_time);
    dm_.LogLines.clear();
    dm_.CheckLauncherService();
    EXPECT_THAT(Log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                   "Служба TarnelService - OK (обновлений не найдено)"_cp));
    EXPECT_EQ(ReadFile(installed_), "build 1");
    EXPECT_FALSE(SystemHost().FileExists(dm_.ExeDir + "TarnelSrv.old"));
  }
}

TEST_F(LauncherService, ReplacesAnotherBuildAndKeepsTheServiceRunning) {
  services_.Install(kService, installed_);
  services_.Host().ServiceControl(kService, true);
  const std::uint32_t daemon = services_.DaemonPid(kService);
  WriteFile(dm_.ExeDir + "TarnelSrv.old", "build 0");
  WriteFile(installed_, "build 1");
  WriteFile(source_, "build 2");
  SetTime(installed_, kTime);
  SetTime(source_, kTime + 61);
  dm_.CheckLauncherService();
  EXPECT_THAT(Log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                 "Обновление службы ..."_cp, "Cлужба TarnelService успешно обновлена"_cp));
  EXPECT_EQ(Log().back()[0], 'C');  // the Latin letter
  EXPECT_EQ(ReadFile(installed_), "build 2");
  EXPECT_EQ(ReadFile(dm_.ExeDir + "TarnelSrv.old"), "build 1");
  // Neither stopped nor restarted.
  EXPECT_EQ(State(), host::kServiceRunning);
  EXPECT_EQ(services_.DaemonPid(kService), daemon);

  // The copy keeps the distribution's time, so the next run finds no update.
  dm_.LogLines.clear();
  dm_.CheckLauncherService();
  EXPECT_THAT(Log().back(), "Служба TarnelService - OK (обновлений не найдено)"_cp);

  // Another size within the same minute is another build too.
  WriteFile(source_, "build 3 (larger)");
  SetTime(source_, kTime + 61);
  dm_.LogLines.clear();
  dm_.CheckLauncherService();
  EXPECT_THAT(Log().back(), "Cлужба TarnelService успешно обновлена"_cp);
  EXPECT_EQ(ReadFile(installed_), "build 3 (larger)");
  EXPECT_EQ(ReadFile(dm_.ExeDir + "TarnelSrv.old"), "build 2");
}

// Updates before the service restarts: the build it runs stays where the
// first one put it, each later one moves aside to a free name.
TEST_F(LauncherService, LaterUpdatesLeaveTheRunningBuildAlone) {
  services_.Install(kService, installed_);
  host_.running = installed_;
  WriteFile(installed_, "build 1");
  SetTime(installed_, kTime);
  for (int build = 2; build <= 4; ++build) {
    WriteFile(source_, "build " + std::to_string(build));
    SetTime(source_, kTime + 120 * build);  // two minutes apart: another build each time
    dm_.CheckLauncherService();
    EXPECT_EQ(Log().back(), "Cлужба TarnelService успешно обновлена"_cp);
    EXPECT_EQ(ReadFile(installed_), "build " + std::to_string(build));
  }
  EXPECT_EQ(host_.running, dm_.ExeDir + "TarnelSrv.old");
  EXPECT_EQ(ReadFile(host_.running), "build 1");
  EXPECT_EQ(ReadFile(dm_.ExeDir + "TarnelSrv.old1"), "build 3");  // build 2's place, freed again
}

TEST(LauncherBuild, SameWithinOneMinuteEitherWay) {
  const TDateTime t = 46000.5, second = 1.0 / 86400;
  EXPECT_TRUE(packages::SameLauncherBuild(10, t, 10, t + 59 * second));
  EXPECT_TRUE(packages::SameLauncherBuild(10, t + 59 * second, 10, t));
  EXPECT_FALSE(packages::SameLauncherBuild(10, t, 10, t + 61 * second));
  EXPECT_FALSE(packages::SameLauncherBuild(10, t + 61 * second, 10, t));
  EXPECT_FALSE(packages::SameLauncherBuild(10, t, 11, t));
}

}  // namespace
}  // namespace korvel::run
