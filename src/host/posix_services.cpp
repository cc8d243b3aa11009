// The POSIX backend's services: systemd units and init scripts, their
// state, start and stop.
#include "host/posix_backend.h"

namespace korvel::host::posix {

using namespace korvel::literals;

namespace {

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

}  // namespace

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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
