#include "fb/named_params.h"

#include <gtest/gtest.h>

namespace korvel::fb {
namespace {

struct Case {
  const char* sql;
  const char* expected_sql;
  std::vector<std::string> names;
};

TEST(NamedParamsTest, RewritesNamesOutsideQuotesAndComments) {
  const Case cases[] = {
      {"select * from T where A = :a", "select * from T where A = ?", {"a"}},
      {"update P set STATUS=?STATUS where ID=?ID;", "update P set STATUS=? where ID=?;", {"STATUS", "ID"}},
      {"select ? from T where B = ?", "select ? from T where B = ?", {"", ""}},
      {"where A=:x and B=:x", "where A=? and B=?", {"x", "x"}},
      {"where A = ':no' and B = \":no\"", "where A = ':no' and B = \":no\"", {}},
      {"where A = 'it''s :no' and B=:yes", "where A = 'it''s :no' and B=?", {"yes"}},
      {"/* :no */ select :a_1$ from T", "/* :no */ select ? from T", {"a_1$"}},
      {"-- :no\nselect :b", "-- :no\nselect ?", {"b"}},
      {"select :\"Mixed Name\" from T", "select ? from T", {"Mixed Name"}},
      {"select '12:30', : x from T", "select '12:30', : x from T", {}},
      {"where A = :a", "where A = ?", {"a"}},
      {"/* unterminated :no", "/* unterminated :no", {}},
      {"'unterminated :no", "'unterminated :no", {}},
  };
  for (const Case& c : cases) {
    const ParsedParams parsed = ParseNamedParams(c.sql);
    EXPECT_EQ(parsed.sql, c.expected_sql) << c.sql;
    EXPECT_EQ(parsed.names, c.names) << c.sql;
  }
}

TEST(NamedParamsTest, CyrillicNames) {
  // Windows-1251 letters belong to names ("имя").
  const ParsedParams parsed = ParseNamedParams("select :\xE8\xEC\xFF from T");
  EXPECT_EQ(parsed.sql, "select ? from T");
  ASSERT_EQ(parsed.names.size(), 1u);
  EXPECT_EQ(parsed.names[0], "\xE8\xEC\xFF");
}

}  // namespace
}  // namespace korvel::fb
