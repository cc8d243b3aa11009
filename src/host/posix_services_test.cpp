// External programs and services on the POSIX backend, on the real system:
// child programs with their output through a pipe, and services of an init
// script of our own (a small sleeping daemon) and systemd unit files, in a
// service root of the test's own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/testing/dummy_service.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"

namespace korvel::host {
namespace {

using namespace korvel::literals;
using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;

std::vector<std::string> Captured(Host& host, const std::string& command, const std::string& dir = "",
                                  std::uint32_t* exit_code = nullptr) {
  std::vector<std::string> lines;
  const std::uint32_t code =
      host.RunProgramCaptured(command, dir, [&](const std::string& line) { lines.push_back(line); });
  if (exit_code != nullptr) *exit_code = code;
  return lines;
}

TEST(RunProgramCaptured, LinesAtLfOrCrLfConvertedLastLineKept) {
  Host& host = SystemHost();
  std::uint32_t code = 0;
  EXPECT_EQ(Captured(host, "sh -c \"printf 'one\\r\\nдва\\r\\nпоследняя'; exit 7\""_cp, "", &code),
            (std::vector<std::string>{"one", "два"_cp, "последняя"_cp}));
  EXPECT_EQ(code, 7u);
  // A lone LF ends a line too; standard error arrives on the same pipe.
  EXPECT_EQ(Captured(host, "sh -c \"printf 'a\\nb\\r\\n'; printf 'ошибка\\n' >&2\""_cp),
            (std::vector<std::string>{"a", "b", "ошибка"_cp}));
  EXPECT_EQ(Captured(host, "sh -c \"printf 'no line end'\""), std::vector<std::string>{"no line end"});
}

TEST(RunProgramCaptured, LongOutputAcrossReadsKeepsEveryLineWhole) {
  // 2000 lines of two-byte letters: reads of 1024 bytes split letters and
  // line ends alike.
  const std::vector<std::string> lines =
      Captured(SystemHost(), "sh -c \"i=0; while [ $i -lt 2000 ]; do printf 'строка %d\\r\\n' $i; i=$((i+1)); done\""_cp);
  ASSERT_EQ(lines.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(lines[i], "строка "_cp + std::to_string(i));
}

TEST(RunProgramCaptured, WorkingDirectoryAndStartFailure) {
  TempDir dir;
  const std::vector<std::string> pwd = Captured(SystemHost(), "sh -c pwd", dir.path());
  ASSERT_EQ(pwd.size(), 1u);
  EXPECT_EQ(IncludePathDelimiter(Trim(pwd[0])), dir.path());
  try {
    SystemHost().RunProgramCaptured("korvel-no-such-program /x", "", nullptr);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка запуска программы \"korvel-no-such-program /x\":\r\n"_cp +
                               LastErrorText(e.Cause()));
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kNotFound);
  }
}

TEST(RunAndWait, WaitsForTheEndAndReportsAStartFailure) {
  TempDir dir;
  SystemHost().RunAndWait("sh -c \"sleep 0.3; echo done > marker\"", dir.path());
  EXPECT_TRUE(SystemHost().FileExists(dir / "marker"));
  try {
    SystemHost().RunAndWait("korvel-no-such-program", "");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка запуска программы \"korvel-no-such-program\".\r\n"_cp + LastErrorText(e.Cause()));
  }
}

class DummyServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_.Install("KorvelDummy");
    host_ = &services_.Host();
  }
  std::uint32_t DaemonPid(const std::string& name) { return services_.DaemonPid(name); }

  testing::DummyServices services_;
  Host* host_ = nullptr;
  std::string At(std::string_view relative) { return JoinPath(services_.root(), relative); }
};

