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

}  // namespace
}  // namespace korvel
