#include "scripts/script_text.h"

#include "host/exception.h"

namespace korvel::scripts {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::vector<std::string> LoadScriptLines(host::Host& host, const std::string& path) {
  std::string text;
  try {
    text = host.ReadFileText(path);
  } catch (const Exception& e) {
    throw EInOutError("Cannot open file \"" + path + "\". " + e.Message(), e.Cause());
  }
  return SplitLines(text);
}

void CommentOutConnect(std::vector<std::string>& lines) {
  for (std::string& line : lines) {
    std::size_t end = line.size();
    while (end > 0 && static_cast<unsigned char>(line[end - 1]) <= ' ') --end;
    if (end < 7 || line[end - 1] != ';') continue;
    static constexpr char kConnect[] = "CONNECT";
    bool match = true;
    for (std::size_t i = 0; i < 7 && match; ++i) {
      char c = line[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      match = c == kConnect[i];
    }
    if (match) line = "/* " + line + "*/";
  }
}

}  // namespace korvel::scripts
