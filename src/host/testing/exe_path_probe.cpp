// korvel_exe_path_probe MOVED RESULT: moves its own executable (the path it
// was started by) to MOVED and writes the executable's path as the host
// reports it afterwards into the file RESULT (system_host_test.cpp). Exit
// code 0 when both were done, 1 otherwise.
#include "host/host.h"

int main(int argc, char** argv) {
  const std::unique_ptr<korvel::host::Host> host = korvel::host::CreateSystemHost(argc, argv);
  const std::vector<std::string> args = host->Arguments();
  if (args.size() != 3) return 1;
  try {
    host->MoveFile(args[0], args[1], false);
    host->WriteFileText(args[2], host->ExecutablePath());
  } catch (const korvel::Exception&) {
    return 1;
  }
  return 0;
}
