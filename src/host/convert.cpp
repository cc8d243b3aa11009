#include "host/convert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <limits>
#include <string>

#include "host/exception.h"
#include "host/text.h"

namespace korvel {
namespace {

// ---- Decimal numbers ----

// A number as written: value = digits * 10^exponent, `digits` without
// leading zeros (empty for zero).
struct Decimal {
  bool negative = false;
  std::string digits;
  std::int64_t exponent = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// [spaces] [sign] digits [sep digits] [E [sign] digits] [spaces]
bool ParseDecimal(std::string_view s, char decimal_separator, Decimal& out) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) out.negative = s[i++] == '-';
  std::size_t mantissa_digits = 0;
  bool seen_separator = false;
  for (; i < s.size(); ++i) {
    if (IsDigit(s[i])) {
      ++mantissa_digits;
      if (!out.digits.empty() || s[i] != '0') out.digits += s[i];
      if (seen_separator) --out.exponent;
    } else if (s[i] == decimal_separator && !seen_separator) {
      seen_separator = true;
    } else {
      break;
    }
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
    ++i;
    bool negative_exponent = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative_exponent = s[i++] == '-';
    std::int64_t e = 0;
    const std::size_t first = i;
    // Beyond a billion the result is zero or infinite anyway.
    for (; i < s.size() && IsDigit(s[i]); ++i) e = std::min<std::int64_t>(e * 10 + (s[i] - '0'), 1000000000);
    if (i == first) return false;
    out.exponent += negative_exponent ? -e : e;
  }
  while (i < s.size() && s[i] == ' ') ++i;
  return i == s.size();
}

[[noreturn]] void InvalidFloat(std::string_view s) {
  throw EConvertError("'" + std::string(s) + "' is not a valid floating point value");
}

// ---- Dates and times ----

int CurrentYear() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local.tm_year + 1900;
}

enum class DateOrder { kMDY, kDMY, kYMD };

// The order of the first of the letters d, m and y in the short date format.
DateOrder DateOrderOf(std::string_view format) {
  for (const char c : format) {
    switch (LowerChar(c)) {
      case 'd': return DateOrder::kDMY;
      case 'y': return DateOrder::kYMD;
      case 'm': return DateOrder::kMDY;
      default: break;
    }
  }
  return DateOrder::kMDY;
}

// A cursor over the text with the host's scanning primitives.
struct Scanner {
  std::string_view s;
  std::size_t pos = 0;

  bool AtEnd() const { return pos >= s.size(); }
  void SkipBlanks() {
    while (pos < s.size() && s[pos] == ' ') ++pos;
  }
  // Up to four digits after optional blanks.
  bool Number(int& value, int& length) {
    SkipBlanks();
    std::size_t i = pos;
    int n = 0;
    while (i < s.size() && IsDigit(s[i]) && n < 1000) n = n * 10 + (s[i++] - '0');
    if (i == pos) return false;
    length = static_cast<int>(i - pos);
    value = n;
    pos = i;
    return true;
  }
  bool Char(char c) {
    SkipBlanks();
    if (pos < s.size() && s[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    SkipBlanks();
    if (s.size() - pos >= word.size() && SameText(s.substr(pos, word.size()), word)) {
      pos += word.size();
      return true;
    }
    return false;
  }
};

bool ScanDate(Scanner& in, const FormatSettings& settings, TDateTime& date) {
  const DateOrder order = DateOrderOf(settings.short_date_format);
  int n1 = 0, n2 = 0, n3 = 0, l1 = 0, l2 = 0, l3 = 0;
  if (!(in.Number(n1, l1) && in.Char(settings.date_separator) && in.Number(n2, l2))) return false;
  int year = 0, month = 0, day = 0;
  if (in.Char(settings.date_separator)) {
    if (!in.Number(n3, l3)) return false;
    int year_length = l3;
    switch (order) {
      case DateOrder::kMDY: year = n3, month = n1, day = n2; break;
      case DateOrder::kDMY: year = n3, month = n2, day = n1; break;
      case DateOrder::kYMD: year = n1, month = n2, day = n3, year_length = l1; break;
    }
    if (year_length <= 2) {
      const int century_base = CurrentYear() - 50;
      year += century_base / 100 * 100;
      if (year < century_base) year += 100;
    }
  } else {
    year = CurrentYear();
    if (order == DateOrder::kDMY) {
      day = n1, month = n2;
    } else {
      month = n1, day = n2;
    }
  }
  in.Char(settings.date_separator);
  in.SkipBlanks();
  if (!IsValidDate(year, month, day)) return false;
  date = EncodeDateTime(DateTimeParts{year, month, day, 0, 0, 0, 0});
  return true;
}

bool ScanTime(Scanner& in, const FormatSettings& settings, TDateTime& time) {
  int base_hour = -1;
  if (in.Word("AM")) {
    base_hour = 0;
  } else if (in.Word("PM")) {
    base_hour = 12;
  }
  int hour = 0, minute = 0, second = 0, millisecond = 0, length = 0;
  if (!in.Number(hour, length)) return false;
  if (in.Char(settings.time_separator)) {
    if (!in.Number(minute, length)) return false;
    if (in.Char(settings.time_separator)) {
      if (!in.Number(second, length)) return false;
      if (in.Char(settings.decimal_separator) && !in.Number(millisecond, length)) return false;
    }
  }
  if (base_hour < 0) {
    if (in.Word("AM")) {
      base_hour = 0;
    } else if (in.Word("PM")) {
      base_hour = 12;
    }
  }
  if (base_hour >= 0) {
    if (hour == 0 || hour > 12) return false;
    if (hour == 12) hour = 0;
    hour += base_hour;
  }
  in.SkipBlanks();
  if (hour > 23 || minute > 59 || second > 59 || millisecond > 999) return false;
  time = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millisecond) / 86400000.0;
  return true;
}

}  // namespace

