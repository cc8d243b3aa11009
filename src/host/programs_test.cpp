// The rules of external programs and services that do not depend on the
// system: the image path of a service's command, command-line words, the
// service control's one budget of waits (on a service that misbehaves, which
// a real one cannot be made to do) and the process filter.
#include <gtest/gtest.h>

#include <map>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"

namespace korvel::host {
namespace {

using namespace korvel::literals;

std::string Env(const std::string& name) {
  static const std::map<std::string, std::string> vars = {{"SystemRoot", "C:\\Windows"}, {"X", "x"}};
  const auto it = vars.find(name);
  return it == vars.end() ? std::string() : it->second;
}

TEST(ImagePathProgram, QuotesArgumentsProgramFilesAndVariables) {
  EXPECT_EQ(ImagePathProgram("\"C:\\Program Files\\Orv\\promo.exe\" -service x", Env),
            "C:\\Program Files\\Orv\\promo.exe");
  EXPECT_EQ(ImagePathProgram("C:\\Program Files\\Firebird\\bin\\fb_inet_server.exe -i", Env),
            "C:\\Program Files\\Firebird\\bin\\fb_inet_server.exe");
  // The search for a space starts right after "PROGRAM FILES": an unquoted
  // "Program Files (x86)" is cut there.
  EXPECT_EQ(ImagePathProgram("c:\\program files (x86)\\a.exe b", Env), "c:\\program files");
  EXPECT_EQ(ImagePathProgram("D:\\Fb\\bin\\fbserver.exe", Env), "D:\\Fb\\bin\\fbserver.exe");
  EXPECT_EQ(ImagePathProgram("  D:\\Fb\\fbserver.exe  ", Env), "D:\\Fb\\fbserver.exe");
  EXPECT_EQ(ImagePathProgram("%SystemRoot%\\system32\\svchost.exe -k x", Env), "C:\\Windows\\system32\\svchost.exe");
  // Only the first name is expanded, each of its occurrences; an unset one
  // becomes empty; "%%" and "%a" are no names.
  EXPECT_EQ(ImagePathProgram("%X%\\%X%\\%SystemRoot%", Env), "x\\x\\%SystemRoot%");
  EXPECT_EQ(ImagePathProgram("%Unset%\\a.exe", Env), "\\a.exe");
  EXPECT_EQ(ImagePathProgram("a%%b.exe", Env), "a%%b.exe");
  EXPECT_EQ(ImagePathProgram("a%b.exe", Env), "a%b.exe");
  EXPECT_EQ(ImagePathProgram("\"unterminated path", Env), "unterminated path");
  EXPECT_EQ(ImagePathProgram("", Env), "");
}

TEST(SplitCommandLine, WindowsWordRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("net stop OrvPromos"), (V{"net", "stop", "OrvPromos"}));
  EXPECT_EQ(SplitCommandLine("D:\\a\\FBConvert.exe /BR \"h:D:\\db x.fdb\" \"D:\\a\\\" 1"),
            (V{"D:\\a\\FBConvert.exe", "/BR", "h:D:\\db x.fdb", "D:\\a\" 1"}));
  EXPECT_EQ(SplitCommandLine("  a\t\"\"  b\\\\\"c d\" \\x"), (V{"a", "", "b\\c d", "\\x"}));
  EXPECT_EQ(SplitCommandLine(""), V{});
}

// A program whose output arrives in the given pieces.
class ChunkHost : public ForwardingHost {
 public:
  explicit ChunkHost(std::vector<std::string> chunks) : ForwardingHost(testing::SystemHost()), chunks_(std::move(chunks)) {}
  std::unique_ptr<CapturedProcess> StartCapturedProcess(const std::string&, const std::string&) override {
    struct Process : CapturedProcess {
      std::vector<std::string> chunks;
      std::size_t next = 0;
      std::optional<std::string> ReadOutput() override {
        if (next == chunks.size()) return std::nullopt;
        return chunks[next++];
      }
      std::uint32_t ExitCode() override { return 3; }
      std::optional<std::string> ReadAvailableOutput() override { return ReadOutput(); }
      bool HasEnded() override { return next == chunks.size(); }
      void Terminate() override { next = chunks.size(); }
    };
    auto process = std::make_unique<Process>();
    process->chunks = chunks_;
    return process;
  }

