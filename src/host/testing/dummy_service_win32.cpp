// The Windows side of DummyServices: services of the test's own in the
// service control manager, each running a copy of the tests' own service
// program (korvel_test_service.exe) in the root under the daemon's file
// name, so that the image path names the program the test asked for.
#include <windows.h>

#include "host/testing/dummy_service.h"
#include <string>

#include "host/text.h"
#include "host/win32_api.h"

namespace korvel::testing {
namespace {

// The manager's and a service's handles, closed on every path.
struct ServiceHandle {
  explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
  ~ServiceHandle() {
    if (handle != nullptr) ::CloseServiceHandle(handle);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE handle;
};

SC_HANDLE OpenManager() { return ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

SERVICE_STATUS_PROCESS Status(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
  return status;
}

// Stops the service and removes it; its program must have ended before
// its file goes.
void Remove(SC_HANDLE manager, const std::string& name) {
  ServiceHandle service(::OpenServiceW(manager, host::win32::Wide(name).c_str(), SERVICE_ALL_ACCESS));
  if (service.handle == nullptr) return;
  SERVICE_STATUS status{};
  ::ControlService(service.handle, SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 300 && Status(service.handle).dwCurrentState != SERVICE_STOPPED; ++i) ::Sleep(100);
  ::DeleteService(service.handle);
}

}  // namespace

DummyServices::DummyServices() : host_(host::CreateSystemHost(0, nullptr)) {}

DummyServices::~DummyServices() {
  ServiceHandle manager(OpenManager());
  for (const std::string& name : names_) Remove(manager.handle, name);
}

void DummyServices::Install(const std::string& name, const std::string& daemon) {
  std::string file = daemon.substr(daemon.find_last_of("/\\") + 1);
  if (!EndsText(".exe", file)) file += ".exe";
  const std::string program = root_ / file;
  if (!SystemHost().FileExists(program) &&
      !::CopyFileW(host::win32::Wide(KORVEL_TEST_SERVICE_EXE).c_str(), host::win32::Wide(program).c_str(), TRUE)) {
    throw Exception("DummyServices: cannot copy the service program to " + program);
  }
  ServiceHandle manager(OpenManager());
  // One left behind by a test run that was killed goes first.
  Remove(manager.handle, name);
  const std::wstring command = L"\"" + host::win32::Wide(program) + L"\"";
  ServiceHandle service(::CreateServiceW(manager.handle, host::win32::Wide(name).c_str(), host::win32::Wide(name).c_str(),
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_IGNORE, command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
  if (service.handle == nullptr) {
    throw Exception("DummyServices: cannot register " + name + ": " + "error " + std::to_string(::GetLastError()));
  }
  names_.push_back(name);
}

std::uint32_t DummyServices::DaemonPid(const std::string& name) const {
  ServiceHandle manager(OpenManager());
  ServiceHandle service(::OpenServiceW(manager.handle, host::win32::Wide(name).c_str(), SERVICE_QUERY_STATUS));
  if (service.handle == nullptr) return 0;
  const SERVICE_STATUS_PROCESS status = Status(service.handle);
  return status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
}

}  // namespace korvel::testing
