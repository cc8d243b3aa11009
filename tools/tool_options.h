// The one option parser of korvel-tool's commands. A command declares the
// options it takes, each bound to a variable of its own, and parses its
// arguments in one call:
//
//   bool plan = false;
//   std::string local;
//   std::optional<std::int32_t> module;
//   ToolOptions options;
//   options.Flag("--plan", plan);
//   options.Value("--local", local);
//   options.Number("--module", module);
//   const std::vector<std::string> args = options.Parse(context.args, 3, "DISTRIB.xml MODULE SOURCE_DIR");
//
// The rules, the same for every command:
// - a value is given as `--name VALUE` or `--name=VALUE`; a flag takes none
//   (`--plan=1` is refused);
// - an option missing its value ("--local" last, or followed by another
//   "--" argument, or "--local=") is refused with "--local needs a value";
// - a number option takes a decimal integer only ("--to needs a number, not
//   'x'");
// - an option given twice takes the later value, except one declared with
//   Values, which collects every value in order;
// - "--" ends the options: every argument after it is positional;
// - any other argument that starts with "--" is refused as an unknown
//   option; every argument that does not is positional.
// Every refusal throws UsageError; RunTool prints "COMMAND: " and its
// message, then the command's usage, on standard error and exits with 2.
// A command throws UsageError itself for what it checks after parsing (an
// option it requires, two that do not go together).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/exception.h"

namespace korvel::tool {

// The command line is wrong: the message says how, without the command's
// name (RunTool puts it in front).
class UsageError : public Exception {
 public:
  using Exception::Exception;
  const char* TypeName() const override { return "UsageError"; }
};

class ToolOptions {
 public:
  // Each binds `--name` (with its two dashes) to `target`; the variable
  // must outlive Parse. `target` keeps its value when the option is absent.
  ToolOptions& Flag(std::string name, bool& target);
  ToolOptions& Value(std::string name, std::string& target);
  ToolOptions& Number(std::string name, std::optional<std::int32_t>& target);
  ToolOptions& Values(std::string name, std::vector<std::string>& target);

  // Sets the bound variables from `args` and returns the positional
  // arguments in order. Throws UsageError as described above.
  std::vector<std::string> Parse(const std::vector<std::string>& args) const;
  // As Parse, and the positional arguments must be exactly `count`;
  // otherwise UsageError "expected " + `names` (the arguments as the usage
  // line names them).
  std::vector<std::string> Parse(const std::vector<std::string>& args, std::size_t count,
                                 const std::string& names) const;

 private:
  using Target = std::variant<bool*, std::string*, std::optional<std::int32_t>*, std::vector<std::string>*>;
  struct Option {
    std::string name;
    Target target;
  };
  ToolOptions& Add(std::string name, Target target);

  std::vector<Option> options_;
};

}  // namespace korvel::tool
