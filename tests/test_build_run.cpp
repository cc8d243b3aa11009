#include "test_build_run.h"

#include <algorithm>
#include <cstdlib>

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

TestBuildRun::TestBuildRun() : inst_("Korvel", TestBuildProgram()) {}

void TestBuildRun::SetUp() {
  KORVEL_REQUIRE_FB_SERVER();
  for (const char* name : {"FirebirdServerPelkora", "FirebirdServerClassic"}) {
    services_.Install(name);
    services_.Host().ServiceControl(name, true);
  }
  ::setenv("KORVEL_TEST_SERVICE_ROOT", services_.root().c_str(), 1);
  ::setenv("KORVEL_TEST_INSTANT_CLOCK", "1", 1);
  inst_.MakeDirectories(1520);
}

void TestBuildRun::TearDown() {
  ::unsetenv("KORVEL_TEST_SERVICE_ROOT");
  ::unsetenv("KORVEL_TEST_INSTANT_CLOCK");
}

std::vector<std::string> TestBuildRun::Run(const std::vector<std::string>& args) {
  SystemHost().DeleteDirectoryTree(inst_.LogDir(), false);
  EXPECT_EQ(inst_.Run(args).exit_code, 0);
  return inst_.LogMessages();
}

bool TestBuildRun::ServerServiceRuns() {
  return services_.Host().QueryServiceState("FirebirdServerPelkora") == host::kServiceRunning;
}

}  // namespace korvel::testing
