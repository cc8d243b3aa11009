#include "host/cp1251.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using namespace korvel::literals;

TEST(Cp1251, LiteralsAreConvertedByTheCompiler) {
  EXPECT_EQ("Ошибка Ё№"_cp, "\xCE\xF8\xE8\xE1\xEA\xE0 \xA8\xB9");
  EXPECT_EQ("Код"_cp.size(), 3u);
}

TEST(Cp1251, RoundTripsEveryByteThroughUtf8) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(cp1251::FromUtf8(cp1251::ToUtf8(all)), all);
}

TEST(Cp1251, UnknownAndMalformedUtf8BecomeQuestionMarks) {
  EXPECT_EQ(cp1251::FromUtf8("\xE4\xB8\xAD"), "?");         // a CJK character
  EXPECT_EQ(cp1251::FromUtf8("a\xC3"), "a?");               // truncated sequence
  EXPECT_EQ(cp1251::FromUtf8("\xFF\xFE" "b"), "??b");       // invalid lead bytes
}

TEST(Cp1251, ConsoleCodePage866) {
  const std::string text = "Привет, мир! Ёё"_cp;
  EXPECT_EQ(cp1251::ToOem866("Привет"_cp), "\x8F\xE0\xA8\xA2\xA5\xE2");
  EXPECT_EQ(cp1251::FromOem866(cp1251::ToOem866(text)), text);
}

TEST(Cp1251, Utf16ForTheWideSystemCalls) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(cp1251::FromUtf16(cp1251::ToUtf16(all)), all);
  EXPECT_EQ(cp1251::ToUtf16("Ёж"_cp + "\x98"), u"Ёж\u0098");
  EXPECT_EQ(cp1251::ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  // A CJK character, a pair for U+1F600, a lone high and a lone low surrogate.
  EXPECT_EQ(cp1251::FromUtf16(u"\u4E2D\U0001F600x\xD800y\xDC00"), "??x?y?");
  EXPECT_EQ(cp1251::FromUtf16(u"Привет №1"), "Привет №1"_cp);
}

}  // namespace
}  // namespace korvel
