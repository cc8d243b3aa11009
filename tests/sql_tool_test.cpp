// korvel-tool sql-check and sql-run as the office and operators call them.
// The sql-run cases need the Firebird test server
// (tools/ci/firebird-test-server.sh start) and skip without it.
#include <gtest/gtest.h>

#include "fb/database.h"
#include "fb/statement.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "installation.h"

namespace korvel::testing {
namespace {

using namespace korvel::literals;

struct ToolResult {
  int exit_code = -1;
  // UTF-8 with LF line ends, whatever the console's encoding and line ends.
  std::string out, err;
};

// Console text as UTF-8 without CR (the Windows console writes code page
// 866 and CR LF).
std::string Normalized(std::string text, bool from_console) {
  if (from_console && host::kWindows) text = cp1251::ToUtf8(cp1251::FromOem866(text));
  std::string plain;
  for (char c : text) {
    if (c != '\r') plain += c;
  }
  return plain;
}

// Runs korvel-tool in `directory` (arguments in Windows-1251).
ToolResult Tool(const std::string& directory, const std::vector<std::string>& args) {
  std::vector<std::string> utf8;
  for (const std::string& a : args) utf8.push_back(cp1251::ToUtf8(a));
  const ProgramResult run = RunProgram(ToolProgram(), utf8, directory);
  return {run.exit_code, Normalized(run.output, true), Normalized(run.error, true)};
}

// An expected console text, CR removed like the actual one; on Windows as
// far as code page 866 can show it (an em dash becomes "?").
std::string Text(const std::string& utf8) {
  if (!host::kWindows) return Normalized(utf8, false);
  return Normalized(cp1251::ToOem866(cp1251::FromUtf8(utf8)), true);
}

TEST(SqlCheckTool, ListsStatementsAndSaysOk) {
  TempDir dir;
  WriteFile(dir / "1.sql",
            "/* PrivateScript {00000000-0000-0000-0000-000000000000} */\r\n"
            "create table T (A integer);\r\n"
            "connect 'other.fdb';\r\n"
            "insert into T values (1); commit work;\r\n"
            "set term ^ ;\r\n"
            "create procedure P as\r\nbegin\r\n  exit;\r\nend^\r\n"
            "set term ; ^\r\n"
            "insert into T values ('Аптека №1 — a long statement text that is cut short in the listing');\r\n"_cp);
  const ToolResult r = Tool(dir.path(), {"sql-check", "1.sql"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            Text("     2  stmtDDL       create table T (A integer)\n"
                 "     4  stmtDML       insert into T values (1)\n"
                 "     4  stmtCOMMIT    commit work\n"
                 "     5  stmtTERM      ^\n"
                 "     6  stmtDDL       create procedure P as begin exit; end\n"
                 "    10  stmtTERM      ;\n"
                 "    11  stmtDML       insert into T values ('Аптека №1 — a long statement text tha...\n"
                 "OK\n"));
  EXPECT_EQ(r.err, "");
}

TEST(SqlCheckTool, ParseErrorAsTheUtilityLogsIt) {
  TempDir dir;
  WriteFile(dir / "2.sql", "insert into T values (1);\r\n-- a comment the utility does not know\r\ncommit;\r\n");
  const ToolResult r = Tool(dir.path(), {"sql-check", "2.sql"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "     1  stmtDML       insert into T values (1)\n"
            "     2  stmtERR       -- a comment the utility does not know commit\n");
  EXPECT_EQ(r.err, Text("2.sql: Ошибка разбора скрипта: -- a comment the utility does not know\r\ncommit Invalid statement\n"));

  WriteFile(dir / "3.sql", "commit;\r\n/* not closed\r\n");
  const ToolResult comment = Tool(dir.path(), {"sql-check", "3.sql"});
  EXPECT_EQ(comment.exit_code, 1);
  EXPECT_EQ(comment.err, "3.sql: Ошибка разбора скрипта:  Invalid Comment\n");
}

TEST(SqlCheckTool, TerminatorOptionMissingFileAndUsage) {
  TempDir dir;
  WriteFile(dir / "price.sql", "create or alter procedure P as begin exit; end^\r\n");
  const ToolResult caret = Tool(dir.path(), {"sql-check", "price.sql", "--term", "^"});
  EXPECT_EQ(caret.exit_code, 0) << caret.err;
  EXPECT_EQ(caret.out, "     1  stmtDDL       create or alter procedure P as begin exit; end\nOK\n");
  // Under ";" the same text is one statement running to the end.
  EXPECT_EQ(Tool(dir.path(), {"sql-check", "price.sql"}).exit_code, 0);

  const ToolResult missing = Tool(dir.path(), {"sql-check", "missing.sql"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err.rfind("Cannot open file \"missing.sql\". ", 0), 0u) << missing.err;
  EXPECT_EQ(Tool(dir.path(), {"sql-check"}).exit_code, 2);
  EXPECT_EQ(Tool(dir.path(), {"sql-check", "a.sql", "--bogus"}).exit_code, 2);
}

class SqlRunTool : public ::testing::Test {
 protected:
  void SetUp() override { KORVEL_REQUIRE_FB_SERVER(); }

  std::string Count(const fb::testing::ScratchDatabase& db, const std::string& sql) {
    return fb::testing::SelectValue(db.Connection(), sql);
  }
};

TEST_F(SqlRunTool, RunsLikeTheNumberedScriptStep) {
  fb::testing::ScratchDatabase db({"create table T (A integer, B varchar(40))"});
  TempDir work;
  WriteFile(work / "1201.sql",
            "connect 'nowhere:/x.fdb' user 'SYSDBA' password 'x';\r\n"
            "insert into T (A, B) values (1, 'Аптека');\r\ncommit;\r\n"
            "create table U (A integer);\r\n"
            "insert into T (A) values (2);\r\n"_cp);
  const ToolResult r = Tool(work.path(), {"sql-run", db.Connection(), "1201.sql"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Скрипт 1201.sql ...\nСкрипт 1201.sql - OK\n");
  EXPECT_EQ(Count(db, "select list(A || coalesce(B, '')) from T"), "1Аптека"_cp);
  EXPECT_EQ(Count(db, "select count(*) from RDB$RELATIONS where RDB$RELATION_NAME = 'U'"), "0");
  EXPECT_EQ(ReadFile(work / "sqlExec_DDL.log"), "create table U (A integer)\r\n");
  EXPECT_EQ(ReadFile(work / "sqlExec_DML.log"), "insert into T (A) values (2)\r\n");
  // With --autoddl the DDL is committed on its own.
  EXPECT_EQ(Tool(work.path(), {"sql-run", db.Connection(), "1201.sql", "--autoddl"}).exit_code, 0);
  EXPECT_EQ(Count(db, "select count(*) from RDB$RELATIONS where RDB$RELATION_NAME = 'U'"), "1");
}

TEST_F(SqlRunTool, ErrorsEndTheRunWithTheUtilitysTexts) {
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  TempDir work;
  WriteFile(work / "bad.sql", "insert into T values (1);\r\ncommit;\r\ninsert into T values ('x');\r\n");
  ToolResult r = Tool(work.path(), {"sql-run", db.Connection(), "bad.sql"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Скрипт bad.sql ...\n");
  EXPECT_EQ(r.err.rfind("Ошибка: insert into T values ('x') ", 0), 0u) << r.err;
  EXPECT_EQ(Count(db, "select count(*) from T"), "1");

  WriteFile(work / "parse.sql", "insert into T values (5);\r\ncommit;\r\nmerge into T using T on 1 = 1;\r\n");
  r = Tool(work.path(), {"sql-run", db.Connection(), "parse.sql"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Ошибка разбора скрипта: merge into T using T on 1 = 1 Invalid statement\n");
  EXPECT_EQ(Count(db, "select count(*) from T"), "1");  // nothing of it ran

  r = Tool(work.path(), {"sql-run", std::string(fb::testing::kServerPrefix) + "/nonexistent/x.fdb", "bad.sql"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind(Text("Ошибка открытия БД.\r\n"), 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace korvel::testing
