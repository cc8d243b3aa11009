#include "scripts/sql_parser.h"

#include <gtest/gtest.h>

#include <map>

#include "host/exception.h"
#include "scripts/script_text.h"

namespace korvel::scripts {
namespace {

// What the parser handed out, one entry per event.
struct Event {
  std::string kind;  // kind name, or "ERROR"
  std::string text;  // SQLText (or "message|SQLText" for errors)
  int line;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << "{" << e.kind << ", \"" << e.text << "\", " << e.line << "}";
}

struct ParseRun {
  std::vector<Event> events;
  std::string terminator;
};

ParseRun Parse(std::string_view script, std::string terminator = ";",
          std::map<std::string, std::string> files = {}) {
  TSqlParser parser([files](const std::string& name) {
    auto it = files.find(name);
    if (it == files.end()) throw Exception("Cannot open file \"" + name + "\"");
    return SplitLines(it->second);
  });
  parser.Script() = SplitLines(script);
  parser.SetTerminator(terminator);
  ParseRun run;
  parser.OnParse = [&](TSqlParser& p, TSqlParseKind kind, const std::string& text) {
    run.events.push_back({SqlParseKindName(kind), text, p.StatementStartLine()});
  };
  parser.OnError = [&](TSqlParser&, const std::string& error, const std::string& text, int line) {
    run.events.push_back({"ERROR", error + "|" + text, line});
  };
  parser.Parse();
  EXPECT_TRUE(parser.Finished());
  run.terminator = parser.Terminator();
  return run;
}

std::vector<Event> Events(std::string_view script, std::string terminator = ";") {
  return Parse(script, std::move(terminator)).events;
}

std::vector<std::string> Tokens(std::string_view script, std::string terminator = ";") {
  TSqlParser parser;
  parser.Script() = SplitLines(script);
  parser.SetTerminator(terminator);
  std::vector<std::string> tokens;
  parser.OnParse = [&](TSqlParser& p, TSqlParseKind, const std::string&) { tokens = p.Tokens(); };
  parser.OnError = [&](TSqlParser& p, const std::string&, const std::string&, int) { tokens = p.Tokens(); };
  parser.Parse();
  return tokens;
}

TSqlParseKind KindOf(std::vector<std::string> tokens, std::string_view terminator = ";") {
  return TSqlParser::Classify(tokens, terminator);
}

TEST(SqlParserClassify, EveryRowOfTheTable) {
  EXPECT_EQ(KindOf({}), stmtEMPTY);
  EXPECT_EQ(KindOf({"quit"}), stmtEMPTY);
  EXPECT_EQ(KindOf({"QUIT", "NOW"}), stmtEMPTY);
  EXPECT_EQ(KindOf({"COMMIT"}), stmtCOMMIT);
  EXPECT_EQ(KindOf({"commit", "work"}), stmtCOMMIT);
  EXPECT_EQ(KindOf({"Rollback"}), stmtROLLBACK);
  EXPECT_EQ(KindOf({"RECONNECT"}), stmtReconnect);
  EXPECT_EQ(KindOf({"DESCRIBE"}), stmtDESCRIBE);
  EXPECT_EQ(KindOf({"SELECT"}), stmtERR);
  EXPECT_EQ(KindOf({"stray"}), stmtERR);
  for (const char* dml : {"insert", "DELETE", "SELECT", "UPDATE", "EXECUTE"}) EXPECT_EQ(KindOf({dml, "x"}), stmtDML);
  EXPECT_EQ(KindOf({"ALTER", "TRIGGER", "T", "INACTIVE", ";"}), stmtDML);
  EXPECT_EQ(KindOf({"alter", "trigger", "t", "active", ";"}), stmtDML);
  EXPECT_EQ(KindOf({"ALTER", "TRIGGER", "T", "INACTIVE", "^"}, "^"), stmtDML);
  EXPECT_EQ(KindOf({"ALTER", "TRIGGER", "T", "INACTIVE"}), stmtDDL);
  EXPECT_EQ(KindOf({"ALTER", "TRIGGER", "T", "INACTIVE", "x"}), stmtDDL);
  EXPECT_EQ(KindOf({"INPUT", "'a.sql'"}), stmtINPUT);
  EXPECT_EQ(KindOf({"CONNECT", "'db'"}), stmtCONNECT);
  EXPECT_EQ(KindOf({"CREATE", "DATABASE", "'x'"}), stmtCREATE);
  EXPECT_EQ(KindOf({"create", "schema", "'x'"}), stmtCREATE);
  EXPECT_EQ(KindOf({"DROP", "DATABASE"}), stmtDrop);
  for (const char* ddl : {"DECLARE", "CREATE", "ALTER", "RECREATE", "GRANT", "REVOKE", "DROP"}) {
    EXPECT_EQ(KindOf({ddl, "TABLE", "T"}), stmtDDL) << ddl;
  }
  EXPECT_EQ(KindOf({"SET", "GENERATOR", "G", "TO", "5"}), stmtDDL);
  EXPECT_EQ(KindOf({"SET", "TERM", "^"}), stmtTERM);
  EXPECT_EQ(KindOf({"SET", "TERM"}), stmtERR);
  EXPECT_EQ(KindOf({"SET", "TERM", "^", "!"}), stmtERR);
  EXPECT_EQ(KindOf({"SET", "SQL", "DIALECT", "3"}), stmtSET);
  EXPECT_EQ(KindOf({"SET", "SQL", "DIALECT"}), stmtERR);
  EXPECT_EQ(KindOf({"SET", "SQL", "MODE", "3"}), stmtERR);
  for (const char* word : {"AUTODDL", "STATISTICS", "NAMES", "CLIENTLIB", "BLOBFILE"}) {
    EXPECT_EQ(KindOf({"SET", word, "x"}), stmtSET) << word;
    EXPECT_EQ(KindOf({"SET", word, "x", "y"}), stmtERR) << word;
  }
  EXPECT_EQ(KindOf({"SET", "TRANSACTION"}), stmtERR);
  for (const char* other : {"--", "WITH", "MERGE", "COMMENT"}) EXPECT_EQ(KindOf({other, "x"}), stmtERR) << other;
}

TEST(SqlParserClassify, KindNamesKeepTheirOrder) {
  EXPECT_STREQ(SqlParseKindName(stmtDDL), "stmtDDL");
  EXPECT_EQ(static_cast<int>(stmtALTER), 6);
  EXPECT_EQ(static_cast<int>(stmtERR), 11);
  EXPECT_STREQ(SqlParseKindName(stmtDESCRIBE), "stmtDESCRIBE");
  EXPECT_EQ(static_cast<int>(stmtDESCRIBE), 15);
}

TEST(SqlParser, SplitsStatementsWithTheirStartLines) {
  EXPECT_EQ(Events("create table t (a integer);\n"
                   "\n"
                   "insert into t values (1); insert into t\n"
                   "  values (2);\n"
                   "commit;"),
            (std::vector<Event>{{"stmtDDL", "create table t (a integer)", 0},
                                {"stmtDML", "insert into t values (1)", 2},
                                {"stmtDML", "insert into t\r\n  values (2)", 2},
                                {"stmtCOMMIT", "commit", 4}}));
}

TEST(SqlParser, LastStatementWithoutTerminatorStillComes) {
  EXPECT_EQ(Events("insert into t values (1);\ninsert into t values (2)"),
            (std::vector<Event>{{"stmtDML", "insert into t values (1)", 0},
                                {"stmtDML", "insert into t values (2)", 1}}));
  // Blank lines after it stay in its raw text.
  EXPECT_EQ(Events("delete from t\n\n  \n"), (std::vector<Event>{{"stmtDML", "delete from t\r\n\r\n  ", 0}}));
}

TEST(SqlParser, TextKeepsInnerBlanksAndCommentsButNotTheTerminator) {
  EXPECT_EQ(Events("update t /* all */ set a = 1 ;"),
            (std::vector<Event>{{"stmtDML", "update t /* all */ set a = 1 ", 0}}));
  EXPECT_EQ(Tokens("update t /* all */ set a = 1 ;"), (std::vector<std::string>{"update", "t", "set", "a", "=", "1"}));
}

TEST(SqlParser, LeadingBlockCommentsAreSkippedAcrossLines) {
  EXPECT_EQ(Events("/* PrivateScript {x}\n"
                   "   still the comment */ /* another */\n"
                   "\n"
                   "/* and one more\n"
                   "*/ insert into t values (1);"),
            (std::vector<Event>{{"stmtDML", "insert into t values (1)", 4}}));
  EXPECT_EQ(Events("/**/commit;/*/ still */ rollback"),
            (std::vector<Event>{{"stmtCOMMIT", "commit", 0}, {"stmtROLLBACK", "rollback", 0}}));
  EXPECT_EQ(Events("/* only a comment */"), std::vector<Event>{});
}

TEST(SqlParser, UnterminatedLeadingCommentIsInvalidComment) {
  EXPECT_EQ(Events("commit;\n/* never\nclosed; insert into t values (1);\n"),
            (std::vector<Event>{{"stmtCOMMIT", "commit", 0}, {"ERROR", "Invalid Comment|", 0}}));
}

TEST(SqlParser, DashDashIsNotAComment) {
  // The comment line joins the statement after it, which then is no known
  // statement; a ";" inside such a line ends a statement.
  EXPECT_EQ(Events("-- the table\ncreate table t (a integer);"),
            (std::vector<Event>{{"ERROR", "Invalid statement|-- the table\r\ncreate table t (a integer)", 0}}));
  EXPECT_EQ(Events("commit; -- done; really\n"),
            (std::vector<Event>{{"stmtCOMMIT", "commit", 0}, {"ERROR", "Invalid statement|-- done", 0},
                                {"ERROR", "Invalid statement|really", 0}}));
}

TEST(SqlParser, TerminatorInsideQuotesAndCommentsDoesNotEnd) {
  EXPECT_EQ(Events("insert into t values ('a;b', \"c;d\") /* e;f */;"),
            (std::vector<Event>{{"stmtDML", "insert into t values ('a;b', \"c;d\") /* e;f */", 0}}));
  EXPECT_EQ(Events("insert into t values ('it''s; fine');"),
            (std::vector<Event>{{"stmtDML", "insert into t values ('it''s; fine')", 0}}));
  EXPECT_EQ(Events("insert into t values ('a\"b;c');"),
            (std::vector<Event>{{"stmtDML", "insert into t values ('a\"b;c')", 0}}));
  EXPECT_EQ(Events("insert into t values ('multi\nline; text');"),
            (std::vector<Event>{{"stmtDML", "insert into t values ('multi\r\nline; text')", 0}}));
  EXPECT_EQ(Events("update t set a = 1 /* spans;\nlines; */ where b = 2;"),
            (std::vector<Event>{{"stmtDML", "update t set a = 1 /* spans;\r\nlines; */ where b = 2", 0}}));
}

TEST(SqlParser, TokensLoseParenthesesAndKeepQuotes) {
  EXPECT_EQ(Tokens("insert into t(a, b) values ('x y', (2));"),
            (std::vector<std::string>{"insert", "into", "t", "a,", "b", "values", "'x y'", ",", "2"}));
  // The last token, ended by the terminator, is upper-cased.
  EXPECT_EQ(Tokens("set autoddl on;"), (std::vector<std::string>{"set", "autoddl", "ON"}));
  EXPECT_EQ(Tokens("set autoddl on ;"), (std::vector<std::string>{"set", "autoddl", "on"}));
}

TEST(SqlParser, ProcedureAndTriggerBodiesUnderSemicolon) {
  const std::string procedure =
      "create procedure p (a integer)\n"
      "returns (b integer)\n"
      "as\n"
      "begin\n"
      "  b = :a + 1;\n"
      "  if (b > 2) then b = 2;\n"
      "  suspend;\n"
      "end;\n";
  EXPECT_EQ(Events(procedure + "commit;"),
            (std::vector<Event>{{"stmtDDL",
                                 "create procedure p (a integer)\r\nreturns (b integer)\r\nas\r\nbegin\r\n"
                                 "  b = :a + 1;\r\n  if (b > 2) then b = 2;\r\n  suspend;\r\nend;",
                                 0},
                                {"stmtCOMMIT", "commit", 8}}));
  EXPECT_EQ(Events("CREATE TRIGGER T_BI FOR T ACTIVE BEFORE INSERT POSITION 0 AS\n"
                   "BEGIN NEW.A = 1; END ;\nCOMMIT WORK;"),
            (std::vector<Event>{
                {"stmtDDL", "CREATE TRIGGER T_BI FOR T ACTIVE BEFORE INSERT POSITION 0 AS\r\nBEGIN NEW.A = 1; END ;", 0},
                {"stmtCOMMIT", "COMMIT WORK", 2}}));
  EXPECT_EQ(Events("create or alter procedure p as begin exit; end;\nrecreate procedure q as begin exit; END;"),
            (std::vector<Event>{{"stmtDDL", "create or alter procedure p as begin exit; end;", 0},
                                {"stmtDDL", "recreate procedure q as begin exit; END;", 1}}));
}

TEST(SqlParser, StatementsNamingProceduresEndAtTheFirstSemicolon) {
  EXPECT_EQ(Events("grant execute on procedure p to public;\n"
                   "revoke execute on procedure p from public;\n"
                   "drop procedure p;\n"
                   "drop trigger t;\n"
                   "execute procedure p(1);\n"
                   "commit;"),
            (std::vector<Event>{{"stmtDDL", "grant execute on procedure p to public", 0},
                                {"stmtDDL", "revoke execute on procedure p from public", 1},
                                {"stmtDDL", "drop procedure p", 2},
                                {"stmtDDL", "drop trigger t", 3},
                                {"stmtDML", "execute procedure p(1)", 4},
                                {"stmtCOMMIT", "commit", 5}}));
}

TEST(SqlParser, ExecuteBlockIsCutUnlessTheTerminatorChanges) {
  EXPECT_EQ(Events("execute block as begin insert into t values (1); end;"),
            (std::vector<Event>{{"stmtDML", "execute block as begin insert into t values (1)", 0},
                                {"ERROR", "Invalid statement|end", 0}}));
  EXPECT_EQ(Events("set term ^ ;\nexecute block as begin insert into t values (1); end^\nset term ; ^\ncommit;"),
            (std::vector<Event>{{"stmtTERM", "^", 0},
                                {"stmtDML", "execute block as begin insert into t values (1); end", 1},
                                {"stmtTERM", ";", 2},
                                {"stmtCOMMIT", "commit", 3}}));
}

TEST(SqlParser, AlterTriggerInactive) {
  EXPECT_EQ(Events("alter trigger t_bi inactive ;\ncommit;"),
            (std::vector<Event>{{"stmtDML", "alter trigger t_bi inactive ;", 0}, {"stmtCOMMIT", "commit", 1}}));
  EXPECT_EQ(Tokens("ALTER TRIGGER T_BI ACTIVE ;"), (std::vector<std::string>{"ALTER", "TRIGGER", "T_BI", "ACTIVE", ";"}));
  // Written without the blank the statement runs on into the next one.
  EXPECT_EQ(Events("alter trigger t_bi inactive;\ncommit;\nupdate t set a = 1;"),
            (std::vector<Event>{{"stmtDDL", "alter trigger t_bi inactive;\r\ncommit;\r\nupdate t set a = 1;", 0}}));
  // Under another terminator there is no body mode: a plain DDL statement.
  EXPECT_EQ(Events("alter trigger t_bi inactive^", "^"),
            (std::vector<Event>{{"stmtDDL", "alter trigger t_bi inactive", 0}}));
}

TEST(SqlParser, SetTermForms) {
  ParseRun run = Parse("set term ^ ;\ncreate procedure p as begin exit; end^\nset term ; ^\ncommit;");
  EXPECT_EQ(run.events, (std::vector<Event>{{"stmtTERM", "^", 0},
                                            {"stmtDDL", "create procedure p as begin exit; end", 1},
                                            {"stmtTERM", ";", 2},
                                            {"stmtCOMMIT", "commit", 3}}));
  EXPECT_EQ(run.terminator, ";");
  run = Parse("SET TERM !! ;\nselect 1 from rdb$database!!");
  EXPECT_EQ(run.events,
            (std::vector<Event>{{"stmtTERM", "!!", 0}, {"stmtDML", "select 1 from rdb$database", 1}}));
  EXPECT_EQ(run.terminator, "!!");
  EXPECT_EQ(Events("set term;"), (std::vector<Event>{{"ERROR", "Invalid statement|set term", 0}}));
  EXPECT_EQ(Events("set term ^ ! ;"), (std::vector<Event>{{"ERROR", "Invalid statement|set term ^ ! ", 0}}));
  EXPECT_EQ(Events("set term ^;\ncommit^"), (std::vector<Event>{{"stmtTERM", "^", 0}, {"stmtCOMMIT", "commit", 1}}));
}

TEST(SqlParser, SetStatementsPassTheirWords) {
  EXPECT_EQ(Events("set autoddl off;\nSET SQL DIALECT 3;\nset names win1251;\nset statistics on;"),
            (std::vector<Event>{{"stmtSET", "autoddl OFF", 0},
                                {"stmtSET", "SQL DIALECT 3", 1},
                                {"stmtSET", "names WIN1251", 2},
                                {"stmtSET", "statistics ON", 3}}));
  EXPECT_EQ(Events("set generator g to 10;"), (std::vector<Event>{{"stmtDDL", "set generator g to 10", 0}}));
  EXPECT_EQ(Events("set statistics index ix;"),
            (std::vector<Event>{{"ERROR", "Invalid statement|set statistics index ix", 0}}));
}

TEST(SqlParser, CommitWorkRollbackQuitAndEmptyStatements) {
  EXPECT_EQ(Events("commit work;;\n;quit;\nrollback;\nselect 1 from rdb$database"),
            (std::vector<Event>{{"stmtCOMMIT", "commit work", 0},
                                {"stmtROLLBACK", "rollback", 2},
                                {"stmtDML", "select 1 from rdb$database", 3}}));
}

TEST(SqlParser, SingleWordAndUnknownStatementsAreErrors) {
  EXPECT_EQ(Events("vacuum;\nmerge into t using s on 1 = 1 when matched then delete;"),
            (std::vector<Event>{{"ERROR", "Invalid statement|vacuum", 0},
                                {"ERROR", "Invalid statement|merge into t using s on 1 = 1 when matched then delete", 1}}));
}

TEST(SqlParser, InputReadsAFileBeforeTheRestOfTheScript) {
  ParseRun run = Parse("insert into t values (1);\ninput 'more.sql';\ninsert into t values (4);", ";",
                  {{"more.sql", "insert into t values (2);\ninsert into t values (3);"}});
  EXPECT_EQ(run.events, (std::vector<Event>{{"stmtDML", "insert into t values (1)", 0},
                                            {"stmtINPUT", "input 'more.sql'", 1},
                                            {"stmtDML", "insert into t values (2)", 1},
                                            {"stmtDML", "insert into t values (3)", 1},
                                            {"stmtDML", "insert into t values (4)", 2}}));
  run = Parse("INPUT \"missing.sql\";\ncommit;");
  EXPECT_EQ(run.events, (std::vector<Event>{{"ERROR", "Cannot open file \"missing.sql\"|INPUT \"missing.sql\"", 0},
                                            {"stmtCOMMIT", "commit", 1}}));
}

TEST(SqlParser, InputNameWrittenBareBeforeTheTerminatorIsUpperCased) {
  // Like every last token ended by the terminator; Windows finds the file
  // all the same, a case-sensitive file system does not.
  ParseRun run = Parse("input more.sql;", ";", {{"MORE.SQL", "commit;"}});
  EXPECT_EQ(run.events, (std::vector<Event>{{"stmtINPUT", "input more.sql", 0}, {"stmtCOMMIT", "commit", 0}}));
}

TEST(SqlParser, InputThatNamesItselfEnds) {
  ParseRun run = Parse("input 'loop.sql';\ncommit;", ";", {{"loop.sql", "input 'loop.sql';"}});
  ASSERT_GE(run.events.size(), 2u);
  EXPECT_EQ(run.events[run.events.size() - 2], (Event{"ERROR", "Too many nested INPUT files|input 'loop.sql'", 0}));
  EXPECT_EQ(run.events.back(), (Event{"stmtCOMMIT", "commit", 1}));
  EXPECT_EQ(run.events.size(), static_cast<std::size_t>(TSqlParser::kMaxInputChain) + 3);
}

TEST(SqlParser, DescribeIsPackedForTheRunner) {
  auto describe = [](std::string_view script) {
    std::vector<Event> events = Events(script);
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(events.empty() ? "" : events[0].kind, "stmtDESCRIBE");
    return UnpackDescribe(events.empty() ? "" : events[0].text);
  };
  DescribeText d = describe("describe table orders 'Заказы; it''s them';");
  EXPECT_EQ(d.kind, "TABLE");
  EXPECT_EQ(d.name, "ORDERS");
  EXPECT_EQ(d.owner, "");
  EXPECT_EQ(d.description, "Заказы; it's them");
  d = describe("DESCRIBE FIELD qty TABLE orders 'How many';");
  EXPECT_EQ(d.kind, "FIELD");
  EXPECT_EQ(d.name, "QTY");
  EXPECT_EQ(d.owner, "ORDERS");
  EXPECT_EQ(d.description, "How many");
  d = describe("describe parameter \"Amount\" procedure p_calc 'multi\nline';");
  EXPECT_EQ(d.kind, "PARAMETER");
  EXPECT_EQ(d.name, "Amount");
  EXPECT_EQ(d.owner, "P_CALC");
  EXPECT_EQ(d.description, "multi\r\nline");
  d = describe("describe field qty orders 'x';");
  EXPECT_EQ(d.owner, "ORDERS");
  d = describe("describe;");
  EXPECT_EQ(d.kind, "");
  // DESCRIBE PROCEDURE does not start body mode.
  EXPECT_EQ(Events("describe procedure p 'x';\ncommit;").size(), 2u);
}

TEST(SqlParser, PausedStopsAfterTheStatementAndResumes) {
  TSqlParser parser;
  parser.Script() = SplitLines("insert into t values (1);\nvacuum;\ninsert into t values (2);");
  std::vector<std::string> seen;
  parser.OnParse = [&](TSqlParser&, TSqlParseKind, const std::string& text) { seen.push_back(text); };
  parser.OnError = [&](TSqlParser& p, const std::string& error, const std::string&, int) {
    seen.push_back(error);
    p.SetPaused(true);
  };
  parser.Parse();
  EXPECT_EQ(seen, (std::vector<std::string>{"insert into t values (1)", "Invalid statement"}));
  EXPECT_TRUE(parser.Paused());
  EXPECT_FALSE(parser.Finished());
  parser.SetPaused(false);
  EXPECT_EQ(seen.back(), "insert into t values (2)");
  EXPECT_TRUE(parser.Finished());
  // Reset starts again from the first line.
  parser.Reset();
  seen.clear();
  parser.Parse();
  EXPECT_EQ(seen.size(), 2u);
}

TEST(SqlParser, ExceptionsFromEventsPassThroughAndTheParserCanRunAgain) {
  TSqlParser parser;
  parser.Script() = SplitLines("vacuum;\ncommit;");
  parser.OnError = [](TSqlParser&, const std::string& error, const std::string& text, int) {
    throw Exception(text + " " + error);
  };
  try {
    parser.Parse();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "vacuum Invalid statement");
  }
  int commits = 0;
  parser.OnParse = [&](TSqlParser&, TSqlParseKind kind, const std::string&) { commits += kind == stmtCOMMIT; };
  parser.Parse();  // goes on after the failed statement
  EXPECT_EQ(commits, 1);
}

TEST(SqlParser, EmptyTerminatorIsRefused) {
  TSqlParser parser;
  parser.SetTerminator("");
  EXPECT_EQ(parser.Terminator(), ";");
}

TEST(SqlParser, UnbalancedQuotesRunToTheEnd) {
  EXPECT_EQ(Events("insert into t values ('open;\ncommit;"),
            (std::vector<Event>{{"stmtDML", "insert into t values ('open;\r\ncommit;", 0}}));
  EXPECT_EQ(Events("update t set \"a = 1;"), (std::vector<Event>{{"stmtDML", "update t set \"a = 1;", 0}}));
}

TEST(SqlParser, UnquoteTakesOneQuoteEachSide) {
  EXPECT_EQ(Unquote("'a.sql'"), "a.sql");
  EXPECT_EQ(Unquote("\"a.sql\""), "a.sql");
  EXPECT_EQ(Unquote("''a''"), "'a'");
  EXPECT_EQ(Unquote("a"), "a");
  EXPECT_EQ(Unquote("'"), "");
}

}  // namespace
}  // namespace korvel::scripts
