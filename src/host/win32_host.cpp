// The Win32 backend.
#include "host/win32_backend.h"

namespace korvel::host::win32 {

using namespace korvel::literals;

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

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

class Win32Library : public SharedLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { ::FreeLibrary(module_); }
  void* Symbol(const char* name) override { return reinterpret_cast<void*>(::GetProcAddress(module_, name)); }

 private:
  HMODULE module_;
};

std::wstring Hex4(unsigned value) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text(4, L'0');
  for (int i = 3; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
  return text;
}

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

// A child's output read from its pipe, converted from the OEM code page.
class Win32CapturedProcess : public CapturedProcess {
 public:
  Win32CapturedProcess(HANDLE process, HANDLE read_end) : process_(process), read_(read_end) {}
  ~Win32CapturedProcess() override {
    if (read_ != nullptr) ::CloseHandle(read_);
    ::CloseHandle(process_);
  }

  std::optional<std::string> ReadOutput() override {
    if (read_ == nullptr) return std::nullopt;
    char buffer[1024];
    DWORD got = 0;
    if (!::ReadFile(read_, buffer, sizeof buffer, &got, nullptr)) {
      ::CloseHandle(read_);
      read_ = nullptr;
      return std::nullopt;
    }
    if (got == 0) return std::string();
    const int length = ::MultiByteToWideChar(CP_OEMCP, 0, buffer, static_cast<int>(got), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_OEMCP, 0, buffer, static_cast<int>(got), wide.data(), length);
    return Narrow(wide);
  }

  // Read once the output has ended, without a wait of its own.
  std::uint32_t ExitCode() override {
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return code;
  }

  std::optional<std::string> ReadAvailableOutput() override {
    if (read_ == nullptr) return std::nullopt;
    DWORD available = 0;
    // A broken pipe with nothing left in it fails the peek.
    if (!::PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr)) {
      ::CloseHandle(read_);
      read_ = nullptr;
      return std::nullopt;
    }
    if (available == 0) return std::string();
    return ReadOutput();
  }

  bool HasEnded() override { return ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }

  void Terminate() override { ::TerminateProcess(process_, 1); }

 private:
  HANDLE process_;
  HANDLE read_;
};

class ServiceHandleGuard {
 public:
  explicit ServiceHandleGuard(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandleGuard() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  ServiceHandleGuard(const ServiceHandleGuard&) = delete;
  ServiceHandleGuard& operator=(const ServiceHandleGuard&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

class Win32Service : public ServiceHandle {
 public:
  explicit Win32Service(SC_HANDLE handle) : handle_(handle) {}

  int QueryState() override {
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(handle_.get(), &status)) ThrowLastError();
    return static_cast<int>(status.dwCurrentState);
  }
  bool Start() override { return ::StartServiceW(handle_.get(), 0, nullptr) != 0; }
  void StartOrFail() override {
    if (!Start()) ThrowLastError();
  }
  void SendStop() override {
    SERVICE_STATUS status{};
    ::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status);
  }
  void StopOrFail() override {
    SERVICE_STATUS status{};
    if (!::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status)) ThrowLastError();
  }

 private:
  ServiceHandleGuard handle_;
};

class Win32ServiceManager : public ServiceManagerHandle {
 public:
  explicit Win32ServiceManager(SC_HANDLE handle) : handle_(handle) {}

  std::unique_ptr<ServiceHandle> OpenService(const std::string& name, bool full_access) override {
    const SC_HANDLE service =
        ::OpenServiceW(handle_.get(), Wide(name).c_str(), full_access ? SERVICE_ALL_ACCESS : SERVICE_QUERY_STATUS);
    if (service == nullptr) ThrowLastError();
    return std::make_unique<Win32Service>(service);
  }

 private:
  ServiceHandleGuard handle_;
};

// Creates the process of `command_line` hidden; the system's error code
// when it cannot.
DWORD CreateHiddenProcess(const std::string& command_line, const std::string& working_dir, bool inherit,
                          HANDLE output, PROCESS_INFORMATION& info) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  if (output != nullptr) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  std::wstring line = Wide(command_line);
  const std::wstring dir = Wide(working_dir);
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, inherit ? TRUE : FALSE, 0, nullptr,
                        working_dir.empty() ? nullptr : dir.c_str(), &startup, &info)) {
    return ::GetLastError();
  }
  return 0;
}

}  // namespace

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

std::string Win32Host::ExecutablePath() { return executable_path_; }

std::string Win32Host::CommandLine() { return Narrow(::GetCommandLineW()); }

std::vector<std::string> Win32Host::Arguments() { return arguments_; }

