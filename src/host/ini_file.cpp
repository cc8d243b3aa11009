#include "host/ini_file.h"

#include "host/text.h"

namespace korvel::host {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<std::string> FindIniValue(std::string_view text, std::string_view section, std::string_view key) {
  bool in_section = false;
  bool section_seen = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimBlanks(text.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.front() == '[') {
      const std::size_t close = line.find(']');
      const std::string_view name = TrimBlanks(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      // Only the first section of a name counts.
      if (in_section) return std::nullopt;
      in_section = !section_seen && SameText(name, section);
      section_seen = section_seen || in_section;
      continue;
    }
    if (!in_section || line.empty() || line.front() == ';') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (!SameText(TrimBlanks(line.substr(0, eq)), key)) continue;
    std::string_view value = TrimBlanks(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}

}  // namespace korvel::host
