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

[[noreturn]] void ThrowError(DWORD code) { throw EOSError(ErrorFromCode(code)); }

// Must be called right after the failing call, before anything else can
// overwrite the thread's last error.
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

class HandleGuard {
 public:
  explicit HandleGuard(HANDLE handle) : handle_(handle) {}
  ~HandleGuard() {
    if (valid()) ::CloseHandle(handle_);
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};

// A wide string filled by a call that reports the length it needs.
template <typename Call>
std::wstring GrowingBuffer(Call call) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    // Too small: n is the size needed (or, for truncating calls, the size
    // given); grow past it.
    buffer.assign(std::max<std::size_t>(n + 1, buffer.size() * 2), L'\0');
  }
}

std::wstring FullPathName(const std::wstring& path) {
  return GrowingBuffer(
      [&](wchar_t* buffer, DWORD size) { return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr); });
}

// A path as the file operations give it to the system: an absolute one in
// the form "\\?\C:\..." or "\\?\UNC\server\share\...", which takes
// paths longer than 260 characters on every Windows (the manifest's
// long-path setting works only where a policy allows it). The system takes
// such a path as it stands, so it is made from the full path name ("."
// and ".." resolved, "/" turned into "\"). Relative paths and device
// names stay as they are.
std::wstring SysPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool drive = wide.size() >= 3 && wide[1] == L':' && separator(wide[2]);
  const bool unc = wide.size() >= 3 && separator(wide[0]) && separator(wide[1]) && wide[2] != L'?' && wide[2] != L'.';
  if (!drive && !unc) return wide;
  const std::wstring full = FullPathName(wide);
  if (drive && full.size() >= 3 && full[1] == L':') return L"\\\\?\\" + full;
  if (unc && full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\') return L"\\\\?\\UNC" + full.substr(1);
  return wide;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  const std::wstring full_a = FullPathName(a), full_b = FullPathName(b);
  return !full_a.empty() &&
         ::CompareStringOrdinal(full_a.c_str(), static_cast<int>(full_a.size()), full_b.c_str(),
                                static_cast<int>(full_b.size()), TRUE) == CSTR_EQUAL;
}

// A file with the read-only attribute is not overwritten, replaced or
// opened for writing: Windows refuses that itself, and the program relies
// on it (a protected file stays as it is). The check is repeated here for
// file systems that only emulate the attribute and let a privileged user
// through (wine run as root, some network shares).
void RefuseIfReadOnly(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ThrowError(ERROR_ACCESS_DENIED);
  }
}

// Windows refuses CopyFile onto a hidden target and a CREATE_ALWAYS with
// normal attributes over a hidden or system file; a file about to be
// replaced loses both attributes first (read-only stays a refusal).
void ClearHiddenAndSystem(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !(attributes & kHiddenSystem)) {
    return;
  }
  const DWORD wanted = attributes & ~kHiddenSystem;
  ::SetFileAttributesW(path.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted);
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

SYSTEMTIME ToSystemTime(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(p.year);
  st.wMonth = static_cast<WORD>(p.month);
  st.wDay = static_cast<WORD>(p.day);
  st.wHour = static_cast<WORD>(p.hour);
  st.wMinute = static_cast<WORD>(p.minute);
  st.wSecond = static_cast<WORD>(p.second);
  st.wMilliseconds = static_cast<WORD>(p.millisecond);
  return st;
}

void WriteAll(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(handle, data, chunk, &written, nullptr)) ThrowLastError();
    if (written == 0) ThrowError(ERROR_WRITE_FAULT);
    data += written;
    size -= written;
  }
}

// A protected access list that lets the process's user and the system in,
// nobody else: for files such as a private key.
class OwnerOnlySecurity {
 public:
  OwnerOnlySecurity() = default;
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;
  ~OwnerOnlySecurity() {
    if (descriptor_) ::LocalFree(descriptor_);
  }

