#include "host/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "host/exception.h"

namespace korvel {
namespace {

// The program's own settings: decimal ",", date "dd.MM.yyyy", time ":".
FormatSettings ProgramSettings() {
  FormatSettings s;
  s.decimal_separator = ',';
  s.date_separator = '.';
  s.short_date_format = "dd.MM.yyyy";
  s.time_separator = ':';
  s.thousand_separator = static_cast<char>(0xA0);
  return s;
}

int ThisYear() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

TEST(Convert, FloatsFollowTheDecimalSeparatorOfTheSettings) {
  const FormatSettings s = ProgramSettings();
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  for (const Case& c : {Case{"1,5", true, 1.5}, Case{"  -2,25  ", true, -2.25}, Case{"+3", true, 3},
                        Case{"5,", true, 5}, Case{",5", true, 0.5}, Case{"1,5E3", true, 1500},
                        Case{"1e-2", true, 0.01}, Case{"0", true, 0}, Case{"1E400", false, 0},
                        Case{"1E-400", true, 0}, Case{"1.5", false, 0}, Case{"1 000", false, 0},
                        Case{"1\xA0" "000", false, 0}, Case{",", false, 0}, Case{"", false, 0},
                        Case{"1E", false, 0}, Case{"1,5,", false, 0}, Case{"\t1", false, 0},
                        Case{"0x10", false, 0}, Case{"inf", false, 0}}) {
    double value = -1;
    EXPECT_EQ(TryStrToFloat(c.text, value, s), c.ok) << c.text;
    if (c.ok) {
      EXPECT_DOUBLE_EQ(value, c.value) << c.text;
    }
  }
  FormatSettings dot = s;
  dot.decimal_separator = '.';
  EXPECT_DOUBLE_EQ(StrToFloat("1.5", dot), 1.5);
  try {
    StrToFloat("1.5x", s);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'1.5x' is not a valid floating point value");
  }
}

TEST(Convert, CurrencyKeepsFourDecimalsRoundedHalfToEven) {
  const FormatSettings s = ProgramSettings();
  struct Case {
    const char* text;
    bool ok;
    std::int64_t scaled;
  };
  for (const Case& c : {Case{"12,34", true, 123400}, Case{"-0,0001", true, -1}, Case{"0,00005", true, 0},
                        Case{"0,00015", true, 2}, Case{"0,000051", true, 1}, Case{"1,23456", true, 12346},
                        Case{"2E-4", true, 2}, Case{"1E-9", true, 0}, Case{"1,5E2", true, 1500000},
                        Case{"922337203685477,5807", true, 9223372036854775807LL},
                        Case{"-922337203685477,5808", true, -9223372036854775807LL - 1},
                        Case{"922337203685477,5808", false, 0}, Case{"1E15", false, 0},
                        Case{"99999999999999999999", false, 0}, Case{"abc", false, 0}}) {
    Currency value;
    EXPECT_EQ(TryStrToCurr(c.text, value, s), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value.scaled, c.scaled) << c.text;
    }
  }
  try {
    StrToCurr("1E15", s);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'1E15' is not a valid floating point value");
  }
}

TEST(Convert, DatesAndTimesFollowTheShortFormats) {
  const FormatSettings s = ProgramSettings();
  const TDateTime day = EncodeDateTime({2024, 3, 7, 0, 0, 0, 0});
  EXPECT_DOUBLE_EQ(StrToDate("07.03.2024", s), day);
  EXPECT_DOUBLE_EQ(StrToDate(" 7 . 3 . 2024 ", s), day);
  EXPECT_DOUBLE_EQ(StrToDate("7.3.2024.", s), day);
  EXPECT_DOUBLE_EQ(StrToDateTime("07.03.2024 10:30", s), EncodeDateTime({2024, 3, 7, 10, 30, 0, 0}));
  EXPECT_DOUBLE_EQ(StrToDateTime("07.03.2024 10:30:15,250", s), EncodeDateTime({2024, 3, 7, 10, 30, 15, 250}));
  EXPECT_DOUBLE_EQ(StrToDateTime("07.03.2024 2:05 PM", s), EncodeDateTime({2024, 3, 7, 14, 5, 0, 0}));
  EXPECT_DOUBLE_EQ(StrToDateTime("07.03.2024 12:00 am", s), day);
  EXPECT_DOUBLE_EQ(StrToDateTime("10:30", s), EncodeDateTime({1899, 12, 30, 10, 30, 0, 0}));
  EXPECT_DOUBLE_EQ(StrToTime("23:59:59", s), (86400.0 - 1) / 86400.0);
  // Before the epoch the time counts away from zero.
  EXPECT_DOUBLE_EQ(StrToDateTime("29.12.1899 6:00", s), -1.25);

  // Short years and missing years follow the current year.
  const int year = ThisYear();
  EXPECT_DOUBLE_EQ(StrToDate("07.03", s), EncodeDateTime({year, 3, 7, 0, 0, 0, 0}));
  const int two_digits = year % 100;
  EXPECT_DOUBLE_EQ(StrToDate("01.01." + std::to_string(two_digits), s),
                   EncodeDateTime({year, 1, 1, 0, 0, 0, 0}));

  FormatSettings ymd = s;
  ymd.short_date_format = "yyyy/mm/dd";
  ymd.date_separator = '-';
  EXPECT_DOUBLE_EQ(StrToDate("2024-03-07", ymd), day);

  for (const char* bad : {"", "2024", "31.02.2024", "07.13.2024", "07.03.2024 25:00", "07.03.2024 10:60",
                          "07.03.2024 10:30 x", "07/03/2024", "13:00 PM", "0:30 AM", "07.03.2024 10:30:15:1"}) {
    TDateTime value = 0;
    EXPECT_FALSE(TryStrToDateTime(bad, value, s)) << bad;
  }
  try {
    StrToDateTime("31.02.2024", s);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'31.02.2024' is not a valid date and time");
  }
  EXPECT_THROW(StrToDate("10:30", s), EConvertError);
  EXPECT_THROW(StrToTime("07.03.2024", s), EConvertError);
}

}  // namespace
}  // namespace korvel
