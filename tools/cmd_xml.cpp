// korvel-tool xml-check, xml-select, xml-format: the XML library as the
// utility uses it, for looking at manifests, descriptors and packets.
#include <cstdio>

#include "host/cp1251.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"
#include "xml/xml_node.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;
using xml::TXMLNode;

int RunCheck(ToolContext& context) {
  bool ignore_case = false;
  const std::vector<std::string> args = ToolOptions().Flag("--ignore-case", ignore_case).Parse(context.args, 1, "FILE");
  AboutFile(args[0], [&] { TXMLNode::LoadFromFile(context.host, args[0], nullptr, ignore_case); });
  PrintLine(context.host, "OK");
  return 0;
}

int RunSelect(ToolContext& context) {
  bool ignore_case = false;
  const std::vector<std::string> args =
      ToolOptions().Flag("--ignore-case", ignore_case).Parse(context.args, 2, "FILE and PATH");
  const std::unique_ptr<TXMLNode> document =
      AboutFile(args[0], [&] { return TXMLNode::LoadFromFile(context.host, args[0], nullptr, ignore_case); });
  const TXMLNode* node = AboutFile(args[0], [&] { return document->SelectRequired(args[1]); });
  PrintLine(context.host, node->ToXML());
  PrintLine(context.host, node->GetText());
  return 0;
}

int RunFormat(ToolContext& context) {
  const std::vector<std::string> args = ToolOptions().Parse(context.args, 1, "FILE");
  const std::string bytes = AboutFile(args[0], [&] { return TXMLNode::LoadFromFile(context.host, args[0])->SaveToString(); });
  // The document's own bytes, not converted for the console.
  try {
    host::WriteStandardOutput(bytes);
  } catch (const Exception&) {
    PrintError("xml-format: cannot write to standard output");
    return 1;
  }
  return 0;
}

const ToolCommandRegistration kCheck(ToolCommand{
    "xml-check",
    "xml-check FILE [--ignore-case]",
    "parse an XML file as the utility does",
    "Reads FILE with the utility's XML parser and prints OK, or the parser's\n"
    "message after FILE's name on standard error (exit code 1). --ignore-case reads it as the module engine does\n"
    "(names looked up without regard to letter case); parsing itself is the same.",
    RunCheck,
});

const ToolCommandRegistration kSelect(ToolCommand{
    "xml-select",
    "xml-select FILE PATH [--ignore-case]",
    "select a node of an XML file by path",
    "Evaluates PATH from the document node of FILE, as the utility does, and\n"
    "prints the selected node in compact form on the first line and its text\n"
    "on the second. Nothing selected, or a parse error: the message after\n"
    "FILE's name on standard error, exit code 1.\n"
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