bool TryStrToFloat(std::string_view s, double& value, const FormatSettings& settings) {
  Decimal d;
  if (!ParseDecimal(s, settings.decimal_separator, d)) return false;
  if (d.digits.empty()) {
    value = d.negative ? -0.0 : 0.0;
    return true;
  }
  const std::string text = d.digits + "e" + std::to_string(d.exponent);
  double result = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (error == std::errc::result_out_of_range) {
    // The position of the leading digit tells overflow from underflow.
    if (d.exponent + static_cast<std::int64_t>(d.digits.size()) > 0) return false;
    result = 0;
  } else if (error != std::errc() || end != text.data() + text.size()) {
    return false;
  }
  value = d.negative ? -result : result;
  return true;
}

double StrToFloat(std::string_view s, const FormatSettings& settings) {
  double value = 0;
  if (!TryStrToFloat(s, value, settings)) InvalidFloat(s);
  return value;
}

bool TryStrToCurr(std::string_view s, Currency& value, const FormatSettings& settings) {
  Decimal d;
  if (!ParseDecimal(s, settings.decimal_separator, d)) return false;
  // Scaled by 10^4: the digits before `cut` are the integer count, the rest
  // decide the rounding.
  const std::int64_t length = static_cast<std::int64_t>(d.digits.size());
  const std::int64_t shift = d.exponent + 4;
  if (length + shift > 19) return false;  // at least 10^19: beyond the range
  const std::int64_t cut = std::max<std::int64_t>(0, std::min(length, length + shift));
  std::uint64_t magnitude = 0;
  for (std::int64_t i = 0; i < cut; ++i) magnitude = magnitude * 10 + static_cast<std::uint64_t>(d.digits[i] - '0');
  for (std::int64_t i = 0; i < shift; ++i) {
    if (magnitude > std::numeric_limits<std::uint64_t>::max() / 10) return false;
    magnitude *= 10;
  }
  if (cut < length && length + shift >= 0) {
    // d.digits[cut] is the first digit after the decimal point of the
    // scaled value; half rounds to even.
    bool rest_nonzero = false;
    for (std::int64_t i = cut + 1; i < length; ++i) rest_nonzero |= d.digits[i] != '0';
    const char first = d.digits[cut];
    if (first > '5' || (first == '5' && (rest_nonzero || (magnitude & 1) != 0))) ++magnitude;
  }
  const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (d.negative ? 1 : 0);
  if (magnitude > limit) return false;
  value.scaled = d.negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

Currency StrToCurr(std::string_view s, const FormatSettings& settings) {
  Currency value;
  if (!TryStrToCurr(s, value, settings)) InvalidFloat(s);
  return value;
}

bool TryStrToDate(std::string_view s, TDateTime& value, const FormatSettings& settings) {
  Scanner in{s};
  TDateTime date = 0;
  if (!ScanDate(in, settings, date) || !in.AtEnd()) return false;
  value = date;
  return true;
}

bool TryStrToTime(std::string_view s, TDateTime& value, const FormatSettings& settings) {
  Scanner in{s};
  TDateTime time = 0;
  if (!ScanTime(in, settings, time) || !in.AtEnd()) return false;
  value = time;
  return true;
}

bool TryStrToDateTime(std::string_view s, TDateTime& value, const FormatSettings& settings) {
  Scanner in{s};
  TDateTime date = 0, time = 0;
  if (!ScanDate(in, settings, date) || !(in.AtEnd() || (ScanTime(in, settings, time) && in.AtEnd()))) {
    return TryStrToTime(s, value, settings);
  }
  // Before 1899-12-30 the time counts away from zero.
  value = date >= 0 ? date + time : date - time;
  return true;
}

TDateTime StrToDate(std::string_view s, const FormatSettings& settings) {
  TDateTime value = 0;
  if (!TryStrToDate(s, value, settings)) throw EConvertError("'" + std::string(s) + "' is not a valid date");
  return value;
}

TDateTime StrToTime(std::string_view s, const FormatSettings& settings) {
  TDateTime value = 0;
  if (!TryStrToTime(s, value, settings)) throw EConvertError("'" + std::string(s) + "' is not a valid time");
  return value;
}

TDateTime StrToDateTime(std::string_view s, const FormatSettings& settings) {
  TDateTime value = 0;
  if (!TryStrToDateTime(s, value, settings)) {
    throw EConvertError("'" + std::string(s) + "' is not a valid date and time");
  }
  return value;
}

}  // namespace korvel
