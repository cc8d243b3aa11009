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
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
