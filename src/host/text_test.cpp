#include "host/text.h"

#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/exception.h"

namespace korvel {
namespace {

using namespace korvel::literals;

TEST(Text, TrimAndLetterCaseCoverCyrillic) {
  EXPECT_EQ(Trim(" \t C:\\Work \r\n"), "C:\\Work");
  EXPECT_EQ(UpperCase("Привет ёж Program Files"_cp), "ПРИВЕТ ЁЖ PROGRAM FILES"_cp);
  EXPECT_EQ(LowerCase("ЁЖИК"_cp), "ёжик"_cp);
  EXPECT_TRUE(SameText("korvel.INI", "KORVEL.ini"));
  EXPECT_TRUE(SameText("Запрос"_cp, "ЗАПРОС"_cp));
  EXPECT_FALSE(SameText("a", "ab"));
}

TEST(Text, IntegersFollowTheHostsConversion) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t value;
  };
  for (const Case& c : {Case{"1520", true, 1520}, Case{"001520", true, 1520}, Case{"  -7", true, -7},
                        Case{"+3", true, 3}, Case{"0x1", true, 1}, Case{"$ff", true, 255}, Case{"x10", true, 16},
                        Case{"2147483647", true, 2147483647}, Case{"-2147483648", true, -2147483647 - 1},
                        Case{"2147483648", false, 0}, Case{"0xFFFFFFFF", true, -1}, Case{"", false, 0},
                        Case{"1 ", false, 0}, Case{"yes", false, 0}, Case{"2x", false, 0}, Case{"-", false, 0},
                        Case{"0x", false, 0}, Case{"0x100000000", false, 0}}) {
    std::int32_t value = 0;
    EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  EXPECT_EQ(StrToIntDef("notes", -1), -1);
  try {
    StrToInt("2x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'2x' is not a valid integer value");
    EXPECT_STREQ(e.TypeName(), "EConvertError");
  }
  std::int64_t big = 0;
  EXPECT_TRUE(TryStrToInt64("4294967296", big));
  EXPECT_EQ(big, 4294967296LL);
}

TEST(Text, ZeroPaddedNumbers) {
  EXPECT_EQ(IntToStr(1520, 6), "001520");
  EXPECT_EQ(IntToStr(1234567, 6), "1234567");
  EXPECT_EQ(IntToStr(-5, 3), "-005");
  EXPECT_EQ(IntToStr(0), "0");
}

TEST(Text, FileMasksIgnoreLetterCase) {
  EXPECT_TRUE(MatchesMask("001520.VER", "*.ver"));
  EXPECT_TRUE(MatchesMask("a.upd", "*.UPD"));
  EXPECT_FALSE(MatchesMask("a.upd.bak", "*.upd"));
  EXPECT_TRUE(MatchesMask("noext", "*.*"));
  EXPECT_TRUE(MatchesMask("abc", "a?c"));
  EXPECT_FALSE(MatchesMask("ac", "a?c"));
  EXPECT_TRUE(MatchesMask("x.sql", "*"));
  EXPECT_TRUE(MatchesMask("aXbXc", "a*b*c"));
  EXPECT_TRUE(MatchesMask("Файл.SQL"_cp, "файл.sql"_cp));
}

}  // namespace
}  // namespace korvel
