// korvel-tool is a set of commands; each lives in a file of its own and
// registers itself here with a static ToolCommandRegistration.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/exception.h"
#include "host/host.h"

namespace korvel::tool {

struct ToolContext {
  host::Host& host;
  // The command's arguments (after the command name), Windows-1251.
  std::vector<std::string> args;
  // Set by a command that stops on its own once standard output is closed,
  // as a filter does, and then exits as it chooses; otherwise a closed
  // standard output makes RunTool exit with 1 (see PrintLine).
  bool output_may_close = false;
};

struct ToolCommand {
  std::string name;
  std::string usage;    // one line: the command and its arguments
  std::string summary;  // one line: what it is for
  std::string help;     // the text of "korvel-tool NAME --help"
  // Returns the process exit code. A UsageError it throws (see
  // tool_options.h) is printed with `usage` and exits with 2.
  std::function<int(ToolContext&)> run;
};

std::vector<ToolCommand>& ToolCommands();

// The toolkit on `host`: the command named by its second argument, or the
// usage. Returns the process exit code.
int RunTool(host::Host& host);

struct ToolCommandRegistration {
  explicit ToolCommandRegistration(ToolCommand command);
};

// Writes Windows-1251 text to standard output or standard error in the
// console's encoding, with a line end. Printing never interrupts the work:
// once standard output is closed (a reader such as head that has read
// enough) PrintLine writes nothing more and throws nothing, and after the
// command RunTool says on standard error that the report was cut short and
// exits with 1.
void PrintLine(host::Host& host, std::string_view text);
void PrintError(std::string_view text);
// Whether a PrintLine found standard output closed.
bool StandardOutputClosed();

// Whether two paths name the same file once made full (letter case ignored
// on Windows); links are not followed.
bool SameFilePath(host::Host& host, const std::string& a, const std::string& b);

// Runs `action`; an Exception it raises gets `path` + ": " in front, so that
// every failure names the file it is about (unless its message quotes the
// path already, as "Cannot open file \"PATH\"" does).
template <typename Action>
auto AboutFile(const std::string& path, Action&& action) -> decltype(action()) {
  try {
    return action();
  } catch (Exception& e) {
    if (e.Message().find("\"" + path + "\"") == std::string::npos) e.SetMessage(path + ": " + e.Message());
    throw;
  }
}

}  // namespace korvel::tool
