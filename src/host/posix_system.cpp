// The POSIX backend's process-wide rest: the host itself, the clock, the
// single-instance lock, the system log and the console.
#include "host/posix_backend.h"

namespace korvel::host::posix {

using namespace korvel::literals;

namespace {

class PosixMutex : public MutexHandle {
 public:
  explicit PosixMutex(int fd) : fd_(fd) {}
  ~PosixMutex() override { ::close(fd_); }

 private:
  int fd_;
};

// A directory that only this account can write in and that no one else can
// swap for another: a real directory (not a link), owned by us, without
// write or search rights for anybody else.
bool IsPrivateDirectory(const std::string& sys_dir) {
  struct stat st;
  return ::lstat(sys_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 0077) == 0;
}

}  // namespace

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

TDateTime FromTimespec(const timespec& ts) {
  return LocalDateTimeFromUnixTime(ts.tv_sec) + static_cast<double>(ts.tv_nsec / 1000000) / 86400000.0;
}

PosixHost::PosixHost(int argc, char** argv, std::string service_root) : services_{std::move(service_root)} {
  // A closed console or pipe must fail the write, not kill the process.
  ::signal(SIGPIPE, SIG_IGN);
  // Libraries that take narrow file names read them in the locale's
  // character set: the Firebird client converts a database name from it
  // and refuses a Cyrillic name under the "C" locale. Our names are UTF-8
  // (ToFileNameEncoding), and so is the character set from here on.
  // Only LC_CTYPE changes; the program's own text handling uses no locale.
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "C.utf8");
  for (int i = 0; i < argc; ++i) arguments_.push_back(cp1251::FromUtf8(argv[i]));
  // Taken once: once the file is renamed or replaced during the run (the
  // self-update does that), the link names the moved file or ends in
  // " (deleted)"; the run keeps the name it started under.
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) {
    executable_path_ = cp1251::FromUtf8(std::string_view(buffer, static_cast<std::size_t>(n)));
  } else if (!arguments_.empty()) {
    executable_path_ = arguments_[0];
  }
}

std::string PosixHost::SystemDirectory() { return "/usr/local/lib"; }

TDateTime PosixHost::Now() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimespec(ts);
}

void PosixHost::Sleep(unsigned milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

NamedMutex PosixHost::CreateNamedMutex(const std::string& name) {
  NamedMutex result;
  const std::string path = NamedMutexFile(name);
  if (path.empty()) return result;
  // Never through a link, never a chmod: the file is ours and private, or
  // the lock is not taken.
  FdGuard fd(::open(Sys(path).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return result;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return result;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) result.already_existed = true;
  result.handle = std::make_unique<PosixMutex>(fd.release());
  return result;
}

void PosixHost::ReportError(const std::string& source, const std::string& message) {
  // openlog keeps the pointer; the identity must outlive the call.
  static std::string identity;
  identity = Sys(source);
  ::openlog(identity.c_str(), LOG_PID, LOG_USER);
  ::syslog(LOG_ERR, "%s", Sys(message).c_str());
  ::closelog();
}

void PosixHost::ConsoleWriteLine(std::string_view line) {
  const std::string text = cp1251::ToUtf8(line) + "\n";
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    ThrowLastErrno();
  }
}

}  // namespace korvel::host::posix

namespace korvel::host {

using namespace posix;

std::unique_ptr<Host> CreateSystemHost(int argc, char** argv, const std::string& service_root) {
  return std::make_unique<PosixHost>(argc, argv, Sys(service_root));
}

std::string NamedMutexFile(const std::string& name) {
  // root: /run, which only root may write in. Any other account: its own
  // runtime directory, or a private directory of its own in /tmp, made here
  // when missing; one that someone else made, or made too open, is refused.
  const std::string file = name + ".lock";
  if (::geteuid() == 0) return "/run/" + file;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    if (IsPrivateDirectory(runtime)) return cp1251::FromUtf8(runtime) + "/" + file;
  }
  const std::string dir = "/tmp/korvel-" + std::to_string(::geteuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return IsPrivateDirectory(dir) ? dir + "/" + file : std::string();
}

std::string ToConsoleEncoding(std::string_view text) { return cp1251::ToUtf8(text); }

void WriteStandardOutput(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
    ThrowLastErrno();
  }
}

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace korvel::host
