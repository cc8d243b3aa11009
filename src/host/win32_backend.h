// The Win32 backend. Strings are Windows-1251 inside the program and UTF-16
// at the system boundary, converted with the program's own table (never the
// machine's ANSI code page), so a name reaches the file system the same on
// every Windows; only the "W" functions are called.
//
// Failures become EOSError from GetLastError with the system message
// table's text, taken right after the failing call.
//
// Things that are not the system's alone:
// - a read-only file is refused as a copy or move target and for writing
//   before the system is asked, because file systems that only emulate the
//   attribute may let a privileged user through (wine run as root);
// - a hidden or system file that is overwritten loses those attributes
//   first, since Windows refuses to replace one with a normal file;
// - the ini file is read as Windows-1251 text by the program's own reader,
//   whatever the machine's ANSI code page (the profile functions would
//   turn Cyrillic into '?' on a server whose locale is not Russian).
//
// This header is what the backend's files (win32_*.cpp) share: the host class,
// the error conversion and the small helpers more than one of them needs.
// Nothing outside the backend includes it.
#pragma once

#include "host/win32_api.h"

#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winnetwk.h>
#include <winver.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/ini_file.h"
#include "host/program_messages.h"
#include "host/terminal.h"
#include "host/text.h"

namespace korvel::host::win32 {

SysError ErrorFromCode(DWORD code);

[[noreturn]] void ThrowError(DWORD code);

// Must be called right after the failing call, before anything else can
// overwrite the thread's last error.
[[noreturn]] void ThrowLastError();

std::string WideToUtf8(std::wstring_view wide);

std::wstring Utf8ToWide(std::string_view utf8);

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

TDateTime FromSystemTime(const SYSTEMTIME& st);

void WriteAll(HANDLE handle, const char* data, std::size_t size);

class Win32Host : public Host {
 public:
  // The process-wide rest: the clock, the single-instance lock, the system log, the console (win32_system.cpp).
  Win32Host();
  std::string SystemDirectory() override;
  TDateTime Now() override;
  void Sleep(unsigned milliseconds) override;
  NamedMutex CreateNamedMutex(const std::string& name) override;
  void ReportError(const std::string& source, const std::string& message) override;
  void ConsoleWriteLine(std::string_view line) override;

  // Files and directories (win32_files.cpp).
  std::optional<FileAttributes> GetAttributes(const std::string& path) override;
  void SetAttributes(const std::string& path, const FileAttributes& attributes) override;
  std::vector<DirEntry> FindEntries(const std::string& pattern) override;
  void DeleteFoundFile(const std::string& directory, const DirEntry& entry) override;
  void CopyFile(const std::string& from, const std::string& to) override;
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override;
  void DeleteFile(const std::string& path) override;
  void CreateDirectory(const std::string& path) override;
  void RemoveDirectory(const std::string& path) override;
  std::int64_t FileSize(const std::string& path) override;
  std::optional<TDateTime> FileWriteTime(const std::string& path) override;
  void FlushDirectory(const std::string&) override;
  void FlushTree(const std::string& directory) override;
  void SetFileWriteTime(const std::string& path, TDateTime time) override;
  std::int64_t DiskFreeBytes(const std::string& directory) override;
  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode, ShareMode share) override;
  std::string CurrentDirectory() override;
  void SetCurrentDirectory(const std::string& path) override;
  std::string ExpandUNCFileName(const std::string& path) override;
  std::string ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                            const std::string& fallback) override;

  // Programs and processes (win32_processes.cpp).
  std::string ExecutablePath() override;
  std::string CommandLine() override;
  std::vector<std::string> Arguments() override;
  std::string FileVersion(const std::string& executable) override;
  std::unique_ptr<SharedLibrary> LoadLibrary(const std::string& name) override;
  std::string GetEnvironmentVariable(const std::string& name) override;
  std::unique_ptr<CapturedProcess> StartCapturedProcess(const std::string& command_line,
                                                        const std::string& working_dir) override;
  void RunAndWait(const std::string& command_line, const std::string& working_dir) override;
  std::vector<ProcessEntry> ListProcesses() override;

  // Services (win32_services.cpp).
  std::string ReadServiceImagePath(const std::string& name) override;
  std::unique_ptr<ServiceManagerHandle> OpenServiceManager(const std::string& machine, bool full_access) override;
  std::string ServiceCommandLine(const std::string& name, bool start) override;

 private:

  // Registers `source` in the Application log with this executable as its
  // message file (its message 0 is the entry's text), so that Event Viewer
  // shows the text without "the description cannot be found". Best effort:
  // without the right to write the key the entry goes as it is.
  void RegisterEventSourceMessages(const std::wstring& source);

  std::vector<std::string> arguments_;
  std::string executable_path_;
};

}  // namespace korvel::host::win32
