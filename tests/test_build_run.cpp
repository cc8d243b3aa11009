#include "test_build_run.h"

#include <algorithm>
#include <cstdlib>

#include "host/cp1251.h"
#include "sample_database.h"

namespace korvel::testing {

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  auto at = lines.begin();
  for (const std::string& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

// The test build under the utility's own name (Korvel.exe on Windows).
TestBuildRun::TestBuildRun() : inst_(host::kWindows ? "Korvel.exe" : "Korvel", TestBuildProgram()) {}

void TestBuildRun::SetUp() {
  KORVEL_REQUIRE_FB_SERVER();
  for (const char* name : {"FirebirdServerPelkora", "FirebirdServerClassic"}) {
    services_.Install(name);
    services_.Host().ServiceControl(name, true);
  }
  SetEnvironment("KORVEL_TEST_SERVICE_ROOT", services_.root());
  SetEnvironment("KORVEL_TEST_INSTANT_CLOCK", "1");
  inst_.MakeDirectories(1520);
}

void TestBuildRun::TearDown() {
  SetEnvironment("KORVEL_TEST_SERVICE_ROOT", "");
  SetEnvironment("KORVEL_TEST_INSTANT_CLOCK", "");
}

std::vector<std::string> TestBuildRun::Run(const std::vector<std::string>& args) {
  SystemHost().DeleteDirectoryTree(inst_.LogDir(), false);
  EXPECT_EQ(inst_.Run(args).exit_code, 0);
  return inst_.LogMessages();
}

bool TestBuildRun::ServerServiceRuns() {
  return services_.Host().QueryServiceState("FirebirdServerPelkora") == host::kServiceRunning;
}

void TestBuildRun::UseSampleDatabase(int pred, int node, int schema) {
  db_ = MakeSampleDatabase(inst_, pred, node, schema, {"create table T (A integer)", "insert into T values (1)"});
  path_ = SampleDatabasePath(inst_);
  inst_.WriteIni(inst_.StandardIni(cp1251::ToUtf8(db_)));
}

void TestBuildRun::MakeOfficeKey() {
  ASSERT_EQ(RunProgram(ToolProgram(), {"keygen", inst_.root() / "office.pem", inst_.exe_dir() + "Korvel.pub"}).exit_code,
            0);
}

}  // namespace korvel::testing