 private:
  std::vector<std::string> chunks_;
};

TEST(RunProgramCaptured, LineEndsOfThePlatform) {
  using V = std::vector<std::string>;
  const struct {
    V chunks;
    V windows, posix;
  } cases[] = {
      {{"a\r\nb\r\n"}, {"a", "b"}, {"a", "b"}},
      {{"a\r", "\nb", "", "\r\n"}, {"a", "b"}, {"a", "b"}},  // an end split between reads
      {{"one\ntwo\n"}, {}, {"one", "two"}},
      {{"one\ntwo\r\nthree"}, {"one\ntwo"}, {"one", "two", "three"}},  // the last line has no end
      {{"\n\r\n", "x\r\r\n"}, {"\n", "x\r"}, {"", "", "x\r"}},
      {{""}, {}, {}},
  };
  for (const auto& c : cases) {
    ChunkHost host(c.chunks);
    V lines;
    EXPECT_EQ(host.RunProgramCaptured("prog", "", [&](const std::string& line) { lines.push_back(line); }), 3u);
    EXPECT_EQ(lines, kWindows ? c.windows : c.posix) << c.chunks[0];
  }
}

// A service that does what the test says, counting what was asked of it.
struct FakeService {
  int state = kServiceStopped;
  int start_failures = 0;     // start requests refused before one succeeds
  std::optional<SysError> start_refusal;  // the system's reason for those
  std::optional<SysError> stop_refusal;   // every stop refused so
  int queries_until_running = -1;  // started by another: running from this query on
  int state_after_start = kServiceRunning;
  bool ignores_stop = false;  // never leaves its state on a stop
  int stops_until_stopped = 1;
  int starts = 0, stops = 0, queries = 0;
  bool missing = false;
  bool manager_fails = false;
};

class FakeServiceHandle : public ServiceHandle {
 public:
  explicit FakeServiceHandle(FakeService& s) : s_(s) {}
  int QueryState() override {
    ++s_.queries;
    if (s_.queries_until_running >= 0 && s_.queries > s_.queries_until_running) s_.state = kServiceRunning;
    return s_.state;
  }
  void StartOrFail() override {
    if (!Start()) throw EOSError(s_.start_refusal.value_or(SysError{0, SysErrorKind::kOther, "refused"}));
  }
  void StopOrFail() override {
    SendStop();
    if (s_.stop_refusal) throw EOSError(*s_.stop_refusal);
  }
  bool Start() override {
    ++s_.starts;
    if (s_.start_failures > 0) {
      --s_.start_failures;
      return false;
    }
    s_.state = s_.state_after_start;
    return true;
  }
  void SendStop() override {
    ++s_.stops;
    if (!s_.ignores_stop && s_.stops >= s_.stops_until_stopped) s_.state = kServiceStopped;
  }

 private:
  FakeService& s_;
};

class FakeManager : public ServiceManagerHandle {
 public:
  explicit FakeManager(FakeService& s) : s_(s) {}
  std::unique_ptr<ServiceHandle> OpenService(const std::string&, bool) override {
    if (s_.missing) throw EOSError({1060, SysErrorKind::kServiceMissing, "The specified service does not exist."});
    return std::make_unique<FakeServiceHandle>(s_);
  }

 private:
  FakeService& s_;
};

class ServiceFaultHost : public ForwardingHost {
 public:
  ServiceFaultHost() : ForwardingHost(testing::SystemHost()) {}
  std::unique_ptr<ServiceManagerHandle> OpenServiceManager(const std::string&, bool) override {
    if (service.manager_fails) throw EOSError({5, SysErrorKind::kAccessDenied, "Access is denied."});
    return std::make_unique<FakeManager>(service);
  }
  void Sleep(unsigned ms) override {
    slept_ms += ms;
    ++sleeps;
  }
  std::vector<ProcessEntry> ListProcesses() override { return processes; }

