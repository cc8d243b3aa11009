// Everything the operating system does for the program goes through Host:
// files and directories, the process and its command line, the clock, the
// single-instance lock, the system log, the console, the ini file and
// shared libraries. Two backends split alike by concern (posix_*.cpp and
// win32_*.cpp, see CMakeLists.txt); the file operations the program uses, with
// their exact failure messages, are built once on top of them (file_ops.cpp).
//
// All strings are Windows-1251; backends convert at the system boundary.
// Primitives that fail throw EOSError carrying the system's error.
//
// Tests override single primitives through ForwardingHost (fail the Nth
// copy, make the clock instant) and use the real backend for the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/datetime.h"
#include "host/exception.h"

namespace korvel::host {

// The platform's path separator; relative names that arrive with
// backslashes are converted by JoinPath.
#ifdef _WIN32
inline constexpr char kPathDelim = '\\';
inline constexpr bool kWindows = true;
#else
inline constexpr char kPathDelim = '/';
inline constexpr bool kWindows = false;
#endif

struct FileAttributes {
  bool directory = false;
  bool read_only = false;
  bool hidden = false;
  bool system = false;
  bool archive = false;
  // A symbolic link or other reparse point; `directory` tells what it
  // points at. Tree operations remove links, never what they point to.
  bool link = false;
  // POSIX: a regular file with an execute permission bit. Setting it adds
  // the execute bits wherever the file is readable; clearing it changes
  // nothing (no attribute write takes a program's bits away). Windows
  // has no such attribute: always false there, and ignored.
  bool executable = false;
};

struct DirEntry {
  std::string name;  // bare name, at most 260 characters
  bool directory = false;
  // Empty when `name` reaches the entry. Otherwise the file system's own
  // spelling of a name that Windows-1251 cannot carry (`name` then shows
  // '?' for the characters it lacks, or was cut at 260 characters): only
  // DeleteFoundFile can reach such an entry.
  std::string system_name;

  bool reachable() const { return system_name.empty(); }
};

enum class OpenMode {
  kRead,          // existing file, reading
  kReadWrite,     // existing file, reading and writing
  kCreate,        // new or truncated file, reading and writing
  kOpenOrCreate,  // existing file kept, or a new one; reading and writing
  kCreatePrivate,  // a new file only (an existing one is an error), which
                   // only its owner may open; reading and writing
  kAppend,  // existing file kept, or a new one; writing only, each Write
            // lands whole at the end of the file, also while other
            // processes append to it (O_APPEND, FILE_APPEND_DATA)
};

enum class ShareMode {
  kExclusive,  // others may neither read nor write
  kRead,       // others may read
  kReadWrite,  // others may read and write
};

// An open file. Every failure throws EOSError.
class File {
 public:
  virtual ~File() = default;
  // Reads up to `size` bytes; 0 at the end of the file.
  virtual std::size_t Read(void* buffer, std::size_t size) = 0;
  virtual void Write(std::string_view data) = 0;
  virtual void Seek(std::int64_t position) = 0;
  virtual void SeekToEnd() = 0;
  virtual std::int64_t Size() = 0;
  // Puts what was written on the disk itself, so that a file renamed into
  // place afterwards survives a power cut whole.
  virtual void Flush() = 0;
  // Starts writing what was written so far to the disk and returns at
  // once, so that the disk works while the caller goes on; nothing is
  // durable until a Flush or the host's FlushTree. Does nothing where the
  // system has no such call.
  virtual void StartWriteBack() {}
  // Says that the bytes in [offset, offset + length) will not be read
  // again: the system may free the memory that caches them (they read as
  // zeros afterwards). Does nothing where the system has no such call.
  virtual void Release(std::int64_t /*offset*/, std::int64_t /*length*/) {}
  // Says that the bytes in [offset, offset + length) will not be read
  // again soon: the system may drop them from its cache; the file stays
  // as it is. Does nothing where the system has no such call.
  virtual void DropCache(std::int64_t /*offset*/, std::int64_t /*length*/) {}

