#include "fb/named_params.h"

namespace korvel::fb {

namespace {

bool IsNameChar(unsigned char c) {
  // Windows-1251 letters (0xC0 and up, plus Ё and ё) count, as the server's
  // identifiers in that character set allow them.
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         c >= 0xC0 || c == 0xA8 || c == 0xB8;
}

}  // namespace

ParsedParams ParseNamedParams(std::string_view sql) {
  ParsedParams result;
  result.sql.reserve(sql.size());
  std::size_t i = 0;
  const std::size_t n = sql.size();
  // Copies a quoted run up to and including its closing quote (a doubled
  // quote inside stays part of the run).
  auto copy_quoted = [&](char quote) {
    result.sql += sql[i++];
    while (i < n) {
      const char c = sql[i++];
      result.sql += c;
      if (c == quote) {
        if (i < n && sql[i] == quote) {
          result.sql += sql[i++];
          continue;
        }
        return;
      }
    }
  };
  while (i < n) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      copy_quoted(c);
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const std::size_t end = sql.find("*/", i + 2);
      const std::size_t stop = end == std::string_view::npos ? n : end + 2;
      result.sql.append(sql.substr(i, stop - i));
      i = stop;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const std::size_t end = sql.find('\n', i);
      const std::size_t stop = end == std::string_view::npos ? n : end + 1;
      result.sql.append(sql.substr(i, stop - i));
      i = stop;
    } else if (c == ':' || c == '?') {
      std::size_t j = i + 1;
      std::string name;
      if (j < n && sql[j] == '"') {
        const std::size_t end = sql.find('"', j + 1);
        if (end != std::string_view::npos) {
          name = std::string(sql.substr(j + 1, end - j - 1));
          j = end + 1;
        }
      } else {
        while (j < n && IsNameChar(static_cast<unsigned char>(sql[j]))) ++j;
        name = std::string(sql.substr(i + 1, j - i - 1));
      }
      if (name.empty() && c == ':') {
        // A colon not followed by a name is ordinary text.
        result.sql += c;
        ++i;
        continue;
      }
      result.sql += '?';
      result.names.push_back(std::move(name));
      i = j;
    } else {
      result.sql += c;
      ++i;
    }
  }
  return result;
}

}  // namespace korvel::fb
