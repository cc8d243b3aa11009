#include "scripts/script_text.h"

#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"

namespace korvel::scripts {
namespace {

using namespace korvel::literals;
using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;

TEST(SplitLines, EveryKindOfLineEnd) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(SplitLines("\n\n"), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(SplitLines(""), std::vector<std::string>{});
  EXPECT_EQ(SplitLines("a\r\r\nb"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(LoadScriptLines, ReadsBytesAsTheyAre) {
  TempDir dir;
  const std::string text = "insert into t values ('Аптека');\r\ncommit;\r\n"_cp;
  WriteFile(dir / "1.sql", text);
  EXPECT_EQ(LoadScriptLines(SystemHost(), dir / "1.sql"),
            (std::vector<std::string>{"insert into t values ('Аптека');"_cp, "commit;"}));
  try {
    LoadScriptLines(SystemHost(), dir / "missing.sql");
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot open file \"" + dir / "missing.sql" + "\". ", 0), 0u) << e.Message();
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kNotFound);
  }
}

TEST(CommentOutConnect, OnlyOneLineConnectAtTheStart) {
  std::vector<std::string> lines = {
      "connect 'srv:db.fdb' user 'SYSDBA' password 'x';",
      "CONNECT 'db';  ",
      "  connect 'db';",
      "connect 'db'",
      "connect 'db' user 'a'",
      "  password 'b';",
      "Connection;",
      "insert into t values (1);",
  };
  CommentOutConnect(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "/* connect 'srv:db.fdb' user 'SYSDBA' password 'x';*/",
                       "/* CONNECT 'db';  */",
                       "  connect 'db';",
                       "connect 'db'",
                       "connect 'db' user 'a'",
                       "  password 'b';",
                       "/* Connection;*/",
                       "insert into t values (1);",
                   }));
}

}  // namespace
}  // namespace korvel::scripts