  // Reads until `size` bytes or the end of the file, whichever comes first.
  std::string ReadUpTo(std::size_t size) {
    std::string data(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      const std::size_t got = Read(data.data() + done, size - done);
      if (got == 0) break;
      done += got;
    }
    data.resize(done);
    return data;
  }
};

// A held single-instance lock; released when destroyed (and by the system
// when the process dies).
class MutexHandle {
 public:
  virtual ~MutexHandle() = default;
};

struct NamedMutex {
  std::unique_ptr<MutexHandle> handle;  // null when creation failed
  bool already_existed = false;         // another process holds it (the
                                        // handle may then be null)
};

// A child program started hidden, its standard output and error on one
// pipe. Destroying it closes the pipe and releases the process.
class CapturedProcess {
 public:
  virtual ~CapturedProcess() = default;
  // The next piece of the child's output (at most 1024 bytes as read),
  // converted from the console's encoding to Windows-1251; nothing once the
  // pipe has broken (the child, and whatever inherited the pipe, ended).
  virtual std::optional<std::string> ReadOutput() = 0;
  // The child's exit code, read once its output has ended (or HasEnded
  // said so).
  virtual std::uint32_t ExitCode() = 0;

  // For runs with a time limit (Host::RunProgramWithTimeLimit), which
  // never block on the child:
  // The output that has arrived, converted as ReadOutput converts it;
  // empty when none has, nothing once the pipe has broken.
  virtual std::optional<std::string> ReadAvailableOutput() = 0;
  // Whether the child has ended, without waiting for it.
  virtual bool HasEnded() = 0;
  // Ends the child at once (SIGKILL, TerminateProcess); HasEnded tells
  // when it is gone.
  virtual void Terminate() = 0;
};

// How a program run with a time limit went.
struct TimedRun {
  bool ended = false;          // false: still running at the limit, and ended then
  std::uint32_t exit_code = 0;  // when it ended by itself
  std::string output;           // the first bytes of its output
};

// Service states as the service control manager reports them.
inline constexpr int kServiceStopped = 1;
inline constexpr int kServiceStartPending = 2;
inline constexpr int kServiceStopPending = 3;
inline constexpr int kServiceRunning = 4;

// An open service. Failures throw EOSError.
class ServiceHandle {
 public:
  virtual ~ServiceHandle() = default;
  // The current state code (1 stopped ... 4 running ... 7 paused).
  virtual int QueryState() = 0;
  // Asks the service to start (no arguments); false when the request fails.
  virtual bool Start() = 0;
  // Asks the service to start (no arguments); throws EOSError with the
  // system's reason when the request fails. The backends give their own
  // error; this fallback only knows that Start failed.
  virtual void StartOrFail() {
    if (!Start()) throw EOSError(SysError{0, SysErrorKind::kOther, "The service did not start."});
  }
  // Sends the stop control; its result is not examined.
  virtual void SendStop() = 0;
  // Sends the stop control; throws EOSError with the system's reason when
  // the service refuses it (dependent services running, not accepting
  // controls now). This fallback examines nothing.
  virtual void StopOrFail() { SendStop(); }
};

// An open service control manager.
class ServiceManagerHandle {
 public:
  virtual ~ServiceManagerHandle() = default;
  // Opens `name` with full access, or only to query its status; throws
  // EOSError (kind kServiceMissing when it is not installed).
  virtual std::unique_ptr<ServiceHandle> OpenService(const std::string& name, bool full_access) = 0;
};

struct ProcessEntry {
  std::uint32_t id = 0;
  std::string exe_name;  // file name part of the executable
};

// Receives one line of a child program's output, without its line end.
using OutputLineHandler = std::function<void(const std::string& line)>;

struct ServiceHandles {
  std::unique_ptr<ServiceManagerHandle> manager;
  std::unique_ptr<ServiceHandle> service;
};

// A loaded shared library. Symbol() gives null for a missing name.
class SharedLibrary {
 public:
  virtual ~SharedLibrary() = default;
  virtual void* Symbol(const char* name) = 0;
};

class Host {
 public:
  virtual ~Host() = default;

  // ---- Primitives: one per system call the program needs ----

