#include "host/text.h"

#include <limits>

#include "host/exception.h"

namespace korvel {
namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// The magnitude must fit `limit` (the largest positive value, one more for
// a negative one); hexadecimal values may use the full unsigned range and
// wrap, as the host's conversion does.
template <typename T>
bool ParseInteger(std::string_view s, T& value) {
  using U = std::make_unsigned_t<T>;
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i < s.size() && (s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  U magnitude = 0;
  const U max_unsigned = std::numeric_limits<U>::max();
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (hex) {
      if (!IsHexDigit(c)) return false;
      if (magnitude > (max_unsigned >> 4)) return false;
      magnitude = static_cast<U>((magnitude << 4) | static_cast<U>(HexValue(c)));
    } else {
      if (c < '0' || c > '9') return false;
      const U digit = static_cast<U>(c - '0');
      if (magnitude > (max_unsigned - digit) / 10) return false;
      magnitude = static_cast<U>(magnitude * 10 + digit);
    }
  }
  if (hex) {
    value = static_cast<T>(negative ? static_cast<U>(0 - magnitude) : magnitude);
    return true;
  }
  const U limit = static_cast<U>(std::numeric_limits<T>::max()) + (negative ? 1u : 0u);
  if (magnitude > limit) return false;
  value = negative ? static_cast<T>(0 - magnitude) : static_cast<T>(magnitude);
  return true;
}

[[noreturn]] void InvalidInteger(std::string_view s) {
  throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}

}  // namespace

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

char UpperChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b >= 'a' && b <= 'z') return static_cast<char>(b - 32);
  if (b >= 0xE0) return static_cast<char>(b - 32);  // а..я
  switch (b) {
    case 0xB8: return static_cast<char>(0xA8);  // ё
    case 0x90: return static_cast<char>(0x80);  // ђ
    case 0x83: return static_cast<char>(0x81);  // ѓ
    case 0x9A: return static_cast<char>(0x8A);  // љ
    case 0x9C: return static_cast<char>(0x8C);  // њ
    case 0x9D: return static_cast<char>(0x8D);  // ќ
    case 0x9E: return static_cast<char>(0x8E);  // ћ
    case 0x9F: return static_cast<char>(0x8F);  // џ
    case 0xA2: return static_cast<char>(0xA1);  // ў
    case 0xBC: return static_cast<char>(0xA3);  // ј
    case 0xB4: return static_cast<char>(0xA5);  // ґ
    case 0xBA: return static_cast<char>(0xAA);  // є
    case 0xBF: return static_cast<char>(0xAF);  // ї
    case 0xB3: return static_cast<char>(0xB2);  // і
    case 0xBE: return static_cast<char>(0xBD);  // ѕ
    default: return c;
  }
}

char LowerChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b >= 'A' && b <= 'Z') return static_cast<char>(b + 32);
  if (b >= 0xC0 && b <= 0xDF) return static_cast<char>(b + 32);  // А..Я
  switch (b) {
    case 0xA8: return static_cast<char>(0xB8);
    case 0x80: return static_cast<char>(0x90);
    case 0x81: return static_cast<char>(0x83);
    case 0x8A: return static_cast<char>(0x9A);
    case 0x8C: return static_cast<char>(0x9C);
    case 0x8D: return static_cast<char>(0x9D);
    case 0x8E: return static_cast<char>(0x9E);
    case 0x8F: return static_cast<char>(0x9F);
    case 0xA1: return static_cast<char>(0xA2);
    case 0xA3: return static_cast<char>(0xBC);
    case 0xA5: return static_cast<char>(0xB4);
    case 0xAA: return static_cast<char>(0xBA);
    case 0xAF: return static_cast<char>(0xBF);
    case 0xB2: return static_cast<char>(0xB3);
    case 0xBD: return static_cast<char>(0xBE);
    default: return c;
  }
}

std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperChar(c);
  return out;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerChar(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  }
  return true;
}

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && SameText(prefix, s.substr(0, prefix.size()));
}

bool EndsText(std::string_view suffix, std::string_view s) {
  return s.size() >= suffix.size() && SameText(suffix, s.substr(s.size() - suffix.size()));
}

std::string IntToStr(std::int64_t value, int min_digits) {
  const bool negative = value < 0;
  std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  if (static_cast<int>(digits.size()) < min_digits) digits.insert(0, min_digits - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

bool TryStrToInt(std::string_view s, std::int32_t& value) { return ParseInteger(s, value); }
bool TryStrToInt64(std::string_view s, std::int64_t& value) { return ParseInteger(s, value); }

std::int32_t StrToInt(std::string_view s) {
  std::int32_t value = 0;
  if (!TryStrToInt(s, value)) InvalidInteger(s);
  return value;
}

std::int64_t StrToInt64(std::string_view s) {
  std::int64_t value = 0;
  if (!TryStrToInt64(s, value)) InvalidInteger(s);
  return value;
}

std::int32_t StrToIntDef(std::string_view s, std::int32_t def) {
  std::int32_t value = 0;
  return TryStrToInt(s, value) ? value : def;
}

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask == "*.*" || mask == "*") return true;
  // Iterative wildcard match with one backtracking point for the last "*".
  std::size_t n = 0, m = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || UpperChar(mask[m]) == UpperChar(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  // As on Windows, a trailing ".*" also matches a name without extension.
  if (m + 2 == mask.size() && mask[m] == '.' && mask[m + 1] == '*') return true;
  return m == mask.size();
}

std::vector<std::string> SplitString(std::string_view s, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == separator) {
      parts.emplace_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

bool ReplaceFirst(std::string& s, std::string_view what, std::string_view with) {
  const std::size_t p = s.find(what);
  if (p == std::string::npos) return false;
  s.replace(p, what.size(), with);
  return true;
}

}  // namespace korvel
