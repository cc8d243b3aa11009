// The Firebird server's service control of TDbService on services of our
// own (init scripts of sleeping daemons in a service root of the test),
// with an instant clock; what a real service cannot be made to show (more
// than one Classic server process, a failing process snapshot) comes from
// the host.
#include <gtest/gtest.h>

#include "dbservice/db_service.h"
#include "fb/client_library.h"
#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/dummy_service.h"

namespace korvel::dbservice {
namespace {

using namespace korvel::literals;
using V = std::vector<std::string>;

class ServiceTestHost : public host::ForwardingHost {
 public:
  explicit ServiceTestHost(host::Host& target) : ForwardingHost(target) {}
  void Sleep(unsigned ms) override { slept_ms += ms; }
  std::vector<host::ProcessEntry> ListProcesses() override {
    if (snapshot_fails) throw Exception("CreateToolhelp32Snapshot: Код: 8: нет памяти"_cp);
    if (processes) return *processes;
    return target().ListProcesses();
  }
  unsigned long long slept_ms = 0;
  bool snapshot_fails = false;
  std::optional<std::vector<host::ProcessEntry>> processes;
};

class ServiceControlTest : public ::testing::Test {
 protected:
  ServiceControlTest()
      : host_(services_.Host()), client_(host_, fb::DefaultClientLibraryName()), db_(host_, client_) {
    db_.OnMessage = [this](const std::string& m) { messages_.push_back(m); };
  }
  int State(const std::string& name) { return host_.QueryServiceState(name); }
  void Reset() {
    messages_.clear();
    host_.slept_ms = 0;
  }

  testing::DummyServices services_;
  ServiceTestHost host_;
  fb::ClientLibrary client_;
  TDbService db_;
  V messages_;
};

TEST_F(ServiceControlTest, StartAndStopWithMessagesAndPauseOnlyWhenNeeded) {
  services_.Install("FirebirdServerPelkora");
  db_.ServiceName = "FirebirdServerPelkora";
  db_.StartServer();
  EXPECT_EQ(messages_, (V{"Запуск службы FirebirdServerPelkora ..."_cp, "Запуск службы - OK"_cp}));
  EXPECT_EQ(host_.slept_ms, 5000u);
  EXPECT_EQ(State("FirebirdServerPelkora"), host::kServiceRunning);

  Reset();
  db_.StartServer();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(host_.slept_ms, 0u);

  const std::uint32_t pid = services_.DaemonPid("FirebirdServerPelkora");
  db_.StopServer();
  EXPECT_EQ(messages_, (V{"Останов службы FirebirdServerPelkora ..."_cp, "Останов службы - OK"_cp}));
  EXPECT_EQ(host_.slept_ms, 5000u);
  EXPECT_EQ(State("FirebirdServerPelkora"), host::kServiceStopped);
  std::vector<std::uint32_t> ids;
  host_.ListProcessIds("sleep", ids);
  EXPECT_EQ(std::find(ids.begin(), ids.end(), pid), ids.end());

  Reset();
  db_.StopServer();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(host_.slept_ms, 0u);
}

TEST_F(ServiceControlTest, TheClassicServiceIsNeverStoppedByStopServerExactNameOnly) {
  services_.Install("FirebirdServerClassic");
  services_.Install("firebirdserverclassic");
  host_.ServiceControl("FirebirdServerClassic", true);
  host_.ServiceControl("firebirdserverclassic", true);
  db_.ServiceName = "FirebirdServerClassic";
  db_.StopServer();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(host_.slept_ms, 5000u);
  EXPECT_EQ(State("FirebirdServerClassic"), host::kServiceRunning);

  Reset();
  db_.ServiceName = "firebirdserverclassic";
  db_.StopServer();
  EXPECT_EQ(messages_, (V{"Останов службы firebirdserverclassic ..."_cp, "Останов службы - OK"_cp}));
  EXPECT_EQ(State("firebirdserverclassic"), host::kServiceStopped);
}

TEST_F(ServiceControlTest, StopClassicRefusesAnotherServiceOrExecutable) {
  services_.Install("FirebirdServerPelkora", "/opt/firebird/bin/fb_inet_server.exe");
  services_.Install("FirebirdServerClassic", "/opt/firebird/bin/fbserver.exe");
  db_.ServiceName = "FirebirdServerPelkora";
  try {
    db_.StopClassic();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(),
              "StopClassic: Не правильное имя службы FirebirdServerPelkora. Ожидается FirebirdServerClassic."_cp);
  }
  db_.ServiceName = "FirebirdServerClassic";
  try {
    db_.StopClassic();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "StopClassic: Не правильный exe файл fbserver.exe. Ожидается fb_inet_server.exe."_cp);
  }
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ServiceControlTest, StopClassicCountsTheServerProcessesFirst) {
  services_.Install("FirebirdServerClassic", "/opt/firebird/bin/FB_INET_SERVER.EXE");
  db_.ServiceName = "FirebirdServerClassic";
  // Already stopped: the checks, then nothing.
  db_.StopClassic();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(host_.slept_ms, 0u);

  host_.ServiceControl("FirebirdServerClassic", true);
  host_.processes = std::vector<host::ProcessEntry>{{100, "fb_inet_server.exe"}, {101, "fb_inet_server.exe"}};
  try {
    db_.StopClassic();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Обнаружено более одного процесса. Служба в данный момент не может быть остновлена."_cp);
  }
  EXPECT_EQ(messages_, (V{"Останов службы FirebirdServerClassic ..."_cp, "Список процессов fb_inet_server.exe ..."_cp,
                          "Процессов 2"_cp}));
  EXPECT_EQ(State("FirebirdServerClassic"), host::kServiceRunning);

  host_.snapshot_fails = true;
  EXPECT_THROW(db_.StopClassic(), Exception);
  EXPECT_EQ(State("FirebirdServerClassic"), host::kServiceRunning);
  host_.snapshot_fails = false;

  Reset();
  host_.processes = std::vector<host::ProcessEntry>{{7, "fbguard.exe"}, {100, "fb_inet_server.exe"}};
  db_.StopClassic();
  EXPECT_EQ(messages_, (V{"Останов службы FirebirdServerClassic ..."_cp, "Список процессов fb_inet_server.exe ..."_cp,
                          "Процессов 1"_cp, "Останов службы - OK"_cp}));
  EXPECT_EQ(host_.slept_ms, 5000u);
  EXPECT_EQ(State("FirebirdServerClassic"), host::kServiceStopped);

  // With no server process at all it is stopped too.
  host_.ServiceControl("FirebirdServerClassic", true);
  Reset();
  host_.processes = std::vector<host::ProcessEntry>{};
  db_.StopClassic();
  EXPECT_EQ(messages_.at(2), "Процессов 0"_cp);
  EXPECT_EQ(State("FirebirdServerClassic"), host::kServiceStopped);
}

TEST_F(ServiceControlTest, ServiceErrorsPassUnchanged) {
  db_.ServiceName = "FirebirdServerPelkora";
  try {
    db_.StartServer();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка открытия сервиса FirebirdServerPelkora : "_cp, 0), 0u);
  }
  EXPECT_TRUE(messages_.empty());
}

}  // namespace
}  // namespace korvel::dbservice
