#include "xml/xml_string.h"

#include <gtest/gtest.h>

#include <sstream>

#include "host/cp1251.h"

namespace korvel::xml {
namespace {

using namespace korvel::literals;

TEST(XmlString, ReadsAndComparesLikeAString) {
  const XmlString empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty, "");
  EXPECT_EQ(empty.str(), "");

  const std::string packet = "Пакет"_cp;
  XmlString s(packet + "\r\n");
  EXPECT_FALSE(s.empty());
  EXPECT_EQ(s.size(), 7u);
  EXPECT_EQ(s, packet + "\r\n");
  EXPECT_NE(s, packet);
  EXPECT_EQ(s[5], '\r');
  const std::string_view view = s;
  const std::string copy = s;
  EXPECT_EQ(view, copy);
  EXPECT_EQ(std::string(s.begin(), s.end()), copy);
  std::ostringstream out;
  out << s;
  EXPECT_EQ(out.str(), copy);

  // Zero bytes are bytes like any other.
  const XmlString zeros(std::string_view("a\0b", 3));
  EXPECT_EQ(zeros.size(), 3u);
  EXPECT_NE(zeros, "a");
  EXPECT_EQ(zeros, XmlString(std::string_view("a\0b", 3)));
}

TEST(XmlString, AssignmentsCopyAndOwnTheirBytes) {
  XmlString s("abcdef");
  s = s.view().substr(2, 3);  // from a view of its own bytes
  EXPECT_EQ(s, "cde");
  s.assign(std::string(70000, 'x'));
  EXPECT_EQ(s.size(), 70000u);

  XmlString copy = s;
  s = "changed";
  EXPECT_EQ(copy.size(), 70000u);
  EXPECT_EQ(s, "changed");
  copy = s;
  EXPECT_EQ(copy, s);
  const XmlString& same = copy;
  copy = same;  // assignment to itself keeps the value
  EXPECT_EQ(copy, "changed");
  XmlString moved = std::move(copy);  // a move copies: the source stays as it was
  EXPECT_EQ(moved, "changed");
  EXPECT_EQ(copy, "changed");  // NOLINT(bugprone-use-after-move)

  s = "";
  EXPECT_TRUE(s.empty());
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved, "");
}

}  // namespace
}  // namespace korvel::xml
