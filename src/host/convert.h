// Text to number and text to date-time conversion with the host's rules,
// under the process-wide format settings (datetime.h) unless other settings
// are given. The integer conversions live in text.h.
//
// Failures of the Str* forms raise EConvertError quoting the text:
//   "'%s' is not a valid floating point value"   (StrToFloat, StrToCurr)
//   "'%s' is not a valid date"                   (StrToDate)
//   "'%s' is not a valid time"                   (StrToTime)
//   "'%s' is not a valid date and time"          (StrToDateTime)
#pragma once

#include <cstdint>
#include <string_view>

#include "host/datetime.h"

namespace korvel {

// Money as the host keeps it: fixed point with four decimals, a signed
// 64-bit count of ten-thousandths (-922337203685477.5808 to
// 922337203685477.5807).
struct Currency {
  static constexpr std::int64_t kScale = 10000;
  std::int64_t scaled = 0;

  static constexpr Currency FromScaled(std::int64_t value) { return Currency{value}; }
  double ToDouble() const { return static_cast<double>(scaled) / kScale; }
  friend bool operator==(Currency, Currency) = default;
};

// Floating point: spaces, an optional sign, decimal digits with at most one
// decimal separator of the settings (at least one digit in all), an
// optional exponent "E" or "e" with an optional sign and digits, spaces;
// nothing else. Thousands separators are not accepted. A value beyond the
// range of double fails; one too small for it reads as 0.
bool TryStrToFloat(std::string_view s, double& value, const FormatSettings& settings = GlobalFormatSettings());
double StrToFloat(std::string_view s, const FormatSettings& settings = GlobalFormatSettings());

// The same syntax, rounded to four decimals (half to even, exact in
// decimal); a value outside the currency range fails.
bool TryStrToCurr(std::string_view s, Currency& value, const FormatSettings& settings = GlobalFormatSettings());
Currency StrToCurr(std::string_view s, const FormatSettings& settings = GlobalFormatSettings());

// Dates: two or three numbers separated by the date separator, in the order
// of the short date format's first letters (d, M, y); spaces may stand
// around every number and separator, a trailing separator is allowed. A
// missing year is the current year; a year of one or two digits falls in
// the fifty years on either side of the current year.
// Times: hours, optionally ":" minutes, ":" seconds and decimal separator
// milliseconds (the digits as a number: "1" is 1 ms), with the time
// separator of the settings; an "AM" or "PM" before or after turns a
// 12-hour clock into 24 hours.
// Date and time: a date optionally followed by a time, or a time alone.
// Numbers have at most four digits. Every field is range-checked.
bool TryStrToDate(std::string_view s, TDateTime& value, const FormatSettings& settings = GlobalFormatSettings());
bool TryStrToTime(std::string_view s, TDateTime& value, const FormatSettings& settings = GlobalFormatSettings());
bool TryStrToDateTime(std::string_view s, TDateTime& value, const FormatSettings& settings = GlobalFormatSettings());
TDateTime StrToDate(std::string_view s, const FormatSettings& settings = GlobalFormatSettings());
TDateTime StrToTime(std::string_view s, const FormatSettings& settings = GlobalFormatSettings());
TDateTime StrToDateTime(std::string_view s, const FormatSettings& settings = GlobalFormatSettings());

}  // namespace korvel
