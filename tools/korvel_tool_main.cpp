// korvel-tool's entry: the toolkit on the system's host.
#include <memory>

#include "host/datetime.h"
#include "host/host.h"
#include "tools/tool_command.h"

int main(int argc, char** argv) {
  korvel::ApplyFormatSettings();
  const std::unique_ptr<korvel::host::Host> host = korvel::host::CreateSystemHost(argc, argv);
  return korvel::tool::RunTool(*host);
}