  // Attributes, or nothing when the path does not exist.
  virtual std::optional<FileAttributes> GetAttributes(const std::string& path) = 0;
  virtual void SetAttributes(const std::string& path, const FileAttributes& attributes) = 0;
  // Entries matching `pattern` (a directory, a separator and a mask with "*"
  // and "?", letter case ignored), in the order the file system gives them,
  // "." and ".." included where the system reports them. Nothing (and no
  // error) when the directory does not exist. Windows also gives names
  // whose 8.3 short name matches ("*.upd" finds x.update as X~1.UPD): the
  // file operations below compare the long name against the mask again.
  virtual std::vector<DirEntry> FindEntries(const std::string& pattern) = 0;
  // Copies, replacing the target; keeps the last-write time and attributes.
  virtual void CopyFile(const std::string& from, const std::string& to) = 0;
  // Moves, replacing the target; across volumes only when allowed.
  virtual void MoveFile(const std::string& from, const std::string& to, bool allow_copy) = 0;
  virtual void DeleteFile(const std::string& path) = 0;
  virtual void CreateDirectory(const std::string& path) = 0;
  virtual void RemoveDirectory(const std::string& path) = 0;
  // Puts the directory's entries (names created, renamed or removed in it)
  // on the disk itself, so that a rename survives a power cut. A no-op
  // where the file system records renames durably on its own.
  virtual void FlushDirectory(const std::string& directory) = 0;
  // Puts every file written below `directory`, and the directories' own
  // entries, on the disk itself in one pass, instead of a flush per file:
  // POSIX flushes the whole volume of `directory` (syncfs), so other
  // writers' data goes too; Windows flushes each file below it.
  virtual void FlushTree(const std::string& directory) = 0;
  // Size in bytes; -1 when missing or a directory.
  virtual std::int64_t FileSize(const std::string& path) = 0;
  // Last-write time as local time, exact; nothing when missing.
  virtual std::optional<TDateTime> FileWriteTime(const std::string& path) = 0;
  virtual void SetFileWriteTime(const std::string& path, TDateTime time) = 0;
  // Free bytes available to the caller on the volume of `directory`.
  virtual std::int64_t DiskFreeBytes(const std::string& directory) = 0;
  // Only regular files open: a directory, FIFO, socket or device fails
  // (without blocking) with the system's error or "Не является обычным
  // файлом".
  virtual std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode, ShareMode share) = 0;
  // Clears read-only, hidden and system of a file that FindEntries found in
  // `directory` and deletes it, also when its name does not reach it.
  virtual void DeleteFoundFile(const std::string& directory, const DirEntry& entry) = 0;

