// The POSIX backend.
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

// Runs a service manager's command quietly; its exit code, or -1 when it
// could not be started. With `output`, standard output is collected.
int RunTool(std::vector<std::string> words, std::string* output) {
  int fds[2] = {-1, -1};
  if (output != nullptr && ::pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = 0;
  const int error = Spawn(std::move(words), "", output ? fds[1] : -1, output ? fds[0] : -1, pid);
  if (output != nullptr) ::close(fds[1]);
  if (error != 0) {
    if (output != nullptr) ::close(fds[0]);
    return -1;
  }
  if (output != nullptr) {
    char buffer[512];
    for (;;) {
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      output->append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
  }
  return static_cast<int>(WaitForChild(pid));
}

SysError ServiceMissingError() {
  SysError error;
  error.code = ENOENT;
  error.kind = SysErrorKind::kServiceMissing;
  error.text = "The specified service does not exist as an installed service.";
  return error;
}

class PosixService : public ServiceHandle {
 public:
  PosixService(ServiceLayout layout, std::string name) : layout_(std::move(layout)), name_(std::move(name)) {}

  int QueryState() override {
    if (layout_.SystemdRuns()) {
      std::string out;
      RunTool({"systemctl", "is-active", name_}, &out);
      out = Trim(out);
      if (out == "active" || out == "reloading") return kServiceRunning;
      if (out == "activating") return kServiceStartPending;
      if (out == "deactivating") return kServiceStopPending;
      if (out == "inactive" || out == "failed") return kServiceStopped;
      ThrowErrno(EIO);
    }
    const int code = RunTool({layout_.InitScript(name_), "status"}, nullptr);
    if (code == 0) return kServiceRunning;
    if (code >= 1 && code <= 3) return kServiceStopped;
    ThrowErrno(code < 0 ? ENOENT : EIO);
  }

  bool Start() override { return Control("start"); }
  void StartOrFail() override {
    if (!Start()) ThrowErrno(EIO);
  }
  void SendStop() override { Control("stop"); }

 private:
  bool Control(const char* verb) {
    if (layout_.SystemdRuns()) return RunTool({"systemctl", verb, name_}, nullptr) == 0;
    return RunTool({layout_.InitScript(name_), verb}, nullptr) == 0;
  }

  ServiceLayout layout_;
  std::string name_;
};

class PosixServiceManager : public ServiceManagerHandle {
 public:
  explicit PosixServiceManager(ServiceLayout layout) : layout_(std::move(layout)) {}

  std::unique_ptr<ServiceHandle> OpenService(const std::string& name, bool full_access) override {
    const std::string sys = Sys(name);
    if (!layout_.Installed(sys)) throw EOSError(ServiceMissingError());
    if (full_access && ::geteuid() != 0) ThrowErrno(EACCES);
    return std::make_unique<PosixService>(layout_, sys);
  }

 private:
  ServiceLayout layout_;
};

// The program a systemd unit's first ExecStart runs, quoted when it holds a
// blank; empty when there is none.
std::string UnitProgram(const std::string& text) {
  std::string joined;
  bool in_service = false;
  std::string result;
  for (std::string line : SplitString(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A line ending in a backslash goes on in the next one.
    if (!line.empty() && line.back() == '\\') {
      line.pop_back();
      joined += line + " ";
      continue;
    }
    line = Trim(joined + line);
    joined.clear();
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      in_service = line == "[Service]";
      continue;
    }
    if (!in_service) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos || Trim(line.substr(0, eq)) != "ExecStart") continue;
    std::string value = Trim(line.substr(eq + 1));
    if (value.empty()) {
      // An empty assignment clears the commands before it.
      result.clear();
      continue;
    }
    if (!result.empty()) continue;
    // systemd's prefix characters: @ - : + ! (and !!).
    std::size_t skip = 0;
    while (skip < value.size() && std::strchr("@-:+!", value[skip]) != nullptr) ++skip;
    value = value.substr(skip);
    std::string program;
    if (!value.empty() && value[0] == '"') {
      const std::size_t close = value.find('"', 1);
      program = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
      program = value.substr(0, value.find_first_of(" \t"));
    }
    result = program.find(' ') != std::string::npos ? "\"" + program + "\"" : program;
  }
  return result;
}

// The daemon an init script names in its DAEMON= line (the LSB skeleton's
// convention), when that is a plain path.
std::string InitScriptDaemon(const std::string& text) {
  for (std::string line : SplitString(text, '\n')) {
    line = Trim(line);
    if (line.rfind("DAEMON=", 0) != 0) continue;
    std::string value = Trim(line.substr(7));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    if (value.empty() || value[0] != '/' || value.find_first_of("$`; \t") != std::string::npos) return {};
    return value;
  }
  return {};
}

std::string QuoteWord(const std::string& word) {
  return word.find_first_of(" \t\"") == std::string::npos ? word : "\"" + word + "\"";
}

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

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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

std::string PosixHost::ReadServiceImagePath(const std::string& name) {
  const std::string sys = Sys(name);
  if (!services_.Installed(sys)) return {};
  const std::string unit = services_.UnitFile(sys);
  if (!unit.empty()) return cp1251::FromUtf8(UnitProgram(ReadSmallFile(unit)));
  const std::string script = services_.InitScript(sys);
  const std::string daemon = InitScriptDaemon(ReadSmallFile(script));
  return cp1251::FromUtf8(daemon.empty() ? QuoteWord(script) : QuoteWord(daemon));
}

std::unique_ptr<ServiceManagerHandle> PosixHost::OpenServiceManager(const std::string& machine, bool full_access) {
  if (!machine.empty() && machine != "localhost" && machine != "127.0.0.1") ThrowErrno(EHOSTUNREACH);
  if (full_access && ::geteuid() != 0) ThrowErrno(EACCES);
  return std::make_unique<PosixServiceManager>(services_);
}

std::string PosixHost::ServiceCommandLine(const std::string& name, bool start) {
  const char* verb = start ? "start" : "stop";
  if (services_.SystemdRuns()) return std::string("systemctl ") + verb + " " + QuoteWord(name);
  return QuoteWord(cp1251::FromUtf8(services_.InitScript(Sys(name)))) + " " + verb;
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
