// The POSIX backend. Paths are UTF-8 on disk and Windows-1251 inside the
// program. Where Windows behaves in a way the program relies on, the
// closest honest equivalent is built here:
// - a file without any write permission bit is "read-only": it cannot be
//   opened for writing, overwritten by a copy or move, or deleted, also by
//   root (as the read-only attribute works on Windows);
// - file masks match without regard to letter case;
// - a copy keeps the last-write time, permission bits and (where allowed)
//   the owner;
// - "unshared" opens take an exclusive advisory lock, shared opens a shared
//   one, so that two of our processes see each other's locks;
// - the named mutex is an exclusive lock on a file <name>.lock in a
//   directory no other account can write in (NamedMutexFile), released by
//   the system when the process dies;
// - the event log is syslog;
// - a command line is split into words by the Windows rules and the program
//   found along PATH (no shell); child output, UTF-8 as the locale writes
//   it, is converted to Windows-1251;
// - a service is what the machine's service manager knows by that name:
//   installed when a systemd unit NAME.service (in /etc/systemd/system or
//   /lib/systemd/system) or an init script /etc/init.d/NAME exists; its
//   image path is the program of the unit's ExecStart (or the init script's
//   DAEMON=, else the script itself); state, start and stop go through
//   systemctl where systemd runs (/run/systemd/system exists), otherwise
//   through the init script's status (LSB: 0 running, 1-3 stopped), start
//   and stop. Full access to the service manager needs root, as the service
//   control manager's needs an administrator;
// - processes come from /proc.
//
// This header is what the backend's files (posix_*.cpp) share: the host class,
// the error conversion and the small helpers more than one of them needs.
// Nothing outside the backend includes it.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/ini_file.h"
#include "host/program_messages.h"
#include "host/terminal.h"
#include "host/text.h"
#include "host/version.h"

namespace korvel::host::posix {

SysError ErrnoError(int code);

[[noreturn]] void ThrowErrno(int code);

[[noreturn]] void ThrowLastErrno();

std::string Sys(const std::string& path);

TDateTime FromTimespec(const timespec& ts);

class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Waits for the child; its exit code as ExitCodeOf gives it.
std::uint32_t WaitForChild(pid_t pid);

// Starts `words` (found along PATH) with standard input from /dev/null,
// standard output and error to `out_fd` (-1: /dev/null) and `close_fd`
// closed in the child; the error number of a failed start, else 0.
int Spawn(std::vector<std::string> words, const std::string& working_dir, int out_fd, int close_fd, pid_t& pid);

bool IsDirectory(const std::string& path);

bool IsFile(const std::string& path);

std::string ReadSmallFile(const std::string& path);

// The service layout below a root ("" for the system's own).
struct ServiceLayout {
  std::string root;

  std::string InitScript(const std::string& name) const { return root + "/etc/init.d/" + name; }
  bool SystemdRuns() const { return IsDirectory(root + "/run/systemd/system"); }
  // The unit file, the machine's own before the packages' ones; empty when
  // there is none.
  std::string UnitFile(const std::string& name) const {
    for (const char* dir : {"/etc/systemd/system/", "/lib/systemd/system/"}) {
      const std::string path = root + dir + name + ".service";
      if (IsFile(path)) return path;
    }
    return {};
  }
  static bool ValidName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
  }
  bool Installed(const std::string& name) const {
    return ValidName(name) && (!UnitFile(name).empty() || IsFile(InitScript(name)));
  }
};

class PosixHost : public Host {
 public:
  // The process-wide rest: the clock, the single-instance lock, the system log, the console (posix_system.cpp).
  PosixHost(int argc, char** argv, std::string service_root);
  std::string SystemDirectory() override;
  TDateTime Now() override;
  void Sleep(unsigned milliseconds) override;
  NamedMutex CreateNamedMutex(const std::string& name) override;
  void ReportError(const std::string& source, const std::string& message) override;
  void ConsoleWriteLine(std::string_view line) override;

  // Files and directories (posix_files.cpp).
  std::optional<FileAttributes> GetAttributes(const std::string& path) override;
  void SetAttributes(const std::string& path, const FileAttributes& attributes) override;
  std::vector<DirEntry> FindEntries(const std::string& pattern) override;
  void CopyFile(const std::string& from, const std::string& to) override;
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override;
  void DeleteFile(const std::string& path) override;
  void DeleteFoundFile(const std::string& directory, const DirEntry& entry) override;
  void CreateDirectory(const std::string& path) override;
  void RemoveDirectory(const std::string& path) override;
  std::int64_t FileSize(const std::string& path) override;
  std::optional<TDateTime> FileWriteTime(const std::string& path) override;
  void SetFileWriteTime(const std::string& path, TDateTime time) override;
  void FlushDirectory(const std::string& directory) override;
  void FlushTree(const std::string& directory) override;
  std::int64_t DiskFreeBytes(const std::string& directory) override;
  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode, ShareMode share) override;
  std::string CurrentDirectory() override;
  void SetCurrentDirectory(const std::string& path) override;
  std::string ExpandUNCFileName(const std::string& path) override;
  std::string ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                            const std::string& fallback) override;

  // Programs and processes (posix_processes.cpp).
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

  // Services (posix_services.cpp).
  std::string ReadServiceImagePath(const std::string& name) override;
  std::unique_ptr<ServiceManagerHandle> OpenServiceManager(const std::string& machine, bool full_access) override;
  std::string ServiceCommandLine(const std::string& name, bool start) override;

 private:
  static bool TryParseProcessId(const char* name, std::uint32_t& id);

  // The file name of a process's executable: the target of its exe link
  // (" (deleted)" dropped), else the first word of its command line;
  // kernel threads have neither.
  static std::string ProcessExecutable(const std::string& dir);

  std::vector<std::string> arguments_;
  ServiceLayout services_;
  std::string executable_path_;
};

}  // namespace korvel::host::posix
