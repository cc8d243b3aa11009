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
// - the named mutex is an exclusive lock on /tmp/<name>.lock, released by
//   the system when the process dies;
// - the event log is syslog.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/ini_file.h"
#include "host/text.h"
#include "host/version.h"

namespace korvel::host {
namespace {

using namespace korvel::literals;

SysError ErrnoError(int code) {
  SysError error;
  error.code = code;
  switch (code) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      error.kind = SysErrorKind::kAccessDenied;
      break;
    case EBUSY:
    case ETXTBSY:
      error.kind = SysErrorKind::kSharingViolation;
      break;
    case EWOULDBLOCK:
      error.kind = SysErrorKind::kLockViolation;
      break;
    case ENOENT:
    case ENOTDIR:
      error.kind = SysErrorKind::kNotFound;
      break;
    default:
      error.kind = SysErrorKind::kOther;
  }
  error.text = cp1251::FromUtf8(std::strerror(code));
  return error;
}

[[noreturn]] void ThrowErrno(int code) { throw EOSError(ErrnoError(code)); }
[[noreturn]] void ThrowLastErrno() { ThrowErrno(errno); }

std::string Sys(const std::string& path) { return cp1251::ToUtf8(path); }

bool IsReadOnlyMode(mode_t mode) { return !S_ISDIR(mode) && (mode & 0222) == 0; }

// A file that exists and is read-only refuses to be written, replaced or
// deleted, whoever asks.
void RefuseIfReadOnly(const std::string& sys_path) {
  struct stat st;
  if (::stat(sys_path.c_str(), &st) == 0 && IsReadOnlyMode(st.st_mode)) ThrowErrno(EACCES);
}

// A directory is refused as the system refuses it; anything else that is
// not a regular file (FIFO, socket, device) with a text of our own, since
// the system has no error for it.
void RefuseNonRegular(mode_t mode) {
  if (S_ISDIR(mode)) ThrowErrno(EISDIR);
  if (S_ISREG(mode)) return;
  SysError error;
  error.code = EINVAL;
  error.kind = SysErrorKind::kAccessDenied;
  error.text = "Не является обычным файлом"_cp;
  throw EOSError(error);
}

TDateTime FromTimespec(const timespec& ts) {
  return LocalDateTimeFromUnixTime(ts.tv_sec) + static_cast<double>(ts.tv_nsec / 1000000) / 86400000.0;
}

timespec ToTimespec(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  struct tm local {};
  local.tm_year = p.year - 1900;
  local.tm_mon = p.month - 1;
  local.tm_mday = p.day;
  local.tm_hour = p.hour;
  local.tm_min = p.minute;
  local.tm_sec = p.second;
  local.tm_isdst = -1;
  timespec ts{};
  ts.tv_sec = mktime(&local);
  ts.tv_nsec = static_cast<long>(p.millisecond) * 1000000;
  return ts;
}

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

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowLastErrno();
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }

  std::size_t Read(void* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) ThrowLastErrno();
    }
  }
  void Write(std::string_view data) override { WriteAll(fd_, data.data(), data.size()); }
  void Seek(std::int64_t position) override {
    if (::lseek(fd_, position, SEEK_SET) < 0) ThrowLastErrno();
  }
  void SeekToEnd() override {
    if (::lseek(fd_, 0, SEEK_END) < 0) ThrowLastErrno();
  }
  std::int64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) ThrowLastErrno();
    return st.st_size;
  }
  void Flush() override {
    if (::fsync(fd_) != 0) ThrowLastErrno();
  }

 private:
  int fd_;
};

class PosixMutex : public MutexHandle {
 public:
  explicit PosixMutex(int fd) : fd_(fd) {}
  ~PosixMutex() override { ::close(fd_); }

 private:
  int fd_;
};

class PosixLibrary : public SharedLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { ::dlclose(handle_); }
  void* Symbol(const char* name) override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

