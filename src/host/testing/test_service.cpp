// A Windows service of the tests' own: it reports running until it is sent
// the stop control, then stopped. The tests register it in the service
// control manager, start, query and stop it through the Win32 backend.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  ::SetServiceStatus(status_handle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    ::SetEvent(stop_event);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  status_handle = ::RegisterServiceCtrlHandlerExW(L"", Handler, nullptr);
  stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_RUNNING);
  ::WaitForSingleObject(stop_event, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

// With "/INSTALL" it registers itself as the service TarnelService.
// With "--oem-output" it is a console program instead: it writes
// "Привет" and "мир" in code page 866 on lines ended by CR LF, a lone LF
// inside the second, and a last line without an end.
int main(int argc, char** argv) {
  if (argc > 1 && ::lstrcmpA(argv[1], "--oem-output") == 0) {
    static const char bytes[] = "\x8F\xE0\xA8\xA2\xA5\xE2\r\n\xAC\xA8\xE0\n!\r\npartial";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, sizeof bytes - 1, &written, nullptr);
    return 3;
  }
  if (argc > 1 && ::lstrcmpA(argv[1], "/INSTALL") == 0) {
    // As the launcher program installs itself: registered as TarnelService,
    // started on demand, its image path this very file.
    wchar_t path[MAX_PATH + 2] = L"\"";
    if (::GetModuleFileNameW(nullptr, path + 1, MAX_PATH) == 0) return 1;
    ::lstrcatW(path, L"\"");
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return 1;
    SC_HANDLE service = ::CreateServiceW(manager, L"TarnelService", L"TarnelService", SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                         path, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service != nullptr) ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return service != nullptr ? 0 : 1;
  }
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
