// The launcher service check under Windows (wine): the tests' own service
// program stands for TarnelSrv.exe; with /INSTALL it registers itself as
// TarnelService, which the check then starts, finds current and updates.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/text.h"
#include "host/win32_api.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using ::testing::ElementsAre;

// Stops and deletes TarnelService, before and after the test.
void RemoveService() {
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return;
  SC_HANDLE service = ::OpenServiceW(manager, L"TarnelService", SERVICE_ALL_ACCESS);
  if (service != nullptr) {
    SERVICE_STATUS status{};
    ::ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 50 && ::QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i) {
      ::Sleep(100);
    }
    ::DeleteService(service);
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
}

struct ScopedRemoval {
  ScopedRemoval() { RemoveService(); }
  ~ScopedRemoval() { RemoveService(); }
};

TEST(Win32LauncherService, InstalledStartedFoundCurrentAndUpdated) {
  TempDir root;
  ScopedRemoval removal;  // goes before the directory with the program
  RunTestHost host(root / "Korvel\\", {});
  TdmKorvel dm(host);
  dm.ExeDir = root / "Korvel\\";
  dm.DistribDir = root / "Distrib\\";
  const std::string source = dm.DistribDir + "Utils\\AutoUpdate\\TarnelSrv.exe";
  SystemHost().ForceDirectoriesOrFail(dm.ExeDir);
  SystemHost().ForceDirectoriesOrFail(host::ExtractFilePath(source));
  SystemHost().CopyFileOrFail(KORVEL_TEST_SERVICE, source);
  auto log = [&dm] {
    V messages;
    for (const std::string& line : dm.LogLines) messages.push_back(line.substr(line.find('\t') + 1));
    dm.LogLines.clear();
    return messages;
  };

  dm.CheckLauncherService();
  EXPECT_THAT(log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                 "Служба не установлена. Установка службы ..."_cp, "Служба успешно установлена"_cp,
                                 "Запуск службы ..."_cp, "Службы успешно запущена"_cp));
  const std::string installed = dm.ExeDir + "TarnelSrv.exe";
  EXPECT_TRUE(SameText(SystemHost().GetServiceImagePath("TarnelService"), installed));

  dm.CheckLauncherService();
  EXPECT_THAT(log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                 "Служба TarnelService - OK (обновлений не найдено)"_cp));

  // Another build: a minute and more newer. The running program is moved aside.
  {
    HANDLE file = ::CreateFileW(host::win32::Wide(source).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME time{};
    ::GetFileTime(file, nullptr, nullptr, &time);
    ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    value.QuadPart += 62ULL * 10000000ULL;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    ::SetFileTime(file, nullptr, nullptr, &time);
    ::CloseHandle(file);
  }
  dm.CheckLauncherService();
  EXPECT_THAT(log(), ElementsAre("Проверка службы запуска обновлений TarnelService ..."_cp,
                                 "Обновление службы ..."_cp, "Cлужба TarnelService успешно обновлена"_cp));
  EXPECT_TRUE(SystemHost().FileExists(dm.ExeDir + "TarnelSrv.old"));
  EXPECT_EQ(SystemHost().GetFileDateTime(installed), SystemHost().GetFileDateTime(source));
}

}  // namespace
}  // namespace korvel::run
