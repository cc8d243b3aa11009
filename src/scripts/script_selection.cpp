#include "scripts/script_selection.h"

#include <algorithm>

#include "host/text.h"

namespace korvel::scripts {

namespace {

// A bare name holds no separator of either kind: the office's names use
// backslashes, the host's paths its own separator.
bool IsBareName(std::string_view entry) {
  return entry.find('\\') == std::string_view::npos && entry.find(host::kPathDelim) == std::string_view::npos;
}

}  // namespace

void ListSqlScripts(host::Host& host, const std::string& directory, std::vector<std::string>& list) {
  host.ListFiles(directory, "*.sql", list);
  for (std::string& entry : list)
    if (IsBareName(entry)) entry = directory + entry;
}

std::int32_t ScriptNumber(std::string_view path) {
  std::int32_t number = 0;
  if (!TryStrToInt(host::ExtractFileNameWithoutExt(path), number)) return -1;
  return number;
}

void SelectNumberedScripts(std::vector<std::string>& list, std::int32_t lowest, std::int32_t highest) {
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::string& path) {
                              const std::int32_t number = ScriptNumber(path);
                              return number < lowest || number > highest;
                            }),
             list.end());
  std::stable_sort(list.begin(), list.end(),
                   [](const std::string& a, const std::string& b) { return ScriptNumber(a) < ScriptNumber(b); });
}

std::string PrivateScriptId(std::string_view first_line) {
  const std::vector<std::string> words = SplitString(first_line, ' ');
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (!SameText(words[i], "PrivateScript")) continue;
    const std::string& id = words[i + 1];
    if (id.size() == 38 && id.front() == '{' && id.back() == '}') return id;
    return {};
  }
  return {};
}

}  // namespace korvel::scripts
