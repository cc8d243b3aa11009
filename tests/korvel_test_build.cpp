// A test build of the utility: the same run as Korvel's own main, on the
// system's host, but with the service manager looked up below the
// directory KORVEL_TEST_SERVICE_ROOT names (POSIX), so that a test drives
// services of its own instead of the machine's database server, and with
// KORVEL_TEST_INSTANT_CLOCK=1 waits that return at once. Nothing of this is
// in the program the pharmacies run.
#include <cstdlib>
#include <string>

#include "host/datetime.h"
#include "host/forwarding_host.h"
#include "host/host.h"
#include "run/korvel_data.h"

namespace {

class TestBuildHost : public korvel::host::ForwardingHost {
 public:
  TestBuildHost(korvel::host::Host& target, bool instant) : ForwardingHost(target), instant_(instant) {}
  void Sleep(unsigned milliseconds) override {
    if (!instant_) ForwardingHost::Sleep(milliseconds);
  }

 private:
  bool instant_;
};

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

int main(int argc, char** argv) {
  korvel::ApplyFormatSettings();
  const std::unique_ptr<korvel::host::Host> system =
      korvel::host::CreateSystemHost(argc, argv, Environment("KORVEL_TEST_SERVICE_ROOT"));
  TestBuildHost host(*system, Environment("KORVEL_TEST_INSTANT_CLOCK") == "1");
  {
    korvel::run::TdmKorvel dmKorvel(host);
    dmKorvel.Execute();
  }
  return 0;
}