TEST_F(DummyServiceTest, StartedQueriedListedAndStoppedThroughItsInitScript) {
  Host& host = *host_;
  EXPECT_EQ(host.GetServiceImagePath("KorvelDummy"), "/bin/sleep");
  EXPECT_EQ(host.QueryServiceState("KorvelDummy"), kServiceStopped);
  host.ServiceControl("KorvelDummy", true);
  EXPECT_EQ(host.QueryServiceState("KorvelDummy"), kServiceRunning);
  const std::uint32_t pid = DaemonPid("KorvelDummy");
  ASSERT_NE(pid, 0u);
  std::vector<std::uint32_t> ids;
  host.ListProcessIds("SLEEP", ids);
  EXPECT_NE(std::find(ids.begin(), ids.end(), pid), ids.end());
  // Already running: nothing is asked of it.
  host.ServiceControl("KorvelDummy", true);
  EXPECT_EQ(DaemonPid("KorvelDummy"), pid);

  host.ServiceControl("KorvelDummy", false);
  EXPECT_EQ(host.QueryServiceState("KorvelDummy"), kServiceStopped);
  ids.clear();
  host.ListProcessIds("sleep", ids);
  EXPECT_EQ(std::find(ids.begin(), ids.end(), pid), ids.end());
  host.ServiceControl("KorvelDummy", false);

  // The service manager's own command, as the run starts and stops the
  // promotion services, with its output.
  EXPECT_EQ(host.ServiceCommandLine("KorvelDummy", true), services_.root() + "etc/init.d/KorvelDummy start");
  EXPECT_EQ(Captured(host, "sh -c \"" + host.ServiceCommandLine("KorvelDummy", true) + "\""),
            std::vector<std::string>{"Starting KorvelDummy"});
  EXPECT_EQ(host.QueryServiceState("KorvelDummy"), kServiceRunning);
}

TEST_F(DummyServiceTest, MissingServiceHasNoImagePathAndCannotBeOpened) {
  EXPECT_EQ(host_->GetServiceImagePath("OrvPromos"), "");
  EXPECT_EQ(host_->GetServiceImagePath("../init.d/KorvelDummy"), "");
  try {
    host_->QueryServiceState("OrvPromos");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка открытия сервиса OrvPromos : "_cp + LastErrorText(e.Cause()));
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kServiceMissing);
  }
  // The connect-only manager opens the service for its status alone.
  std::unique_ptr<ServiceManagerHandle> manager = host_->OpenServiceManager("", false);
  EXPECT_EQ(manager->OpenService("KorvelDummy", false)->QueryState(), kServiceStopped);
  EXPECT_THROW(host_->OpenServiceManager("far-away-host", false), EOSError);
}

TEST_F(DummyServiceTest, ImagePathOfSystemdUnitsAndInitScripts) {
  WriteFile(At("etc/systemd/system/A.service"),
            "[Unit]\nExecStart=/not/this\n[Service]\nType=simple\nExecStart=-/usr/sbin/fbguard -forever\n"
            "ExecStart=/second\n");
  WriteFile(At("lib/systemd/system/B.service"),
            "[Service]\nExecStart=/first\nExecStart=\nExecStart=@\"/opt/my app/bin/srv\" srv --x\n");
  WriteFile(At("lib/systemd/system/C.service"), "[Service]\n# ExecStart=/comment\nExecStart=!!+/usr/bin/c\\\n  --arg\n");
  // The machine's own unit wins over the packaged one.
  WriteFile(At("lib/systemd/system/A.service"), "[Service]\nExecStart=/packaged\n");
  WriteFile(At("etc/init.d/Plain"), "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(host_->GetServiceImagePath("A"), "/usr/sbin/fbguard");
  EXPECT_EQ(host_->GetServiceImagePath("B"), "/opt/my app/bin/srv");
  EXPECT_EQ(host_->GetServiceImagePath("C"), "/usr/bin/c");
  EXPECT_EQ(host_->GetServiceImagePath("Plain"), At("etc/init.d/Plain"));

  // Where systemd runs, systemctl controls the services.
  SystemHost().ForceDirectoriesOrFail(At("run/systemd/system"));
  EXPECT_EQ(host_->ServiceCommandLine("OrvPromos", false), "systemctl stop OrvPromos");
}

}  // namespace
}  // namespace korvel::host