  // The running executable's full path as it was at the start (taken once:
  // a rename or replacement of the file during the run changes nothing),
  // its command line as received and its arguments (the first being the
  // program itself).
  virtual std::string ExecutablePath() = 0;
  virtual std::string CommandLine() = 0;
  virtual std::vector<std::string> Arguments() = 0;
  // The "FileVersion" string of the file's version resource or, when that is
  // empty, the four numbers of its fixed file version joined by "."; empty
  // when the file has no version resource.
  virtual std::string FileVersion(const std::string& executable) = 0;
  virtual std::string CurrentDirectory() = 0;
  // The directory for libraries that every program of the machine finds,
  // without trailing separator: the Windows system directory as the system
  // reports it; /usr/local/lib on POSIX (the loader searches it, and it is
  // the administrator's, not the package manager's).
  virtual std::string SystemDirectory() = 0;
  virtual void SetCurrentDirectory(const std::string& path) = 0;
  // Full path of a possibly relative path; a mapped network drive becomes
  // its share's UNC name.
  virtual std::string ExpandUNCFileName(const std::string& path) = 0;
  // A value of an ini file, read fresh from disk (section and key letter
  // case ignored); `fallback` when the file, section or key is missing.
  virtual std::string ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                                    const std::string& fallback) = 0;

  // Local date and time now.
  virtual TDateTime Now() = 0;
  // Every wait of the program goes through here.
  virtual void Sleep(unsigned milliseconds) = 0;

  // Creates the machine-wide lock `name`, owned by this process (Windows:
  // the mutex Global\name, the same in every session). One that exists
  // but cannot be opened (another account's) counts as held: no handle,
  // already_existed.
  virtual NamedMutex CreateNamedMutex(const std::string& name) = 0;
  // The system's event log (syslog on POSIX) as an error entry of `source`.
  virtual void ReportError(const std::string& source, const std::string& message) = 0;
  // One line on standard output in the console's encoding, flushed.
  virtual void ConsoleWriteLine(std::string_view line) = 0;
  // Loads a shared library by file name; throws EOSError with the system's
  // reason when it cannot be loaded (POSIX: the loader's text, code 0).
  virtual std::unique_ptr<SharedLibrary> LoadLibrary(const std::string& name) = 0;
  // A variable of the process environment; empty when unset.
  virtual std::string GetEnvironmentVariable(const std::string& name) = 0;

  // ---- External programs and services: primitives (both backends) ----

  // Starts `command_line` (the program found along the search path, as the
  // system resolves a command line; Windows quoting rules for its words)
  // hidden, in `working_dir` (the current one when empty), with standard
  // output and error on a pipe. Raises "Ошибка CreatePipe:\r\n" +
  // LastErrorText, or "Ошибка запуска программы \"" + command_line +
  // "\":\r\n" + LastErrorText.
  virtual std::unique_ptr<CapturedProcess> StartCapturedProcess(const std::string& command_line,
                                                                const std::string& working_dir) = 0;
  // Starts `command_line` hidden without inherited handles and waits,
  // without time limit, until it ends. Raises "Ошибка запуска программы \"" +
  // command_line + "\".\r\n" + LastErrorText when it cannot be started.
  virtual void RunAndWait(const std::string& command_line, const std::string& working_dir) = 0;
  // The service's registered command (Windows: the ImagePath value of its
  // registry key, trimmed); empty when the service is not installed.
  // Never throws for a missing service.
  virtual std::string ReadServiceImagePath(const std::string& name) = 0;
  // Opens the service control manager of `machine` (empty: this one) with
  // full access or connect-only rights; throws EOSError.
  virtual std::unique_ptr<ServiceManagerHandle> OpenServiceManager(const std::string& machine,
                                                                   bool full_access) = 0;
  // The command line that starts or stops a service with the system's own
  // tool ("net start NAME" / "net stop NAME" on Windows).
  virtual std::string ServiceCommandLine(const std::string& name, bool start) = 0;
  // Every running process. Raises "CreateToolhelp32Snapshot: " or
  // "Process32First: " + LastErrorText.
  virtual std::vector<ProcessEntry> ListProcesses() = 0;

  // ---- External programs and services (programs.cpp) ----

  // Runs `command_line` hidden (StartCapturedProcess) and passes every line
  // of its output to `handler` in order, without its end. On Windows a line
  // ends at CR LF (a lone LF ends none) and text after the last CR LF is
  // dropped; on POSIX a line ends at LF or CR LF and a last line without an
  // end is passed on too. Returns the exit code, which the program's
  // callers ignore.
  std::uint32_t RunProgramCaptured(const std::string& command_line, const std::string& working_dir,
                                   const OutputLineHandler& handler);
  // Runs `command_line` hidden (StartCapturedProcess) until it ends, or
  // ends it when `limit_ms` have passed on the host clock (Now; the waits
  // between looks go through Sleep). Keeps the first `output_limit` bytes
  // of its output and reads and drops the rest, so that a talkative child
  // never blocks on a full pipe. A failed start raises as
  // StartCapturedProcess does. (timed_run.cpp)
  TimedRun RunProgramWithTimeLimit(const std::string& command_line, const std::string& working_dir,
                                   unsigned limit_ms, std::size_t output_limit);
  // The service's executable: the quoted path without its quotes, or the
  // value cut before its first space (after "PROGRAM FILES" when present),
  // with the first %VARIABLE% expanded. Empty when not installed.
  std::string GetServiceImagePath(const std::string& name);
  // Both with full access. Raises "Ошибка открытия менеджера сервисов: " or
  // "Ошибка открытия сервиса " + name + " : " + LastErrorText.
  ServiceHandles OpenServiceHandles(const std::string& name);
  // The service's current state; open failures propagate.
  int QueryServiceState(const std::string& name);
  // Drives the service to running (start) or stopped and waits, within one
  // budget of 60 one-second sleeps shared by the start retries and the
  // wait; the stop control is sent again on every step. Returns at once
  // when the service is already there. Raises "Не удается запустить сервис "
  // / "Не удается остановить сервис " + name when the state does not come.
  void ServiceControl(const std::string& name, bool start);
  // Appends the ids of the processes whose executable's file name equals
  // `exe_name` (letter case ignored) to `ids`.
  void ListProcessIds(const std::string& exe_name, std::vector<std::uint32_t>& ids);

  // ---- File operations with the program's messages (file_ops.cpp) ----

  // Removes everything below `path`; undeletable entries stay. With
  // keep_top false the directory itself goes too. Never throws.
  void DeleteDirectoryTree(const std::string& path, bool keep_top);
  // Appends the names of files (not directories) in `directory` matching
  // `mask` to `list`, skipping names already there (letter case ignored on
  // Windows; on POSIX names differing in case are different files).
  void ListFiles(const std::string& directory, const std::string& mask, std::vector<std::string>& list);
  // The files ListFiles would list, as found, without duplicates; an entry
  // whose name does not reach it (see DirEntry) is listed too, so that the
  // caller can refuse it and clear it with DeleteFoundFile.
  std::vector<DirEntry> ListFileEntries(const std::string& directory, const std::string& mask);
  void ListSubdirectories(const std::string& directory, std::vector<std::string>& list);
  // "Ошибка копирования файла %s в %s.\r\n%s"
  void CopyFileOrFail(const std::string& from, const std::string& to);
  // "Ошибка переименования файла %s в %s:\r\n%s."
  void RenameFileOrFail(const std::string& from, const std::string& to);
  // "Ошибка удаления файла %s : %s."
  void DeleteFileOrFail(const std::string& path);
  // Size of the first match of `path` (wildcards allowed); -1 when none or
  // a directory.
  std::int64_t GetFileSize64(const std::string& path);
  // Last-write time with two-second resolution; 0 when missing.
  TDateTime GetFileDateTime(const std::string& path);
  bool FileExists(const std::string& path);
  bool DirectoryExists(const std::string& path);
  // Creates the directory and its parents; false when one cannot be made.
  // Raises "Невозможно создать директорию \"\"" for an empty path.
  bool ForceDirectoriesOrFail(const std::string& directory);
  std::int64_t GetDiskFreeBytes(const std::string& directory);
  // Clears read-only, hidden and system of an existing file, keeping the
  // other attributes. Never throws.
  void ClearFileAttributes(const std::string& path);
  // Makes a file a program (FileAttributes::executable); nothing on
  // Windows. Raises the system's error.
  void MarkExecutable(const std::string& path);
  // Whole-file helpers for small files.
  std::string ReadFileText(const std::string& path);
  void WriteFileText(const std::string& path, std::string_view data);

  // ---- Command-line switches ----

  // Index of the first argument "-name" or "/name" (letter case ignored),
  // 0 when none.
  int FindSwitch(std::string_view name);
  // The argument after the switch unless it is itself a switch; else empty.
  std::string GetSwitchValue(std::string_view name);
};

