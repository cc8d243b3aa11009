// Korvel: the unattended update utility of the pharmacy's back-office
// server. One run is one pass over a fixed sequence of steps; the exit code
// is 0 whatever happened, which the run log and the request packet report.
#include "host/datetime.h"
#include "host/host.h"
#include "run/korvel_data.h"

int main(int argc, char** argv) {
  korvel::ApplyFormatSettings();
  const std::unique_ptr<korvel::host::Host> host = korvel::host::CreateSystemHost(argc, argv);
  {
    korvel::run::TdmKorvel dmKorvel(*host);
    dmKorvel.Execute();
  }
  return 0;
}