  void Build() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) ThrowLastError();
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : 1);
    const BOOL got = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    const DWORD token_error = ::GetLastError();
    ::CloseHandle(token);
    if (!got) ThrowError(token_error);
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) ThrowLastError();
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;FA;;;SY)";
    ::LocalFree(sid);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                nullptr)) {
      ThrowLastError();
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  SECURITY_ATTRIBUTES* Attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

class Win32File : public File {
 public:
  explicit Win32File(HANDLE handle, bool append = false) : handle_(handle), append_(append) {}
  ~Win32File() override { ::CloseHandle(handle_); }

  std::size_t Read(void* buffer, std::size_t size) override {
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(handle_, buffer, chunk, &read, nullptr)) ThrowLastError();
    return read;
  }
  void Write(std::string_view data) override {
    if (!append_) {
      WriteAll(handle_, data.data(), data.size());
      return;
    }
    // An append-only handle puts each write at the end as a whole; the
    // exclusive lock of one byte far past any real end makes that hold also
    // where the file system only emulates it (wine), at the cost of a
    // lock per entry.
    OVERLAPPED lock_range{};
    lock_range.Offset = 0xFFFFFFFEu;
    lock_range.OffsetHigh = 0x7FFFFFFFu;
    if (!::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_range)) ThrowLastError();
    try {
      WriteAll(handle_, data.data(), data.size());
    } catch (...) {
      ::UnlockFileEx(handle_, 0, 1, 0, &lock_range);
      throw;
    }
    ::UnlockFileEx(handle_, 0, 1, 0, &lock_range);
  }
  void Seek(std::int64_t position) override {
    LARGE_INTEGER distance;
    distance.QuadPart = position;
    if (!::SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN)) ThrowLastError();
  }
  void SeekToEnd() override {
    LARGE_INTEGER distance;
    distance.QuadPart = 0;
    if (!::SetFilePointerEx(handle_, distance, nullptr, FILE_END)) ThrowLastError();
  }
  std::int64_t Size() override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) ThrowLastError();
    return size.QuadPart;
  }
  void Flush() override {
    if (!::FlushFileBuffers(handle_)) ThrowLastError();
  }

 private:
  HANDLE handle_;
  bool append_;
};

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

