// A test build of korvel-tool: the same commands on the system's host, with
// three things a test may ask for through the environment, as the utility's
// test build (korvel_test_build.cpp) has them. Nothing of this is in the
// toolkit the office and the pharmacies use.
//
// - KORVEL_TEST_SERVICE_ROOT=<dir>: the service manager is looked up below
//   <dir> (POSIX), so that doctor --repair stops and starts services of the
//   test's own instead of the machine's database server.
// - KORVEL_TEST_INSTANT_CLOCK=1: waits return at once.
// - KORVEL_TEST_CUT_AT=N with KORVEL_TEST_CUT_DIR=<dir>: a power cut after
//   the Nth operation that changes the files directly in <dir>, as in the
//   utility's test build.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/datetime.h"
#include "host/forwarding_host.h"
#include "host/host.h"
#include "host/testing/power_cut_host.h"
#include "tools/tool_command.h"

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

class ToolTestHost : public korvel::host::ForwardingHost {
 public:
  explicit ToolTestHost(korvel::host::Host& target)
      : ForwardingHost(target), instant_(Environment("KORVEL_TEST_INSTANT_CLOCK") == "1") {}
  void Sleep(unsigned milliseconds) override {
    if (!instant_) ForwardingHost::Sleep(milliseconds);
  }

 private:
  bool instant_;
};

}  // namespace

int main(int argc, char** argv) {
  korvel::ApplyFormatSettings();
  const std::unique_ptr<korvel::host::Host> system =
      korvel::host::CreateSystemHost(argc, argv, Environment("KORVEL_TEST_SERVICE_ROOT"));
  // KORVEL_TEST_CUT_AT: the power goes after that operation (see above).
  const std::unique_ptr<korvel::host::PowerCutHost> cut = korvel::host::PowerCutFromEnvironment(*system);
  korvel::host::Host* base = cut ? cut.get() : system.get();
  ToolTestHost host(*base);
  return korvel::tool::RunTool(host);
}
