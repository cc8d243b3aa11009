#include "host/datetime.h"

#include <cmath>
#include <cstdint>
#include <ctime>

#include "host/text.h"

namespace korvel {
namespace {

// Days from 0001-01-01 to 1899-12-30.
constexpr std::int64_t kDeltaDays = 693593;

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

std::int64_t DaysFromCivil(int y, int m, int d) {
  std::int64_t days = 0;
  const int py = y - 1;
  days = static_cast<std::int64_t>(py) * 365 + py / 4 - py / 100 + py / 400;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  return days + d - 1;
}

}  // namespace

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

TDateTime LocalDateTimeFromUnixTime(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &t) != 0) return 0;
#else
  if (localtime_r(&t, &local) == nullptr) return 0;
#endif
  DateTimeParts p;
  p.year = local.tm_year + 1900;
  p.month = local.tm_mon + 1;
  p.day = local.tm_mday;
  p.hour = local.tm_hour;
  p.minute = local.tm_min;
  p.second = local.tm_sec;
  return IsValidDate(p.year, p.month, p.day) ? EncodeDateTime(p) : 0;
}

TDateTime EncodeDateTime(const DateTimeParts& p) {
  const double date = static_cast<double>(DaysFromCivil(p.year, p.month, p.day) - kDeltaDays);
  const double time = (p.hour * 3600000.0 + p.minute * 60000.0 + p.second * 1000.0 + p.millisecond) / 86400000.0;
  // Before 1899-12-30 the time counts away from zero, as the host keeps it.
  return date >= 0 ? date + time : date - time;
}

DateTimeParts DecodeDateTime(TDateTime value) {
  DateTimeParts p;
  // Whole milliseconds, rounded, so that 23:59:59.9996 does not read as 24:00.
  const double whole = std::trunc(value);
  std::int64_t ms = std::llround(std::fabs(value - whole) * 86400000.0);
  std::int64_t days = static_cast<std::int64_t>(whole) + kDeltaDays;
  if (ms >= 86400000) {
    ms -= 86400000;
    days += value >= 0 ? 1 : -1;
  }
  // Civil date from days since 0001-01-01.
  std::int64_t d = days;
  int y = 1;
  const std::int64_t d400 = d / 146097;
  d %= 146097;
  std::int64_t d100 = d / 36524;
  if (d100 == 4) d100 = 3;
  d -= d100 * 36524;
  const std::int64_t d4 = d / 1461;
  d %= 1461;
  std::int64_t d1 = d / 365;
  if (d1 == 4) d1 = 3;
  d -= d1 * 365;
  y = static_cast<int>(1 + d400 * 400 + d100 * 100 + d4 * 4 + d1);
  int m = 1;
  while (d >= DaysInMonth(y, m)) {
    d -= DaysInMonth(y, m);
    ++m;
  }
  p.year = y;
  p.month = m;
  p.day = static_cast<int>(d) + 1;
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.millisecond = static_cast<int>(ms % 1000);
  return p;
}

TDateTime DateOf(TDateTime value) {
  DateTimeParts p = DecodeDateTime(value);
  p.hour = p.minute = p.second = p.millisecond = 0;
  return EncodeDateTime(p);
}

FormatSettings& GlobalFormatSettings() {
  static FormatSettings settings;
  return settings;
}

void ApplyFormatSettings() {
  FormatSettings& s = GlobalFormatSettings();
  s.decimal_separator = ',';
  s.date_separator = '.';
  s.short_date_format = "dd.MM.yyyy";
  s.time_separator = ':';
  s.short_time_format = "h:nn";
  s.long_time_format = "h:nn:ss";
  s.thousand_separator = static_cast<char>(0xA0);
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  const FormatSettings& settings = GlobalFormatSettings();
  std::string out;
  bool after_hour = false;
  std::size_t i = 0;
  auto run_of = [&](char c) {
    std::size_t n = 0;
    while (i + n < format.size() && LowerChar(format[i + n]) == c) ++n;
    return n;
  };
  while (i < format.size()) {
    const char c = LowerChar(format[i]);
    if (format[i] == '"' || format[i] == '\'') {
      const char quote = format[i++];
      while (i < format.size() && format[i] != quote) out += format[i++];
      if (i < format.size()) ++i;
      continue;
    }
    std::size_t n = 0;
    switch (c) {
      case 'd':
        n = run_of('d');
        out += IntToStr(p.day, n >= 2 ? 2 : 1);
        after_hour = false;
        break;
      case 'm':
        n = run_of('m');
        out += IntToStr(after_hour ? p.minute : p.month, n >= 2 ? 2 : 1);
        after_hour = false;
        break;
      case 'y':
        n = run_of('y');
        out += n <= 2 ? IntToStr(p.year % 100, 2) : IntToStr(p.year, 4);
        after_hour = false;
        break;
      case 'h':
        n = run_of('h');
        out += IntToStr(p.hour, n >= 2 ? 2 : 1);
        after_hour = true;
        break;
      case 'n':
        n = run_of('n');
        out += IntToStr(p.minute, n >= 2 ? 2 : 1);
        after_hour = false;
        break;
      case 's':
        n = run_of('s');
        out += IntToStr(p.second, n >= 2 ? 2 : 1);
        after_hour = false;
        break;
      case 'z':
        n = run_of('z');
        out += IntToStr(p.millisecond, n >= 3 ? 3 : 1);
        after_hour = false;
        break;
      case '/':
        n = 1;
        out += settings.date_separator;
        break;
      case ':':
        n = 1;
        out += settings.time_separator;
        break;
      default:
        n = 1;
        out += format[i];
        break;
    }
    i += n;
  }
  return out;
}

}  // namespace korvel