// Splits "dir/mask" into the directory to open and the mask.
void SplitPattern(const std::string& pattern, std::string& dir, std::string& mask) {
  const std::size_t slash = pattern.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    mask = pattern;
  } else {
    dir = slash == 0 ? "/" : pattern.substr(0, slash);
    mask = pattern.substr(slash + 1);
  }
}

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

class PosixHost : public Host {
 public:
  PosixHost(int argc, char** argv) {
    // A closed console or pipe must fail the write, not kill the process.
    ::signal(SIGPIPE, SIG_IGN);
    for (int i = 0; i < argc; ++i) arguments_.push_back(cp1251::FromUtf8(argv[i]));
  }

  std::optional<FileAttributes> GetAttributes(const std::string& path) override {
    const std::string sys = Sys(path);
    struct stat st;
    if (::lstat(sys.c_str(), &st) != 0) return std::nullopt;
    FileAttributes a;
    if (S_ISLNK(st.st_mode)) {
      a.link = true;
      // A dangling link still exists; it points at nothing.
      if (::stat(sys.c_str(), &st) != 0) return a;
    }
    a.directory = S_ISDIR(st.st_mode);
    a.read_only = IsReadOnlyMode(st.st_mode);
    return a;
  }

  void SetAttributes(const std::string& path, const FileAttributes& attributes) override {
    const std::string sys = Sys(path);
    struct stat st;
    if (::stat(sys.c_str(), &st) != 0) ThrowLastErrno();
    mode_t mode = st.st_mode & 07777;
    if (attributes.read_only) {
      mode &= ~static_cast<mode_t>(0222);
    } else if (IsReadOnlyMode(st.st_mode)) {
      mode |= S_IWUSR;
    }
    if (::chmod(sys.c_str(), mode) != 0) ThrowLastErrno();
  }

  std::vector<DirEntry> FindEntries(const std::string& pattern) override {
    std::string dir, mask;
    SplitPattern(Sys(pattern), dir, mask);
    const std::string wanted = cp1251::FromUtf8(mask);
    std::vector<DirEntry> entries;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return entries;
    while (const dirent* e = ::readdir(d)) {
      std::string name = cp1251::FromUtf8(e->d_name);
      if (!MatchesMask(name, wanted)) continue;
      DirEntry entry;
      // A name that does not come back to the same bytes (characters
      // Windows-1251 lacks, bytes that are not UTF-8, more than 260
      // characters) keeps its own spelling, so that it can still be cleared.
      if (name.size() > 260 || cp1251::ToUtf8(name) != e->d_name) entry.system_name = e->d_name;
      if (name.size() > 260) name.resize(260);
      entry.name = name;
      struct stat st;
      entry.directory = ::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      entries.push_back(std::move(entry));
    }
    ::closedir(d);
    return entries;
  }

