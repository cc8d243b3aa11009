// Stands in for a new build of the utility in the self-update tests. It
// carries the marker of the builds that know /VERSION and, started with
// it, does what the file "fake_update.txt" beside it says: "exit N" writes
// a line and ends with code N; "hang" waits (and ends by itself after two
// minutes, should nobody end it); anything else, or no such file, writes
// a version and ends with code 0.
#include <cstdlib>

#include "host/host.h"
#include "host/text.h"
#include "packages/server_update.h"

int main(int argc, char** argv) {
  // Kept in the file whatever the optimiser sees.
  static const char* volatile marker = korvel::packages::kVersionSwitchMarker.data();
  (void)marker;
  const std::unique_ptr<korvel::host::Host> host = korvel::host::CreateSystemHost(argc, argv);
  const std::string order_file = korvel::host::ExtractFilePath(host->ExecutablePath()) + "fake_update.txt";
  const std::string order = host->FileExists(order_file) ? korvel::Trim(host->ReadFileText(order_file)) : "";
  if (order == "hang") {
    host->ConsoleWriteLine("waiting");
    host->Sleep(120000);
    return 0;
  }
  if (order.rfind("exit ", 0) == 0) {
    host->ConsoleWriteLine("failing\tat start");
    return std::atoi(order.c_str() + 5);
  }
  host->ConsoleWriteLine("9.8.7.6");
  return 0;
}
