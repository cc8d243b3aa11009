/*
 * For the tests only: the database server's Windows service under wine.
 * Registered in wine's service control manager under the server's service
 * name, it drives a Linux control program: "CONTROL start" when the
 * service starts, "CONTROL stop" when it is stopped, each done before the
 * service manager's call returns (CONTROL, a Linux path,
 * is the service's one argument: tools/ci/firebird-test-server.sh for the
 * real test server, or a stand-in). It runs it through unixrun.dll, which
 * lies beside it.
 */
#include <windows.h>

typedef int(__stdcall* RunUnixProgramFn)(const char*, const char*);

static SERVICE_STATUS_HANDLE status_handle;
static HANDLE stop_event;
static RunUnixProgramFn run_unix;
static char control[MAX_PATH * 3];
static int started;

static void Report(DWORD state, DWORD exit_code) {
  SERVICE_STATUS status = {0};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  status.dwServiceSpecificExitCode = exit_code;
  status.dwWaitHint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 60000 : 0;
  SetServiceStatus(status_handle, &status);
}

/* The stop is done before the handler returns: ControlService comes back
   with the server down and the service stopped, as systemctl stop does for
   the POSIX tests, whose clock is instant (a real Firebird service stops on
   its own time, which the utility waits for with real pauses). */
static DWORD WINAPI Handler(DWORD code, DWORD type, LPVOID data, LPVOID context) {
  (void)type, (void)data, (void)context;
  if (code != SERVICE_CONTROL_STOP) return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
  Report(SERVICE_STOP_PENDING, 0);
  Report(SERVICE_STOPPED, (DWORD)run_unix(control, "stop"));
  SetEvent(stop_event);
  return NO_ERROR;
}

static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  (void)argc, (void)argv;
  status_handle = RegisterServiceCtrlHandlerExW(L"", Handler, NULL);
  stop_event = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (started != 0) {
    Report(SERVICE_STOPPED, (DWORD)started);
    return;
  }
  Report(SERVICE_RUNNING, 0);
  WaitForSingleObject(stop_event, INFINITE);
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  lstrcpynA(control, argv[1], sizeof control);
  HMODULE unixrun = LoadLibraryA("unixrun.dll");
  if (unixrun == NULL) return 3;
  run_unix = (RunUnixProgramFn)(void*)GetProcAddress(unixrun, "RunUnixProgram");
  if (run_unix == NULL) return 3;
  /* The server is started before the service manager hears from the
     process, which StartService waits for (within ServicesPipeTimeout):
     the first state it then sees is the outcome, running or stopped. */
  started = run_unix(control, "start");
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {NULL, NULL}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