std::optional<FileAttributes> Win32Host::GetAttributes(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(SysPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  FileAttributes a;
  a.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  a.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  a.hidden = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
  a.system = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
  a.archive = (attributes & FILE_ATTRIBUTE_ARCHIVE) != 0;
  a.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return a;
}

void Win32Host::SetAttributes(const std::string& path, const FileAttributes& attributes) {
  const std::wstring wide = SysPath(path);
  DWORD current = ::GetFileAttributesW(wide.c_str());
  if (current == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  // The four flags we know are set as asked; the others (compression,
  // indexing, ...) stay as they are.
  constexpr DWORD kOurs =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  DWORD wanted = current & ~(kOurs | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
  if (attributes.read_only) wanted |= FILE_ATTRIBUTE_READONLY;
  if (attributes.hidden) wanted |= FILE_ATTRIBUTE_HIDDEN;
  if (attributes.system) wanted |= FILE_ATTRIBUTE_SYSTEM;
  if (attributes.archive) wanted |= FILE_ATTRIBUTE_ARCHIVE;
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileAttributesW(wide.c_str(), wanted)) ThrowLastError();
}

std::vector<DirEntry> Win32Host::FindEntries(const std::string& pattern) {
  std::vector<DirEntry> entries;
  WIN32_FIND_DATAW data;
  const HANDLE search = ::FindFirstFileW(SysPath(pattern).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    DirEntry entry;
    const std::wstring_view wide(data.cFileName, ::wcsnlen(data.cFileName, MAX_PATH));
    entry.name = Narrow(wide);
    // A name with characters Windows-1251 lacks keeps its own spelling
    // (as UTF-8), so that it can still be cleared.
    if (Wide(entry.name) != wide) entry.system_name = WideToUtf8(wide);
    entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(search, &data));
  ::FindClose(search);
  return entries;
}

void Win32Host::DeleteFoundFile(const std::string& directory, const DirEntry& entry) {
  const std::wstring wide = SysPath(IncludePathDelimiter(directory)) +
                            (entry.reachable() ? Wide(entry.name) : Utf8ToWide(entry.system_name));
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) ThrowError(ERROR_ACCESS_DENIED);
  constexpr DWORD kClear = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if ((attributes & kClear) != 0) {
    const DWORD wanted = attributes & ~kClear;
    if (!::SetFileAttributesW(wide.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted)) ThrowLastError();
  }
  if (!::DeleteFileW(wide.c_str())) ThrowLastError();
}

void Win32Host::CopyFile(const std::string& from, const std::string& to) {
  // The system's copy keeps the time and attributes and refuses a
  // read-only target.
  const std::wstring target = SysPath(to);
  RefuseIfReadOnly(target);
  ClearHiddenAndSystem(target);
  if (!::CopyFileW(SysPath(from).c_str(), target.c_str(), FALSE)) ThrowLastError();
}

void Win32Host::MoveFile(const std::string& from, const std::string& to, bool allow_copy) {
  const std::wstring source = SysPath(from), target = SysPath(to);
  // Renaming a read-only file is allowed; replacing one is not.
  if (!SamePath(source, target)) RefuseIfReadOnly(target);
  // Write-through: the call returns once the move is on the disk, also
  // one made as a copy across volumes.
  DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (allow_copy) flags |= MOVEFILE_COPY_ALLOWED;
  if (!::MoveFileExW(source.c_str(), target.c_str(), flags)) ThrowLastError();
}

void Win32Host::DeleteFile(const std::string& path) {
  if (!::DeleteFileW(SysPath(path).c_str())) ThrowLastError();
}

void Win32Host::CreateDirectory(const std::string& path) {
  if (!::CreateDirectoryW(SysPath(path).c_str(), nullptr)) ThrowLastError();
}

void Win32Host::RemoveDirectory(const std::string& path) {
  if (!::RemoveDirectoryW(SysPath(path).c_str())) ThrowLastError();
}

std::int64_t Win32Host::FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(SysPath(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<TDateTime> Win32Host::FileWriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(SysPath(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  FILETIME local;
  SYSTEMTIME st;
  if (!::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !::FileTimeToSystemTime(&local, &st)) {
    return std::nullopt;
  }
  return FromSystemTime(st);
}

void Win32Host::FlushDirectory(const std::string&) {
  // Windows has no flush of a directory's entries: the renames themselves
  // are made with MOVEFILE_WRITE_THROUGH (see MoveFile), and NTFS logs
  // the change of the entries in its journal.
}

void Win32Host::FlushTree(const std::string& directory) {
  // Windows has no flush of a volume short of administrator rights: each
  // file's buffers go on their own; the entries need none (see above).
  const std::string dir = IncludePathDelimiter(directory);
  for (const DirEntry& entry : FindEntries(dir + "*")) {
    if (entry.name == "." || entry.name == ".." || !entry.reachable()) continue;
    const std::string path = dir + entry.name;
    const std::optional<FileAttributes> attributes = GetAttributes(path);
    if (!attributes || attributes->link) continue;
    if (entry.directory) {
      FlushTree(path);
    } else {
      OpenFile(path, OpenMode::kReadWrite, ShareMode::kReadWrite)->Flush();
    }
  }
}

void Win32Host::SetFileWriteTime(const std::string& path, TDateTime time) {
  const SYSTEMTIME st = ToSystemTime(time);
  FILETIME local, utc;
  if (!::SystemTimeToFileTime(&st, &local) || !::LocalFileTimeToFileTime(&local, &utc)) ThrowLastError();
  // Directories open only with backup semantics.
  HandleGuard file(::CreateFileW(SysPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) ThrowLastError();
  if (!::SetFileTime(file.get(), nullptr, nullptr, &utc)) ThrowLastError();
}

std::int64_t Win32Host::DiskFreeBytes(const std::string& directory) {
  ULARGE_INTEGER free_to_caller;
  const std::wstring wide = Wide(directory);
  if (!::GetDiskFreeSpaceExW(wide.empty() ? nullptr : wide.c_str(), &free_to_caller, nullptr, nullptr)) {
    ThrowLastError();
  }
  return static_cast<std::int64_t>(free_to_caller.QuadPart);
}

std::unique_ptr<File> Win32Host::OpenFile(const std::string& path, OpenMode mode, ShareMode share) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::kRead:
      access = GENERIC_READ;
      break;
    case OpenMode::kReadWrite:
      break;
    case OpenMode::kCreate:
      disposition = CREATE_ALWAYS;
      break;
    case OpenMode::kOpenOrCreate:
      disposition = OPEN_ALWAYS;
      break;
    case OpenMode::kCreatePrivate:
      disposition = CREATE_NEW;
      break;
    case OpenMode::kAppend:
      // Without FILE_WRITE_DATA every write goes to the end of the file
      // as one piece, whoever else appends at the same time.
      // (Reading access too: the lock in Win32File::Write needs it.)
      access = GENERIC_READ | FILE_APPEND_DATA;
      disposition = OPEN_ALWAYS;
      break;
  }
  DWORD share_flags = 0;
  switch (share) {
    case ShareMode::kExclusive:
      break;
    case ShareMode::kRead:
      share_flags = FILE_SHARE_READ;
      break;
    case ShareMode::kReadWrite:
      share_flags = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
  }
  const std::wstring wide = SysPath(path);
  if (mode != OpenMode::kRead) RefuseIfReadOnly(wide);
  if (mode == OpenMode::kCreate) ClearHiddenAndSystem(wide);
  OwnerOnlySecurity owner_only;
  if (mode == OpenMode::kCreatePrivate) owner_only.Build();
  const HANDLE handle = ::CreateFileW(wide.c_str(), access, share_flags, owner_only.Attributes(), disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) ThrowLastError();
  auto file = std::make_unique<Win32File>(handle, mode == OpenMode::kAppend);
  // Only files on a disk are opened: a pipe, console or device reached by
  // name would block a read or act on the device. The system has no error
  // for this, so the text is our own.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    SysError error;
    error.code = ERROR_BAD_FILE_TYPE;
    error.kind = SysErrorKind::kAccessDenied;
    error.text = "Не является обычным файлом"_cp;
    throw EOSError(error);
  }
  return file;
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

std::string Win32Host::CurrentDirectory() {
  const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
  if (size == 0) ThrowLastError();
  std::wstring buffer(size, L'\0');
  const DWORD n = ::GetCurrentDirectoryW(size, buffer.data());
  if (n == 0 || n >= size) ThrowLastError();
  buffer.resize(n);
  return Narrow(buffer);
}

std::string Win32Host::SystemDirectory() {
  wchar_t buffer[1024];
  const UINT n = ::GetSystemDirectoryW(buffer, 1024);
  if (n == 0 || n >= 1024) ThrowLastError();
  return Narrow(std::wstring_view(buffer, n));
}

void Win32Host::SetCurrentDirectory(const std::string& path) {
  if (!::SetCurrentDirectoryW(Wide(path).c_str())) ThrowLastError();
}

std::string Win32Host::ExpandUNCFileName(const std::string& path) {
  std::wstring full = FullPathName(Wide(path));
  if (full.empty()) return path;
  // A path on a mapped network drive becomes the share's UNC name; local
  // drives are left alone without asking the network providers.
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    const std::wstring root = full.substr(0, 3);
    if (::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) {
      DWORD size = 1024;
      std::vector<BYTE> buffer(size);
      DWORD result = ::WNetGetUniversalNameW(full.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
      if (result == ERROR_MORE_DATA) {
        buffer.resize(size);
        result = ::WNetGetUniversalNameW(full.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
      }
      if (result == NO_ERROR) full = reinterpret_cast<UNIVERSAL_NAME_INFOW*>(buffer.data())->lpUniversalName;
    }
  }
  return Narrow(full);
}

std::string Win32Host::ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                                     const std::string& fallback) {
  // A relative name is taken from the current directory (the profile
  // functions would look in the Windows directory).
  std::string text;
  try {
    text = ReadFileText(file);
  } catch (const Exception&) {
    return fallback;
  }
  // A file saved as Unicode (UTF-16 with its byte order mark) is read as
  // the profile functions read it; any other as Windows-1251.
  if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') {
    std::wstring wide((text.size() - 2) / 2, L'\0');
    std::memcpy(wide.data(), text.data() + 2, wide.size() * sizeof(wchar_t));
    text = Narrow(wide);
  }
  return FindIniValue(text, section, key).value_or(fallback);
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

std::string ToFileNameEncoding(std::string_view text) { return std::string(text); }

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
