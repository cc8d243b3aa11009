// The POSIX backend's programs and processes: the program's own path,
// command line and version, shared libraries, the environment, child
// processes and the process list.
#include "host/posix_backend.h"

namespace korvel::host::posix {

using namespace korvel::literals;

namespace {

class PosixLibrary : public SharedLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { ::dlclose(handle_); }
  void* Symbol(const char* name) override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// A word list for posix_spawn; the strings stay owned by `words`.
std::vector<char*> ArgvOf(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return argv;
}

class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// A child's exit status, or 128 + the signal that ended it.
std::uint32_t ExitCodeOf(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return static_cast<std::uint32_t>(-1);
}

// Length of the end of `bytes` that is the beginning of an unfinished UTF-8
// sequence, kept for the next read.
std::size_t IncompleteUtf8Tail(const std::string& bytes) {
  const std::size_t n = bytes.size();
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(bytes[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
    const std::size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

class PosixCapturedProcess : public CapturedProcess {
 public:
  PosixCapturedProcess(pid_t pid, int read_fd) : pid_(pid), fd_(read_fd) {}
  ~PosixCapturedProcess() override {
    // A child still writing gets a broken pipe and ends.
    if (fd_ >= 0) ::close(fd_);
    if (!waited_) WaitForChild(pid_);
  }

  std::optional<std::string> ReadOutput() override {
    if (fd_ < 0) return std::nullopt;
    char buffer[1024];
    ssize_t n;
    do {
      n = ::read(fd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      ::close(fd_);
      fd_ = -1;
      return std::nullopt;
    }
    std::string bytes = tail_ + std::string(buffer, static_cast<std::size_t>(n));
    const std::size_t keep = IncompleteUtf8Tail(bytes);
    tail_ = bytes.substr(bytes.size() - keep);
    bytes.resize(bytes.size() - keep);
    return cp1251::FromUtf8(bytes);
  }

  std::uint32_t ExitCode() override {
    if (!waited_) {
      exit_code_ = WaitForChild(pid_);
      waited_ = true;
    }
    return exit_code_;
  }

  std::optional<std::string> ReadAvailableOutput() override {
    if (fd_ < 0) return std::nullopt;
    pollfd ready{fd_, POLLIN, 0};
    int n;
    do {
      n = ::poll(&ready, 1, 0);
    } while (n < 0 && errno == EINTR);
    // With data or a hang-up the read below returns at once.
    if (n == 0) return std::string();
    return ReadOutput();
  }

  bool HasEnded() override {
    if (waited_) return true;
    int status = 0;
    pid_t ended;
    do {
      ended = ::waitpid(pid_, &status, WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) return false;
    exit_code_ = ended < 0 ? static_cast<std::uint32_t>(-1) : ExitCodeOf(status);
    waited_ = true;
    return true;
  }

  void Terminate() override {
    if (!waited_) ::kill(pid_, SIGKILL);
  }

 private:
  pid_t pid_;
  int fd_;
  std::string tail_;
  bool waited_ = false;
  std::uint32_t exit_code_ = 0;
};

}  // namespace

std::uint32_t WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return static_cast<std::uint32_t>(-1);
  }
  return ExitCodeOf(status);
}

int Spawn(std::vector<std::string> words, const std::string& working_dir, int out_fd, int close_fd, pid_t& pid) {
  if (words.empty()) return ENOENT;
  SpawnActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) {
    ::posix_spawn_file_actions_adddup2(actions.get(), out_fd, 1);
    ::posix_spawn_file_actions_adddup2(actions.get(), out_fd, 2);
    ::posix_spawn_file_actions_addclose(actions.get(), out_fd);
  } else {
    ::posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
  }
  if (close_fd >= 0) ::posix_spawn_file_actions_addclose(actions.get(), close_fd);
  if (!working_dir.empty()) ::posix_spawn_file_actions_addchdir_np(actions.get(), working_dir.c_str());
  std::vector<char*> argv = ArgvOf(words);
  return ::posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), environ);
}

std::string PosixHost::ExecutablePath() { return executable_path_; }

std::string PosixHost::CommandLine() {
  std::string line;
  for (const std::string& arg : arguments_) {
    if (!line.empty()) line += ' ';
    line += QuoteArgument(arg);
  }
  return line;
}

std::vector<std::string> PosixHost::Arguments() { return arguments_; }

std::string PosixHost::FileVersion(const std::string& executable) {
  // Our own executables carry the project's version, embedded at build
  // time; other files have no version resource on POSIX.
  return SameText(executable, ExecutablePath()) ? KORVEL_FILE_VERSION : std::string();
}

std::unique_ptr<SharedLibrary> PosixHost::LoadLibrary(const std::string& name) {
  void* handle = ::dlopen(Sys(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    throw EOSError(SysError{0, SysErrorKind::kNotFound, cp1251::FromUtf8(reason ? reason : "")});
  }
  return std::make_unique<PosixLibrary>(handle);
}

std::string PosixHost::GetEnvironmentVariable(const std::string& name) {
  const char* value = ::getenv(Sys(name).c_str());
  return value == nullptr ? std::string() : cp1251::FromUtf8(value);
}

std::unique_ptr<CapturedProcess> PosixHost::StartCapturedProcess(const std::string& command_line,
                                                                 const std::string& working_dir) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) RaisePipeError(ErrnoError(errno));
  std::vector<std::string> words;
  for (const std::string& word : SplitCommandLine(command_line)) words.push_back(Sys(word));
  pid_t pid = 0;
  const int error = Spawn(std::move(words), Sys(working_dir), fds[1], fds[0], pid);
  ::close(fds[1]);
  if (error != 0) {
    ::close(fds[0]);
    RaiseStartError(command_line, ErrnoError(error), true);
  }
  return std::make_unique<PosixCapturedProcess>(pid, fds[0]);
}

