// korvel-tool xml-check, xml-select, xml-format: the XML library as the
// utility uses it, for looking at manifests, descriptors and packets.
#include <cstdio>

#include "host/cp1251.h"
#include "tools/tool_command.h"
#include "xml/xml_node.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;
using xml::TXMLNode;

// The positional arguments and the --ignore-case flag; false (after a
// message) for anything else or a wrong count.
bool ParseArguments(const ToolContext& context, std::size_t count, std::vector<std::string>& positional,
                    bool* ignore_case) {
  for (const std::string& arg : context.args) {
    if (ignore_case != nullptr && arg == "--ignore-case") {
      *ignore_case = true;
    } else if (arg.starts_with("--")) {
      PrintError("korvel-tool: unknown option " + arg);
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != count) {
    PrintError("korvel-tool: wrong number of arguments (see --help)");
    return false;
  }
  return true;
}

int RunCheck(ToolContext& context) {
  std::vector<std::string> args;
  bool ignore_case = false;
  if (!ParseArguments(context, 1, args, &ignore_case)) return 2;
  std::unique_ptr<TXMLNode> document;
  try {
    document = TXMLNode::LoadFromFile(context.host, args[0], nullptr, ignore_case);
  } catch (const EOSError&) {
    throw;  // the file itself: reported like every other failure
  } catch (const Exception& e) {
    PrintLine(context.host, e.Message());
    return 1;
  }
  PrintLine(context.host, "OK");
  return 0;
}

int RunSelect(ToolContext& context) {
  std::vector<std::string> args;
  bool ignore_case = false;
  if (!ParseArguments(context, 2, args, &ignore_case)) return 2;
  const std::unique_ptr<TXMLNode> document = TXMLNode::LoadFromFile(context.host, args[0], nullptr, ignore_case);
  const TXMLNode* node = document->SelectRequired(args[1]);
  PrintLine(context.host, node->ToXML());
  PrintLine(context.host, node->GetText());
  return 0;
}

int RunFormat(ToolContext& context) {
  std::vector<std::string> args;
  if (!ParseArguments(context, 1, args, nullptr)) return 2;
  const std::unique_ptr<TXMLNode> document = TXMLNode::LoadFromFile(context.host, args[0]);
  const std::string bytes = document->SaveToString();
  // The document's own bytes, not converted for the console.
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
    PrintError("korvel-tool: cannot write to standard output");
    return 1;
  }
  return 0;
}

const ToolCommandRegistration kCheck(ToolCommand{
    "xml-check",
    "xml-check FILE [--ignore-case]",
    "parse an XML file as the utility does",
    "Reads FILE with the utility's XML parser and prints OK, or the parser's\n"
    "message (exit code 1). --ignore-case reads it as the module engine does\n"
    "(names looked up without regard to letter case); parsing itself is the same.",
    RunCheck,
});

const ToolCommandRegistration kSelect(ToolCommand{
    "xml-select",
    "xml-select FILE PATH [--ignore-case]",
    "select a node of an XML file by path",
    "Evaluates PATH from the document node of FILE, as the utility does, and\n"
    "prints the selected node in compact form on the first line and its text\n"
    "on the second. Nothing selected, or a parse error: exit code 1.\n"
    "\n"
    "Paths: steps separated by \"/\": NAME, @NAME, ., .., NAME[N] (from 0),\n"
    "NAME[last()], NAME[@ATTR=VALUE]; \"//\" in front searches the whole document.\n"
    "The document node is the root element: from <R><A/></R> the path A gives A.\n"
    "Example: korvel-tool xml-select contents.xml \"MODULES/MODULE[@ID=2]\"",
    RunSelect,
});

const ToolCommandRegistration kFormat(ToolCommand{
    "xml-format",
    "xml-format FILE",
    "write an XML file as the utility saves it",
    "Reads FILE and writes to standard output exactly the bytes the utility\n"
    "would save for it: the first header line, then the elements indented by\n"
    "two spaces per level, every line ended by CR LF; Windows-1251 bytes as\n"
    "they are. A document without a header line cannot be saved (exit code 1).",
    RunFormat,
});

}  // namespace
}  // namespace korvel::tool
