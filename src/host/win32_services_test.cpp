// External programs and services on the Win32 backend, on the real system
// (under wine in CI): child programs with their output through a pipe, the
// registry's ImagePath, and a real service of the tests' own
// (korvel_test_service.exe) registered in the service control manager,
// started, queried, listed and stopped, also with the system's net command.
#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"
#include "host/win32_api.h"

namespace korvel::host {
namespace {

using namespace korvel::literals;
using testing::SystemHost;
using testing::TempDir;
using win32::Wide;

std::vector<std::string> Captured(const std::string& command, const std::string& dir = "") {
  std::vector<std::string> lines;
  SystemHost().RunProgramCaptured(command, dir, [&](const std::string& line) { lines.push_back(line); });
  return lines;
}

TEST(Win32Programs, OutputLinesThroughThePipe) {
  EXPECT_EQ(Captured("cmd /c echo one& echo two"), (std::vector<std::string>{"one", "two"}));
  // Output in the console's code page (866) arrives in Windows-1251; the
  // last line without its CR LF is dropped.
  const std::string program = ExtractFilePath(SystemHost().ExecutablePath()) + "korvel_test_service.exe";
  std::vector<std::string> lines;
  const std::uint32_t code = SystemHost().RunProgramCaptured(
      "\"" + program + "\" --oem-output", "", [&](const std::string& line) { lines.push_back(line); });
  EXPECT_EQ(lines, (std::vector<std::string>{"Привет"_cp, "мир\n!"_cp}));
  EXPECT_EQ(code, 3u);
  TempDir dir;
  const std::vector<std::string> cd = Captured("cmd /c cd", dir.path());
  ASSERT_EQ(cd.size(), 1u);
  EXPECT_TRUE(SameText(IncludePathDelimiter(cd[0]), dir.path())) << cd[0];
  try {
    SystemHost().RunProgramCaptured("korvel-no-such-program.exe /x", "", nullptr);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка запуска программы \"korvel-no-such-program.exe /x\":\r\n"_cp +
                               LastErrorText(e.Cause()));
  }
  SystemHost().RunAndWait("cmd /c echo x> marker.txt", dir.path());
  EXPECT_TRUE(SystemHost().FileExists(dir / "marker.txt"));
  EXPECT_THROW(SystemHost().RunAndWait("korvel-no-such-program.exe", ""), Exception);
}

class ScopedService {
 public:
  ScopedService(const std::wstring& name, const std::wstring& command) : name_(name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE service = ::CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                         command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    created_ = service != nullptr;
    if (service != nullptr) ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
  }
  ~ScopedService() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE service = ::OpenServiceW(manager, name_.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) {
      SERVICE_STATUS status{};
      ::ControlService(service, SERVICE_CONTROL_STOP, &status);
      ::DeleteService(service);
      ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
  }
  bool created() const { return created_; }

 private:
  std::wstring name_;
  bool created_ = false;
};

TEST(Win32Services, ARealServiceStartedQueriedListedAndStopped) {
  Host& host = SystemHost();
  const std::string program = ExtractFilePath(host.ExecutablePath()) + "korvel_test_service.exe";
  ASSERT_TRUE(host.FileExists(program)) << program;
  ScopedService scoped(L"KorvelTestService", L"\"" + Wide(program) + L"\" -service x");
  ASSERT_TRUE(scoped.created());

  EXPECT_TRUE(SameText(host.GetServiceImagePath("KorvelTestService"), program));
  EXPECT_EQ(host.GetServiceImagePath("KorvelNoSuchService"), "");
  EXPECT_EQ(host.QueryServiceState("KorvelTestService"), kServiceStopped);

  host.ServiceControl("KorvelTestService", true);
  EXPECT_EQ(host.QueryServiceState("KorvelTestService"), kServiceRunning);
  std::vector<std::uint32_t> ids;
  host.ListProcessIds("KORVEL_TEST_SERVICE.EXE", ids);
  EXPECT_EQ(ids.size(), 1u);
  host.ServiceControl("KorvelTestService", true);

  host.ServiceControl("KorvelTestService", false);
  EXPECT_EQ(host.QueryServiceState("KorvelTestService"), kServiceStopped);

  // The system's net command, as the run drives the promotion services.
  EXPECT_EQ(host.ServiceCommandLine("KorvelTestService", true), "net start KorvelTestService");
  Captured(host.ServiceCommandLine("KorvelTestService", true));
  for (int i = 0; i < 50 && host.QueryServiceState("KorvelTestService") != kServiceRunning; ++i) host.Sleep(100);
  EXPECT_EQ(host.QueryServiceState("KorvelTestService"), kServiceRunning);
  Captured(host.ServiceCommandLine("KorvelTestService", false));
  for (int i = 0; i < 50 && host.QueryServiceState("KorvelTestService") != kServiceStopped; ++i) host.Sleep(100);
  EXPECT_EQ(host.QueryServiceState("KorvelTestService"), kServiceStopped);

  try {
    host.QueryServiceState("KorvelNoSuchService");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Cause().code, 1060);
    EXPECT_EQ(e.Message(), "Ошибка открытия сервиса KorvelNoSuchService : "_cp + LastErrorText(e.Cause()));
  }
}

// A disabled service fails at once, with the system's reason, instead of
// spending the whole budget on start requests.
TEST(Win32Services, ADisabledServiceFailsAtOnceNamingTheCause) {
  Host& host = SystemHost();
  const std::string program = ExtractFilePath(host.ExecutablePath()) + "korvel_test_service.exe";
  ScopedService scoped(L"KorvelDisabledService", L"\"" + Wide(program) + L"\" -service x");
  ASSERT_TRUE(scoped.created());
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = ::OpenServiceW(manager, L"KorvelDisabledService", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  try {
    host.ServiceControl("KorvelDisabledService", true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kServiceDisabled);
    EXPECT_EQ(e.Message(), "Не удается запустить сервис KorvelDisabledService: "_cp + LastErrorText(e.Cause()));
  }
}

}  // namespace
}  // namespace korvel::host
