// The Win32 backend's process-wide rest: the host itself, the clock, the
// single-instance lock, the event log and the console.
#include "host/win32_backend.h"

namespace korvel::host::win32 {

using namespace korvel::literals;

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

class Win32Mutex : public MutexHandle {
 public:
  Win32Mutex(HANDLE handle, bool owned) : handle_(handle), owned_(owned) {}
  ~Win32Mutex() override {
    // Released before the handle goes, so that another process waiting on
    // it gets it at once instead of as abandoned when we exit. Ownership
    // belongs to the thread, not the handle: a handle that found the mutex
    // existing must not release what another handle of ours took.
    if (owned_) ::ReleaseMutex(handle_);
    ::CloseHandle(handle_);
  }

 private:
  HANDLE handle_;
  bool owned_;
};

// Windows-1251 text in the console's code page; 866 on a Russian console.
std::string ToConsoleCodePage(std::string_view line, UINT code_page) {
  switch (code_page) {
    case 866:
      return cp1251::ToOem866(line);
    case 1251:
      return std::string(line);
    case CP_UTF8:
      return cp1251::ToUtf8(line);
    default:
      break;
  }
  const std::wstring wide = Wide(line);
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
  if (size <= 0) return std::string(line);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), size, nullptr,
                        nullptr);
  return bytes;
}

}  // namespace

SysError ErrorFromCode(DWORD code) {
  SysError error;
  error.code = static_cast<int>(code);
  switch (code) {
    case ERROR_ACCESS_DENIED:
      error.kind = SysErrorKind::kAccessDenied;
      break;
    case ERROR_SHARING_VIOLATION:
      error.kind = SysErrorKind::kSharingViolation;
      break;
    case ERROR_LOCK_VIOLATION:
      error.kind = SysErrorKind::kLockViolation;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      error.kind = SysErrorKind::kNotFound;
      break;
    case ERROR_SERVICE_DOES_NOT_EXIST:
      error.kind = SysErrorKind::kServiceMissing;
      break;
    case ERROR_SERVICE_ALREADY_RUNNING:
      error.kind = SysErrorKind::kServiceAlreadyRunning;
      break;
    case ERROR_SERVICE_DISABLED:
      error.kind = SysErrorKind::kServiceDisabled;
      break;
    case ERROR_DEPENDENT_SERVICES_RUNNING:
      error.kind = SysErrorKind::kDependentServices;
      break;
    default:
      error.kind = SysErrorKind::kOther;
  }
  // The system message table in the default language, inserts left as
  // they are; LastErrorText strips the line end and the full stop.
  wchar_t buffer[1024];
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  error.text = Narrow(std::wstring_view(buffer, length));
  return error;
}

[[noreturn]] void ThrowError(DWORD code) { throw EOSError(ErrorFromCode(code)); }

[[noreturn]] void ThrowLastError() { ThrowError(::GetLastError()); }

std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                         nullptr);
  std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr, nullptr);
  }
  return utf8;
}

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

TDateTime FromSystemTime(const SYSTEMTIME& st) {
  DateTimeParts p;
  p.year = st.wYear;
  p.month = st.wMonth;
  p.day = st.wDay;
  p.hour = st.wHour;
  p.minute = st.wMinute;
  p.second = st.wSecond;
  p.millisecond = st.wMilliseconds;
  return EncodeDateTime(p);
}

Win32Host::Win32Host() {
  // An unattended program: no system dialog (a drive not ready, a crash
  // report, a missing file) may wait for someone to press a button. The
  // mode is the process's and is inherited by the programs it starts.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // The arguments as the system split the wide command line; main's
  // argv went through the ANSI code page.
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (argv != nullptr) {
    for (int i = 0; i < count; ++i) arguments_.push_back(Narrow(argv[i]));
    ::LocalFree(argv);
  }
  // Taken once: the file may be renamed or replaced during the run (the
  // self-update does that), the run keeps the name it started under.
  executable_path_ = Narrow(
      GrowingBuffer([](wchar_t* buffer, DWORD size) { return ::GetModuleFileNameW(nullptr, buffer, size); }));
}

std::string Win32Host::SystemDirectory() {
  wchar_t buffer[1024];
  const UINT n = ::GetSystemDirectoryW(buffer, 1024);
  if (n == 0 || n >= 1024) ThrowLastError();
  return Narrow(std::wstring_view(buffer, n));
}

TDateTime Win32Host::Now() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return FromSystemTime(st);
}

void Win32Host::Sleep(unsigned milliseconds) { ::Sleep(milliseconds); }

NamedMutex Win32Host::CreateNamedMutex(const std::string& name) {
  NamedMutex result;
  // In the global namespace: without the prefix the name exists only in
  // the caller's session, and a scheduled run (session 0) would not see
  // an administrator's run over a remote desktop.
  const HANDLE handle = ::CreateMutexW(nullptr, TRUE, (L"Global\\" + Wide(name)).c_str());
  const DWORD error = ::GetLastError();
  // One that exists but cannot be opened was made by another account's
  // process (a service's run): taken all the same.
  if (handle == nullptr) {
    result.already_existed = error == ERROR_ACCESS_DENIED;
    return result;
  }
  result.already_existed = error == ERROR_ALREADY_EXISTS;
  // An existing mutex is opened without taking it, whatever was asked.
  result.handle = std::make_unique<Win32Mutex>(handle, !result.already_existed);
  return result;
}

void Win32Host::ReportError(const std::string& source, const std::string& message) {
  RegisterEventSourceMessages(Wide(source));
  const HANDLE log = ::RegisterEventSourceW(nullptr, Wide(source).c_str());
  if (log == nullptr) ThrowLastError();
  const std::wstring text = Wide(message);
  LPCWSTR strings[] = {text.c_str()};
  const BOOL reported = ::ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  const DWORD error = ::GetLastError();
  ::DeregisterEventSource(log);
  if (!reported) ThrowError(error);
}

void Win32Host::ConsoleWriteLine(std::string_view line) {
  WriteStandardOutput(ToConsoleEncoding(line) + "\r\n");
}

  // Registers `source` in the Application log with this executable as its
  // message file (its message 0 is the entry's text), so that Event Viewer
  // shows the text without "the description cannot be found". Best effort:
  // without the right to write the key the entry goes as it is.
void Win32Host::RegisterEventSourceMessages(const std::wstring& source) {
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  const std::wstring file = Wide(executable_path_);
  ::RegSetValueExW(key, L"EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  ::RegCloseKey(key);
}

}  // namespace korvel::host::win32

namespace korvel::host {

using namespace win32;

std::unique_ptr<Host> CreateSystemHost(int /*argc*/, char** /*argv*/, const std::string& /*service_root*/) {
  return std::make_unique<Win32Host>();
}

std::string NamedMutexFile(const std::string&) { return {}; }

std::string ToConsoleEncoding(std::string_view text) {
  // Without a console (output redirected by a parent that has none) the
  // console code page reads 0; the OEM code page is what a console would
  // use.
  UINT code_page = ::GetConsoleOutputCP();
  if (code_page == 0) code_page = ::GetOEMCP();
  return ToConsoleCodePage(text, code_page);
}

void WriteStandardOutput(std::string_view bytes) {
  // Past the C runtime, whose text mode would turn "\n" into "\r\n"; what
  // it buffered goes out first, to keep the order.
  std::fflush(stdout);
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) ThrowError(ERROR_INVALID_HANDLE);
  WriteAll(out, bytes.data(), bytes.size());
}

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

}  // namespace korvel::host