std::string Win32Host::FileVersion(const std::string& executable) {
  const std::wstring path = Wide(executable);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<BYTE> data(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};

  // The "FileVersion" string of the languages the resource lists, then of
  // the usual English and Russian blocks.
  std::vector<std::wstring> blocks;
  struct Translation {
    WORD language;
    WORD code_page;
  };
  Translation* translations = nullptr;
  UINT length = 0;
  if (::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                       &length)) {
    for (UINT i = 0; i < length / sizeof(Translation); ++i) {
      blocks.push_back(Hex4(translations[i].language) + Hex4(translations[i].code_page));
    }
  }
  for (const wchar_t* block : {L"041904E3", L"040904E4", L"040904B0"}) blocks.push_back(block);
  for (const std::wstring& block : blocks) {
    wchar_t* value = nullptr;
    const std::wstring query = L"\\StringFileInfo\\" + block + L"\\FileVersion";
    if (::VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) && length > 0) {
      const std::string text = Narrow(std::wstring_view(value, ::wcsnlen(value, length)));
      if (!text.empty()) return text;
    }
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  if (::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
      length >= sizeof(VS_FIXEDFILEINFO)) {
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionLS));
  }
  return {};
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

std::unique_ptr<SharedLibrary> Win32Host::LoadLibrary(const std::string& name) {
  // An unattended program must not stop at a system dialog about a
  // missing or broken library.
  DWORD previous_mode = 0;
  const bool mode_set = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode);
  const HMODULE module = ::LoadLibraryW(Wide(name).c_str());
  const DWORD error = ::GetLastError();
  if (mode_set) ::SetThreadErrorMode(previous_mode, nullptr);
  if (module == nullptr) ThrowError(error);
  return std::make_unique<Win32Library>(module);
}

std::string Win32Host::GetEnvironmentVariable(const std::string& name) {
  const std::wstring wide = Wide(name);
  return Narrow(GrowingBuffer(
      [&](wchar_t* buffer, DWORD size) { return ::GetEnvironmentVariableW(wide.c_str(), buffer, size); }));
}

std::unique_ptr<CapturedProcess> Win32Host::StartCapturedProcess(const std::string& command_line,
                                                                 const std::string& working_dir) {
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  security.bInheritHandle = TRUE;
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &security, 0)) RaisePipeError(ErrorFromCode(::GetLastError()));
  HandleGuard read_guard(read_end);
  PROCESS_INFORMATION info{};
  const DWORD error = CreateHiddenProcess(command_line, working_dir, true, write_end, info);
  // The pipe breaks when the child and whatever inherited it from the
  // child have ended.
  ::CloseHandle(write_end);
  if (error != 0) RaiseStartError(command_line, ErrorFromCode(error), true);
  ::CloseHandle(info.hThread);
  return std::make_unique<Win32CapturedProcess>(info.hProcess, read_guard.release());
}

void Win32Host::RunAndWait(const std::string& command_line, const std::string& working_dir) {
  PROCESS_INFORMATION info{};
  const DWORD error = CreateHiddenProcess(command_line, working_dir, false, nullptr, info);
  if (error != 0) RaiseStartError(command_line, ErrorFromCode(error), false);
  ::WaitForSingleObject(info.hProcess, INFINITE);
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
}

std::string Win32Host::ReadServiceImagePath(const std::string& name) {
  HKEY key = nullptr;
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + Wide(name);
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::wstring value;
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key, L"ImagePath", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    value.assign(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key, L"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
        ERROR_SUCCESS) {
      value.clear();
    }
    value.resize(std::wcslen(value.c_str()));
  }
  ::RegCloseKey(key);
  return Trim(Narrow(value));
}

std::unique_ptr<ServiceManagerHandle> Win32Host::OpenServiceManager(const std::string& machine, bool full_access) {
  const std::wstring wide = Wide(machine);
  const SC_HANDLE manager = ::OpenSCManagerW(machine.empty() ? nullptr : wide.c_str(), nullptr,
                                             full_access ? SC_MANAGER_ALL_ACCESS : SC_MANAGER_CONNECT);
  if (manager == nullptr) ThrowLastError();
  return std::make_unique<Win32ServiceManager>(manager);
}

std::string Win32Host::ServiceCommandLine(const std::string& name, bool start) {
  return std::string(start ? "net start " : "net stop ") + name;
}

std::vector<ProcessEntry> Win32Host::ListProcesses() {
  HandleGuard snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) RaiseSnapshotError("CreateToolhelp32Snapshot", ErrorFromCode(::GetLastError()));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!::Process32FirstW(snapshot.get(), &entry)) RaiseSnapshotError("Process32First", ErrorFromCode(::GetLastError()));
  std::vector<ProcessEntry> entries;
  do {
    entries.push_back({entry.th32ProcessID, ExtractFileName(Narrow(entry.szExeFile))});
  } while (::Process32NextW(snapshot.get(), &entry));
  return entries;
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
