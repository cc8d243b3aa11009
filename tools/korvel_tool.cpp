// korvel-tool: the central office's and the administrator's toolkit.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/cp1251.h"
#include "host/datetime.h"
#include "host/host.h"
#include "host/text.h"
#include "host/version.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"

namespace korvel::tool {

std::vector<ToolCommand>& ToolCommands() {
  static std::vector<ToolCommand> commands;
  return commands;
}

ToolCommandRegistration::ToolCommandRegistration(ToolCommand command) {
  ToolCommands().push_back(std::move(command));
}

namespace {
bool output_closed = false;
}  // namespace

void PrintLine(host::Host& host, std::string_view text) {
  if (output_closed) return;
  try {
    host.ConsoleWriteLine(text);
  } catch (const Exception&) {
    output_closed = true;
  }
}

bool StandardOutputClosed() { return output_closed; }

void PrintError(std::string_view text) {
  const std::string bytes = host::ToConsoleEncoding(text) + "\n";
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

bool SameFilePath(host::Host& host, const std::string& a, const std::string& b) {
  const std::string full_a = host.ExpandUNCFileName(a), full_b = host.ExpandUNCFileName(b);
  return host::kWindows ? SameText(full_a, full_b) : full_a == full_b;
}

namespace {

// To standard output when asked for, to standard error after a usage error.
void PrintUsage(host::Host& host, bool asked) {
  const auto print = [&](std::string_view text) { asked ? PrintLine(host, text) : PrintError(text); };
  print("Usage: korvel-tool COMMAND [ARGUMENTS]");
  print("");
  print("The toolkit of the Korvel update utility: keys, signing, packing,");
  print("checking manifests and scripts.");
  print("");
  print("Commands:");
  // By name: the order of registration is the order in which the linker
  // happened to place the command files, which differs between systems.
  std::vector<const ToolCommand*> commands;
  for (const ToolCommand& command : ToolCommands()) commands.push_back(&command);
  std::sort(commands.begin(), commands.end(),
            [](const ToolCommand* a, const ToolCommand* b) { return a->name < b->name; });
  for (const ToolCommand* listed : commands) {
    const ToolCommand& command = *listed;
    std::string line = "  " + command.name;
    if (line.size() < 16) line.resize(16, ' ');
    print(line + command.summary);
  }
  print("  --version     the toolkit's version");
  print("  --help        this text");
  print("");
  print("Each command explains itself with: korvel-tool COMMAND --help");
}

}  // namespace

int RunTool(host::Host& host) {
  const std::vector<std::string> args = host.Arguments();
  if (args.size() < 2 || args[1] == "--help" || args[1] == "-h" || args[1] == "help") {
    const bool asked = args.size() >= 2;
    PrintUsage(host, asked);
    return asked ? 0 : 2;
  }
  if (args[1] == "--version") {
    PrintLine(host, "korvel-tool " KORVEL_FILE_VERSION);
    return 0;
  }
  for (const ToolCommand& command : ToolCommands()) {
    if (command.name != args[1]) continue;
    ToolContext context{host, std::vector<std::string>(args.begin() + 2, args.end())};
    for (const std::string& arg : context.args) {
      if (arg == "--help" || arg == "-h") {
        PrintLine(host, "Usage: korvel-tool " + command.usage);
        PrintLine(host, "");
        PrintLine(host, command.help);
        return 0;
      }
    }
    try {
      const int code = command.run(context);
      if (!StandardOutputClosed() || context.output_may_close) return code;
      PrintError(command.name + ": standard output was closed; the report was cut short");
      return 1;
    } catch (const UsageError& e) {
      PrintError(command.name + ": " + e.Message());
      PrintError("Usage: korvel-tool " + command.usage);
      return 2;
    } catch (const Exception& e) {
      PrintError(e.Message());
      return 1;
    } catch (const std::exception& e) {
      PrintError(e.what());
      return 1;
    }
  }
  PrintError("korvel-tool: unknown command '" + args[1] + "' (see korvel-tool --help)");
  return 2;
}

}  // namespace korvel::tool

