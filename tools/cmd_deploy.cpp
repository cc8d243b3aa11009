// korvel-tool deploy: one module of a descriptor deployed, or planned, by
// the utility's own module engine, so that the office and an administrator
// see what a descriptor does before it ships.
#include <cstdint>

#include "host/cp1251.h"
#include "host/text.h"
#include "modules/module_engine.h"
#include "xml/xml_node.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"

namespace korvel::tool {
namespace {

// Each line of a message that may hold CR LF line breaks.
void PrintMessage(std::string_view message) {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = message.find("\r\n", start);
    PrintError(message.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return;
    start = end + 2;
  }
}

// Ends a plan whose reader has gone; no Exception, so that the engine
// passes it through untouched.
struct PlanReaderGone {};

int RunDeploy(ToolContext& context) {
  std::string local;
  bool plan = false;
  const std::vector<std::string> positional =
      ToolOptions().Flag("--plan", plan).Value("--local", local).Parse(context.args, 3, "DISTRIB.xml MODULE SOURCE_DIR");
  std::int32_t module = 0;
  if (!TryStrToInt(positional[1], module)) throw UsageError("MODULE must be a number, not '" + positional[1] + "'");
  host::Host& host = context.host;
  if (!host.DirectoryExists(positional[2])) throw UsageError("SOURCE_DIR " + positional[2] + " is no directory");
  if (!local.empty() && !host.FileExists(local)) throw UsageError("--local " + local + " is no file");
  // The engine's message for a file that does not parse would not say
  // which of the two it is (one it cannot open it names itself).
  for (const std::string& file : {positional[0], local}) {
    if (!file.empty() && host.FileExists(file)) {
      AboutFile(file, [&] { xml::TXMLNode::LoadFromFile(host, file, nullptr, true); });
    }
  }

  std::vector<modules::ResolvedVariable> variables;
  modules::DeployOptions options;
  options.plan = plan;
  // A plan is a filter: once its reader has gone it stops, and exits 0. A
  // deployment goes on to its end whatever becomes of its report.
  context.output_may_close = plan;
  options.on_action = [&](const modules::DeployAction& action) {
    PrintLine(context.host, modules::DescribeAction(action));
    if (plan && StandardOutputClosed()) throw PlanReaderGone();
  };
  options.on_variable = [&](const modules::ResolvedVariable& variable) { variables.push_back(variable); };
  int code = 0;
  try {
    modules::UpdateModule(host, module, positional[2], positional[0], local, options);
  } catch (const Exception& e) {
    PrintMessage(e.Message());
    code = 1;
  } catch (const PlanReaderGone&) {
    return 0;
  }
  for (const modules::ResolvedVariable& variable : variables) {
    PrintLine(context.host, "variable " + variable.name + " = " + variable.value + " (" + variable.origin + ")");
  }
  return code;
}

const ToolCommandRegistration kDeploy(ToolCommand{
    "deploy",
    "deploy DISTRIB.xml MODULE SOURCE_DIR [--local LOCAL.xml] [--plan]",
    "deploy one module of a descriptor, or show what it would do",
    "Deploys module MODULE of the descriptor DISTRIB.xml from SOURCE_DIR exactly as\n"
    "the utility's server update does, with the variables of LOCAL.xml over the\n"
    "descriptor's. Relative destinations are taken from the current directory.\n"
    "Each file considered is printed on one line:\n"
    "  copy SOURCE -> DEST\n"
    "  keep DEST (same size and time)\n"
    "  keep DEST (Replace=0)\n"
    "  skip SOURCE (missing)\n"
    "then every variable resolved, with its value and where it was found:\n"
    "  variable NAME = VALUE (local.xml|distrib.xml|built-in)\n"
    "With --plan nothing is copied and no directory is made; the plan lists what a\n"
    "deployment would do (a file it copies counts as there for the nodes after it).\n"
    "A failure prints the utility's message, with its stacks, to standard error\n"
    "and exits with 1; a deployment that fails part-way leaves what it copied.",
    RunDeploy,
});

}  // namespace
}  // namespace korvel::tool