// The executable part of a service's ImagePath value by the rules of
// GetServiceImagePath; `environment` looks up a variable.
std::string ImagePathProgram(std::string_view value, const std::function<std::string(const std::string&)>& environment);

// Splits a command line into its words as Windows programs do: blanks
// separate, double quotes group (and are removed); "\"" and "\\" before a
// quote escape. Used where a system starts programs from word lists.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Path helpers; `path` uses the platform separator.
// Appends the separator unless empty or already there; a single letter
// becomes a drive root on Windows ("d" -> "d:\").
std::string IncludePathDelimiter(std::string_view path);
// dir + relative, where `relative` may use backslashes as in the files the
// office sends.
std::string JoinPath(std::string_view dir, std::string_view relative);
// Backslashes of a relative name become the platform separator.
std::string NativeSeparators(std::string_view relative);
std::string ExtractFileName(std::string_view path);
// The directory part with its trailing separator.
std::string ExtractFilePath(std::string_view path);
// The directory part without its trailing separator.
std::string ExtractFileDir(std::string_view path);
// The extension with its dot; empty when none.
std::string ExtractFileExt(std::string_view path);
std::string ChangeFileExt(std::string_view path, std::string_view extension);
std::string ExtractFileNameWithoutExt(std::string_view path);
// POSIX: `dir` lies in a tree of the system or its package manager (/etc,
// /usr/bin, /lib, /var, the shared directories of /usr/local, ...) or is
// no plain absolute name ("..", empty steps), so that the program must not
// put files there. Always false on Windows.
bool IsSystemDirectory(std::string_view dir);

// The backend of the platform the program was built for. `argv` is the
// program's argument vector as main received it.
// `service_root` (POSIX only, for tests) is a directory that stands for "/"
// wherever the backend looks for the service manager's files and scripts.
std::unique_ptr<Host> CreateSystemHost(int argc, char** argv, const std::string& service_root = "");

// The file whose exclusive lock is the named mutex `name` on POSIX:
// /run/<name>.lock for root, else <name>.lock in the account's private
// runtime directory ($XDG_RUNTIME_DIR, or /tmp/korvel-<uid>, made with mode
// 0700); empty when no safe place exists. Empty on Windows, where the
// system's named mutexes are used.
std::string NamedMutexFile(const std::string& name);

// Windows-1251 text in the encoding the system's libraries expect of narrow
// file names, such as the database name handed to the Firebird client:
// UTF-8 on POSIX (where the backend makes the locale's character set UTF-8
// too, since the client converts from it); unchanged on Windows, where
// narrow names are read in the ANSI code page (1251 on the pharmacy's
// Russian Windows).
std::string ToFileNameEncoding(std::string_view text);

// Windows-1251 text in the encoding of the console the program writes to
// (UTF-8 on POSIX, the console's code page on Windows), for output that
// does not go through Host::ConsoleWriteLine, such as standard error.
std::string ToConsoleEncoding(std::string_view text);

// Writes bytes to standard output exactly as they are (no conversion of
// encoding or line ends, also on Windows) and flushes; throws EOSError.
void WriteStandardOutput(std::string_view bytes);

}  // namespace korvel::host