  void CopyFile(const std::string& from, const std::string& to) override {
    const std::string src = Sys(from), dst = Sys(to);
    // As in OpenFile: only a regular file is copied, and a FIFO cannot hold
    // the open.
    struct stat st;
    if (::stat(src.c_str(), &st) == 0) RefuseNonRegular(st.st_mode);
    FdGuard in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0) ThrowLastErrno();
    if (::fstat(in.get(), &st) != 0) ThrowLastErrno();
    RefuseNonRegular(st.st_mode);
    const int status = ::fcntl(in.get(), F_GETFL);
    if (status < 0 || ::fcntl(in.get(), F_SETFL, status & ~O_NONBLOCK) != 0) ThrowLastErrno();
    struct stat target;
    if (::stat(dst.c_str(), &target) == 0) {
      // Copying a file onto itself would truncate it.
      if (target.st_dev == st.st_dev && target.st_ino == st.st_ino) ThrowErrno(EBUSY);
      if (IsReadOnlyMode(target.st_mode)) ThrowErrno(EACCES);
    }
    FdGuard out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777));
    if (out.get() < 0) ThrowLastErrno();
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        ThrowLastErrno();
      }
      WriteAll(out.get(), buffer, static_cast<std::size_t>(n));
    }
    // The owner may only be kept where the process is allowed to set it.
    if (::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
      // Not permitted: the copy belongs to us, as a Windows copy would.
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) ThrowLastErrno();
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out.get(), times) != 0) ThrowLastErrno();
    if (::close(out.release()) != 0) ThrowLastErrno();
  }

  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    const std::string src = Sys(from), dst = Sys(to);
    struct stat st;
    if (::lstat(src.c_str(), &st) != 0) ThrowLastErrno();
    struct stat target;
    if (::stat(dst.c_str(), &target) == 0 && !(target.st_dev == st.st_dev && target.st_ino == st.st_ino)) {
      if (IsReadOnlyMode(target.st_mode)) ThrowErrno(EACCES);
      if (S_ISDIR(target.st_mode)) ThrowErrno(EACCES);
    }
    if (::rename(src.c_str(), dst.c_str()) == 0) return;
    if (errno != EXDEV || !allow_copy || S_ISDIR(st.st_mode)) ThrowLastErrno();
    CopyFile(from, to);
    if (::unlink(src.c_str()) != 0) ThrowLastErrno();
  }

  void DeleteFile(const std::string& path) override {
    const std::string sys = Sys(path);
    struct stat st;
    if (::lstat(sys.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) ThrowErrno(EACCES);
      // A link has no attributes of its own: it may always go.
      if (!S_ISLNK(st.st_mode)) RefuseIfReadOnly(sys);
    }
    if (::unlink(sys.c_str()) != 0) ThrowLastErrno();
  }

  void DeleteFoundFile(const std::string& directory, const DirEntry& entry) override {
    const std::string sys =
        Sys(IncludePathDelimiter(directory)) + (entry.reachable() ? Sys(entry.name) : entry.system_name);
    struct stat st;
    if (::lstat(sys.c_str(), &st) != 0) ThrowLastErrno();
    if (S_ISDIR(st.st_mode)) ThrowErrno(EACCES);
    const bool read_only = !S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode);
    if (read_only && ::chmod(sys.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) ThrowLastErrno();
    if (::unlink(sys.c_str()) != 0) ThrowLastErrno();
  }

  void CreateDirectory(const std::string& path) override {
    if (::mkdir(Sys(path).c_str(), 0777) != 0) ThrowLastErrno();
  }

  void RemoveDirectory(const std::string& path) override {
    if (::rmdir(Sys(path).c_str()) != 0) ThrowLastErrno();
  }

  std::int64_t FileSize(const std::string& path) override {
    struct stat st;
    if (::stat(Sys(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return st.st_size;
  }

  std::optional<TDateTime> FileWriteTime(const std::string& path) override {
    struct stat st;
    if (::stat(Sys(path).c_str(), &st) != 0) return std::nullopt;
    return FromTimespec(st.st_mtim);
  }

  void SetFileWriteTime(const std::string& path, TDateTime time) override {
    const timespec times[2] = {{0, UTIME_OMIT}, ToTimespec(time)};
    if (::utimensat(AT_FDCWD, Sys(path).c_str(), times, 0) != 0) ThrowLastErrno();
  }

  std::int64_t DiskFreeBytes(const std::string& directory) override {
    struct statvfs vfs;
    if (::statvfs(Sys(directory).c_str(), &vfs) != 0) ThrowLastErrno();
    return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
  }

  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode, ShareMode share) override {
    const std::string sys = Sys(path);
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kReadWrite:
        flags |= O_RDWR;
        break;
      case OpenMode::kCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
      case OpenMode::kOpenOrCreate:
        flags |= O_RDWR | O_CREAT;
        break;
      case OpenMode::kCreatePrivate:
        flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
        break;
    }
    if (mode != OpenMode::kRead) RefuseIfReadOnly(sys);
    // Only regular files are opened: a FIFO, device or socket dropped where
    // a file is expected would block the read for ever or act on the device.
    // The type is checked before the open, and again on the descriptor,
    // which is opened without blocking so that a FIFO swapped in between
    // cannot hold the open itself.
    struct stat st;
    if (::stat(sys.c_str(), &st) == 0) RefuseNonRegular(st.st_mode);
    FdGuard fd(::open(sys.c_str(), flags | O_NONBLOCK, mode == OpenMode::kCreatePrivate ? 0600 : 0666));
    if (fd.get() < 0) ThrowLastErrno();
    if (::fstat(fd.get(), &st) != 0) ThrowLastErrno();
    RefuseNonRegular(st.st_mode);
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) ThrowLastErrno();
    const int lock = share == ShareMode::kExclusive ? LOCK_EX : LOCK_SH;
    if (::flock(fd.get(), lock | LOCK_NB) != 0) ThrowErrno(errno == EWOULDBLOCK ? EBUSY : errno);
    return std::make_unique<PosixFile>(fd.release());
  }

  std::string ExecutablePath() override {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return arguments_.empty() ? std::string() : arguments_[0];
    return cp1251::FromUtf8(std::string_view(buffer, static_cast<std::size_t>(n)));
  }

  std::string CommandLine() override {
    std::string line;
    for (const std::string& arg : arguments_) {
      if (!line.empty()) line += ' ';
      line += QuoteArgument(arg);
    }
    return line;
  }

  std::vector<std::string> Arguments() override { return arguments_; }

  std::string FileVersion(const std::string& executable) override {
    // Our own executables carry the project's version, embedded at build
    // time; other files have no version resource on POSIX.
    return SameText(executable, ExecutablePath()) ? KORVEL_FILE_VERSION : std::string();
  }

  std::string CurrentDirectory() override {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) == nullptr) ThrowLastErrno();
    return cp1251::FromUtf8(buffer);
  }

  void SetCurrentDirectory(const std::string& path) override {
    if (::chdir(Sys(path).c_str()) != 0) ThrowLastErrno();
  }

  std::string ExpandUNCFileName(const std::string& path) override {
    std::string full = !path.empty() && path[0] == '/' ? path : IncludePathDelimiter(CurrentDirectory()) + path;
    // "." and ".." steps are resolved as text, as GetFullPathName does.
    std::vector<std::string> parts;
    for (const std::string& part : SplitString(full, '/')) {
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
        continue;
      }
      parts.push_back(part);
    }
    std::string result;
    for (const std::string& part : parts) result += "/" + part;
    if (result.empty() || (!path.empty() && path.back() == '/')) result += "/";
    return result;
  }

  std::string ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                            const std::string& fallback) override {
    std::string text;
    try {
      text = ReadFileText(file);
    } catch (const Exception&) {
      return fallback;
    }
    return FindIniValue(text, section, key).value_or(fallback);
  }

  TDateTime Now() override {
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return FromTimespec(ts);
  }

  void Sleep(unsigned milliseconds) override {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  NamedMutex CreateNamedMutex(const std::string& name) override {
    NamedMutex result;
    const std::string path = "/tmp/" + Sys(name) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return result;
    ::fchmod(fd, 0666);  // any account may take the lock after us
    result.handle = std::make_unique<PosixMutex>(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) result.already_existed = true;
    return result;
  }

  void ReportError(const std::string& source, const std::string& message) override {
    // openlog keeps the pointer; the identity must outlive the call.
    static std::string identity;
    identity = Sys(source);
    ::openlog(identity.c_str(), LOG_PID, LOG_USER);
    ::syslog(LOG_ERR, "%s", Sys(message).c_str());
    ::closelog();
  }

  void ConsoleWriteLine(std::string_view line) override {
    const std::string text = cp1251::ToUtf8(line) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
      ThrowLastErrno();
    }
  }

  std::unique_ptr<SharedLibrary> LoadLibrary(const std::string& name) override {
    void* handle = ::dlopen(Sys(name).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    return std::make_unique<PosixLibrary>(handle);
  }

 private:
  std::vector<std::string> arguments_;
};

}  // namespace

std::unique_ptr<Host> CreateSystemHost(int argc, char** argv) { return std::make_unique<PosixHost>(argc, argv); }

std::string ToConsoleEncoding(std::string_view text) { return cp1251::ToUtf8(text); }

void WriteStandardOutput(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
    ThrowLastErrno();
  }
}

}  // namespace korvel::host
