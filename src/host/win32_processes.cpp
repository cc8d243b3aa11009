// The Win32 backend's programs and processes: the program's own path,
// command line and version, shared libraries, the environment, child
// processes and the process list.
#include "host/win32_backend.h"

namespace korvel::host::win32 {

using namespace korvel::literals;

namespace {

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

}  // namespace korvel::host::win32