  FakeService service;
  std::vector<ProcessEntry> processes;
  unsigned long long slept_ms = 0;
  int sleeps = 0;
};

TEST(ServiceControl, TargetStateAlreadyThereReturnsAtOnce) {
  ServiceFaultHost host;
  host.service.state = kServiceRunning;
  host.ServiceControl("Svc", true);
  host.service.state = kServiceStopped;
  host.ServiceControl("Svc", false);
  EXPECT_EQ(host.sleeps, 0);
  EXPECT_EQ(host.service.starts + host.service.stops, 0);
}

TEST(ServiceControl, StartRetriesAndWaitShareOneBudget) {
  ServiceFaultHost host;
  // Refused 10 times, then pending for ever: 10 sleeps of retries and 50
  // of waiting, then the failure.
  host.service.start_failures = 10;
  host.service.state_after_start = kServiceStartPending;
  try {
    host.ServiceControl("FirebirdServerPelkora", true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Не удается запустить сервис FirebirdServerPelkora"_cp);
  }
  EXPECT_EQ(host.service.starts, 11);
  EXPECT_EQ(host.sleeps, 60);
  EXPECT_EQ(host.slept_ms, 60000u);

  // Refused for longer than the budget: no wait is left.
  ServiceFaultHost refused;
  refused.service.start_failures = 1000;
  EXPECT_THROW(refused.ServiceControl("Svc", true), Exception);
  EXPECT_EQ(refused.service.starts, 61);
  EXPECT_EQ(refused.sleeps, 60);
}

TEST(ServiceControl, StopIsRepeatedUntilTheServiceStops) {
  ServiceFaultHost host;
  host.service.state = kServiceRunning;
  host.service.stops_until_stopped = 3;
  host.ServiceControl("Svc", false);
  EXPECT_EQ(host.service.state, kServiceStopped);
  EXPECT_EQ(host.service.stops, 3);
  EXPECT_EQ(host.sleeps, 2);

  ServiceFaultHost stubborn;
  stubborn.service.state = kServiceRunning;
  stubborn.service.ignores_stop = true;
  try {
    stubborn.ServiceControl("OrvPromos", false);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Не удается остановить сервис OrvPromos"_cp);
  }
  EXPECT_EQ(stubborn.service.stops, 61);
  EXPECT_EQ(stubborn.slept_ms, 60000u);
}

TEST(ServiceControl, RefusalsTheSystemNames) {
  const SysError running{1056, SysErrorKind::kServiceAlreadyRunning, "An instance of the service is already running."};
  const SysError disabled{1058, SysErrorKind::kServiceDisabled, "The service cannot be started."};
  const SysError dependents{1051, SysErrorKind::kDependentServices, "Other running services depend on it."};
  struct Case {
    const char* what;
    bool start;
    SysError refusal;
    int queries_until_running;
    const char* failure;  // empty: reaches its state
    int requests, sleeps;
  } cases[] = {
      // Already running (a start pending): asked once, then waited for.
      {"running soon", true, running, 4, "", 1, 3},
      {"never running", true, running, -1, "Не удается запустить сервис Svc", 1, 60},
      {"disabled", true, disabled, -1, "Не удается запустить сервис Svc: Код: 1058: The service cannot be started", 1,
       0},
      {"dependents", false, dependents, -1,
       "Не удается остановить сервис Svc: Код: 1051: Other running services depend on it", 61, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServiceFaultHost host;
    host.service.state = c.start ? kServiceStopped : kServiceRunning;
    host.service.ignores_stop = true;
    (c.start ? host.service.start_refusal : host.service.stop_refusal) = c.refusal;
    host.service.start_failures = 1000;
    host.service.queries_until_running = c.queries_until_running;
    std::string failure;
    try {
      host.ServiceControl("Svc", c.start);
    } catch (const Exception& e) {
      failure = e.Message();
    }
    EXPECT_EQ(failure, cp1251::FromUtf8(c.failure));
    EXPECT_EQ(c.start ? host.service.starts : host.service.stops, c.requests);
    EXPECT_EQ(host.sleeps, c.sleeps);
  }
}

TEST(ServiceControl, OpenFailuresNameTheManagerOrTheService) {
  ServiceFaultHost host;
  host.service.missing = true;
  try {
    host.QueryServiceState("Nope");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка открытия сервиса Nope : Код: 1060: The specified service does not exist"_cp);
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kServiceMissing);
  }
  host.service.manager_fails = true;
  try {
    host.ServiceControl("Nope", true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка открытия менеджера сервисов: Код: 5: Access is denied"_cp);
  }
}

TEST(ListProcessIds, MatchesTheFileNameIgnoringCase) {
  ServiceFaultHost host;
  host.processes = {{4, "System"}, {10, "fb_inet_server.exe"}, {11, "FB_INET_SERVER.EXE"}, {12, "fbserver.exe"}};
  std::vector<std::uint32_t> ids = {1};
  host.ListProcessIds("fb_inet_server.exe", ids);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 10, 11}));
  std::vector<std::uint32_t> none;
  host.ListProcessIds("absent.exe", none);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace korvel::host
