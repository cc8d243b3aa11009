#include "tools/tool_options.h"

#include <algorithm>

#include "host/text.h"

namespace korvel::tool {

ToolOptions& ToolOptions::Add(std::string name, Target target) {
  options_.push_back(Option{std::move(name), target});
  return *this;
}

ToolOptions& ToolOptions::Flag(std::string name, bool& target) { return Add(std::move(name), &target); }
ToolOptions& ToolOptions::Value(std::string name, std::string& target) { return Add(std::move(name), &target); }
ToolOptions& ToolOptions::Number(std::string name, std::optional<std::int32_t>& target) {
  return Add(std::move(name), &target);
}
ToolOptions& ToolOptions::Values(std::string name, std::vector<std::string>& target) {
  return Add(std::move(name), &target);
}

std::vector<std::string> ToolOptions::Parse(const std::vector<std::string>& args) const {
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (!arg.starts_with("--")) {
      positional.push_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const auto option = std::find_if(options_.begin(), options_.end(),
                                     [&name](const Option& candidate) { return candidate.name == name; });
    if (option == options_.end()) throw UsageError("unknown option " + name);
    if (bool* const* flag = std::get_if<bool*>(&option->target)) {
      if (equals != std::string::npos) throw UsageError(name + " takes no value");
      **flag = true;
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
      value = args[++i];
    }
    if (value.empty()) throw UsageError(name + " needs a value");
    if (auto* const* number = std::get_if<std::optional<std::int32_t>*>(&option->target)) {
      std::int32_t parsed = 0;
      if (!TryStrToInt(value, parsed)) throw UsageError(name + " needs a number, not '" + value + "'");
      **number = parsed;
    } else if (auto* const* text = std::get_if<std::string*>(&option->target)) {
      **text = value;
    } else {
      std::get<std::vector<std::string>*>(option->target)->push_back(value);
    }
  }
  return positional;
}

std::vector<std::string> ToolOptions::Parse(const std::vector<std::string>& args, std::size_t count,
                                            const std::string& names) const {
  std::vector<std::string> positional = Parse(args);
  if (positional.size() != count) throw UsageError("expected " + names);
  return positional;
}

}  // namespace korvel::tool
