#include "host/datetime.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(DateTime, DayCountsStartAtTheEndOf1899) {
  EXPECT_EQ(EncodeDateTime({1899, 12, 30}), 0.0);
  EXPECT_EQ(EncodeDateTime({1900, 1, 1}), 2.0);
  EXPECT_EQ(EncodeDateTime({2026, 12, 9}), 46365.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({2000, 1, 1, 12, 0, 0}), 36526.5);
}

TEST(DateTime, DecodeRoundTripsAcrossLeapYearsAndMidnight) {
  for (const DateTimeParts& p : {DateTimeParts{2024, 2, 29, 23, 59, 59, 999}, DateTimeParts{1600, 3, 1},
                                 DateTimeParts{9999, 12, 31, 0, 0, 1}, DateTimeParts{2100, 2, 28, 13, 5, 7}}) {
    const DateTimeParts q = DecodeDateTime(EncodeDateTime(p));
    EXPECT_EQ(q.year, p.year);
    EXPECT_EQ(q.month, p.month);
    EXPECT_EQ(q.day, p.day);
    EXPECT_EQ(q.hour, p.hour);
    EXPECT_EQ(q.minute, p.minute);
    EXPECT_EQ(q.second, p.second);
    EXPECT_EQ(q.millisecond, p.millisecond);
  }
  EXPECT_EQ(DateOf(EncodeDateTime({2026, 12, 9, 17, 3, 4})), EncodeDateTime({2026, 12, 9}));
}

TEST(DateTime, FormatsTheLogAndPacketForms) {
  ApplyFormatSettings();
  const TDateTime t = EncodeDateTime({2026, 3, 7, 9, 5, 4});
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy", t), "07.03.2026");
  EXPECT_EQ(FormatDateTime("hh:nn:ss", t), "09:05:04");
  EXPECT_EQ(FormatDateTime("yyyymm", t), "202603");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn", t), "07.03.2026 09:05");
  EXPECT_EQ(FormatDateTime("hh:mm", t), "09:05");  // minutes after an hour
  EXPECT_EQ(FormatDateTime("d/m/yy h:n:s", t), "7.3.26 9:5:4");
  EXPECT_EQ(FormatDateTime("\"at\" hh", t), "at 09");
}

}  // namespace
}  // namespace korvel
