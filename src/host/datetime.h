// Date-times are the host's day counts: days since 30 December 1899, the
// fraction being the time of day. The process-wide format settings fix how
// every date, time and number looks, whatever the machine's regional
// settings are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvel {

using TDateTime = double;

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Valid dates are 0001-01-01 to 9999-12-31; the conversions do not check.
TDateTime EncodeDateTime(const DateTimeParts& parts);
DateTimeParts DecodeDateTime(TDateTime value);
// Today at midnight of the given moment.
TDateTime DateOf(TDateTime value);
bool IsValidDate(int year, int month, int day);

// The local date-time of a POSIX time (seconds since 1970-01-01 UTC) in the
// system's time zone, whole seconds; ZIP readers give entry times this way.
TDateTime LocalDateTimeFromUnixTime(std::int64_t seconds);

struct FormatSettings {
  char decimal_separator = '.';
  char date_separator = '/';
  std::string short_date_format = "M/d/yyyy";
  char time_separator = ':';
  std::string short_time_format = "h:nn";
  std::string long_time_format = "h:nn:ss";
  char thousand_separator = ',';
};

// The settings every formatting of the program uses.
FormatSettings& GlobalFormatSettings();

// Fixes decimal separator ",", date separator ".", short date "dd.MM.yyyy",
// time separator ":", short time "h:nn", long time "h:nn:ss" and the
// thousands separator 0xA0. Runs at program start, before anything formats.
void ApplyFormatSettings();

// The host's date-time formatting: d dd m mm yy yyyy h hh n nn s ss z zzz
// ("m"/"mm" right after an hour are minutes), "/" and ":" as the date and
// time separators of the settings, quoted text as is.
std::string FormatDateTime(std::string_view format, TDateTime value);

}  // namespace korvel