void PosixHost::RunAndWait(const std::string& command_line, const std::string& working_dir) {
  std::vector<std::string> words;
  for (const std::string& word : SplitCommandLine(command_line)) words.push_back(Sys(word));
  pid_t pid = 0;
  const int error = Spawn(std::move(words), Sys(working_dir), -1, -1, pid);
  if (error != 0) RaiseStartError(command_line, ErrnoError(error), false);
  WaitForChild(pid);
}

std::vector<ProcessEntry> PosixHost::ListProcesses() {
  DIR* d = ::opendir("/proc");
  if (d == nullptr) RaiseSnapshotError("CreateToolhelp32Snapshot", ErrnoError(errno));
  std::vector<ProcessEntry> entries;
  while (const dirent* e = ::readdir(d)) {
    std::uint32_t id = 0;
    if (!TryParseProcessId(e->d_name, id)) continue;
    const std::string exe = ProcessExecutable(std::string("/proc/") + e->d_name);
    if (exe.empty()) continue;
    entries.push_back({id, cp1251::FromUtf8(exe)});
  }
  ::closedir(d);
  return entries;
}

bool PosixHost::TryParseProcessId(const char* name, std::uint32_t& id) {
  if (*name == '\0') return false;
  std::uint64_t value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  id = static_cast<std::uint32_t>(value);
  return true;
}

  // The file name of a process's executable: the target of its exe link
  // (" (deleted)" dropped), else the first word of its command line;
  // kernel threads have neither.
std::string PosixHost::ProcessExecutable(const std::string& dir) {
  char buffer[4096];
  const ssize_t n = ::readlink((dir + "/exe").c_str(), buffer, sizeof buffer - 1);
  std::string path;
  if (n > 0) {
    path.assign(buffer, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
      path.resize(path.size() - deleted.size());
    }
  } else {
    const std::string cmdline = ReadSmallFile(dir + "/cmdline");
    path = cmdline.substr(0, cmdline.find('\0'));
  }
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace korvel::host::posix
