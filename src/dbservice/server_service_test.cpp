// The real Firebird test server, registered under the service name
// FirebirdServerPelkora (tools/ci/register-firebird-service.sh), stopped and
// started through TDbService: connections are refused while it is stopped
// and its processes gone, and accepted again after the start. The server is
// started again whatever happens. ctest runs this test alone (RUN_SERIAL):
// every other database test would fail while the server is down.
#include <gtest/gtest.h>

#include <cstdlib>

#include "dbservice/db_service.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"

namespace korvel::dbservice {
namespace {

using namespace korvel::literals;
using V = std::vector<std::string>;

class InstantClockHost : public host::ForwardingHost {
 public:
  InstantClockHost() : ForwardingHost(korvel::testing::SystemHost()) {}
  void Sleep(unsigned ms) override { slept_ms += ms; }
  unsigned long long slept_ms = 0;
};

bool Connects(fb::ClientLibrary& client, const std::string& connection) {
  fb::Database db(client);
  fb::testing::SetProgramParams(db);
  db.DatabaseName = connection;
  try {
    db.Open();
    db.Close();
    return true;
  } catch (const Exception&) {
    return false;
  }
}

std::size_t ServerProcesses(host::Host& host) {
  std::vector<std::uint32_t> ids;
  host.ListProcessIds("fbguard", ids);
  host.ListProcessIds("firebird", ids);
  return ids.size();
}

TEST(RealServerService, StoppedAndStartedThroughItsServiceName) {
  KORVEL_REQUIRE_FB_CLIENT();
  InstantClockHost host;
  const bool required = std::getenv("KORVEL_FIREBIRD_SERVICE_REQUIRED") != nullptr || fb::testing::FirebirdRequired();
  if (host.GetServiceImagePath(kPelkoraServiceName).empty()) {
    if (required) FAIL() << "FirebirdServerPelkora is not registered (tools/ci/register-firebird-service.sh)";
    GTEST_SKIP() << "FirebirdServerPelkora is not registered (tools/ci/register-firebird-service.sh)";
  }
  if (!fb::testing::ServerReachable()) {
    if (required) FAIL() << "Firebird test server not reachable";
    GTEST_SKIP() << "Firebird test server not reachable";
  }
  fb::testing::ScratchDatabase database;
  fb::ClientLibrary& client = *fb::testing::TestClient();
  ASSERT_TRUE(Connects(client, database.Connection()));
  // Under wine the server's processes are Linux ones, out of sight of the
  // process snapshot: their count is checked where the running server shows.
  const bool processes_visible = ServerProcesses(host) > 0;

  TDbService db(host, client);
  db.ServiceName = kPelkoraServiceName;
  V messages;
  db.OnMessage = [&](const std::string& m) { messages.push_back(m); };

  // Running: a start is no business of ours.
  db.StartServer();
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(host.slept_ms, 0u);

  bool refused = false;
  std::size_t processes_while_stopped = 0;
  try {
    db.StopServer();
    refused = !Connects(client, database.Connection());
    processes_while_stopped = ServerProcesses(host);
    // Stopped: a stop is left alone.
    db.StopServer();
    db.StartServer();
  } catch (...) {
    // Whatever failed, the other tests need the server again.
    host.ServiceControl(kPelkoraServiceName, true);
    throw;
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(processes_while_stopped, 0u);
  EXPECT_EQ(messages, (V{"Останов службы FirebirdServerPelkora ..."_cp, "Останов службы - OK"_cp,
                         "Запуск службы FirebirdServerPelkora ..."_cp, "Запуск службы - OK"_cp}));
  EXPECT_EQ(host.slept_ms, 10000u);
  EXPECT_EQ(host.QueryServiceState(kPelkoraServiceName), host::kServiceRunning);
  EXPECT_TRUE(Connects(client, database.Connection()));
  if (processes_visible) {
    EXPECT_GT(ServerProcesses(host), 0u);
  }
}

}  // namespace
}  // namespace korvel::dbservice
