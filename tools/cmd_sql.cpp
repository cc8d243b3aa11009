// korvel-tool sql-check / sql-run: a script's check pass and its run, done
// exactly as the utility's numbered-script step does them, for the office
// (every script is checked before it is packed) and for operators.
#include <cstdio>
#include <memory>
#include <optional>

#include "fb/client_library.h"
#include "fb/database.h"
#include "host/cp1251.h"
#include "host/text.h"
#include "scripts/script_text.h"
#include "scripts/sql_script.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;
using scripts::TSqlParseKind;
using scripts::TSqlScript;

constexpr std::size_t kTextShown = 60;

// One listing row: the 1-based start line, the kind and the statement's
// beginning on one line.
std::string ListingRow(int line_index, TSqlParseKind kind, const std::string& text) {
  std::string shown;
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= ' ') {
      if (!shown.empty() && shown.back() != ' ') shown += ' ';
    } else {
      shown += c;
    }
  }
  if (!shown.empty() && shown.back() == ' ') shown.pop_back();
  if (shown.size() > kTextShown) shown = shown.substr(0, kTextShown) + "...";
  std::string number = IntToStr(line_index + 1);
  if (number.size() < 6) number.insert(0, 6 - number.size(), ' ');
  std::string kind_name = scripts::SqlParseKindName(kind);
  kind_name.resize(14, ' ');
  return number + "  " + kind_name + shown;
}

// The script's lines as the numbered-script step prepares them.
std::vector<std::string> PreparedLines(host::Host& host, const std::string& file) {
  std::vector<std::string> lines = scripts::LoadScriptLines(host, file);
  scripts::CommentOutConnect(lines);
  return lines;
}

// The utility's handlers: every error ends the pass with its message.
void RaiseOnErrors(TSqlScript& script) {
  script.OnParseError = [](TSqlScript&, const std::string& error, const std::string& sql, int) {
    throw Exception(scripts::ParseErrorMessage(sql, error));
  };
  script.OnExecuteError = [](TSqlScript&, const std::string& error, const std::string& sql, int, bool&) {
    throw Exception(scripts::ExecuteErrorMessage(sql, error));
  };
}

int SqlCheck(ToolContext& context) {
  std::string terminator = ";";
  const std::vector<std::string> args = ToolOptions().Value("--term", terminator).Parse(context.args, 1, "FILE");
  host::Host& host = context.host;
  TSqlScript script(host);
  script.Terminator = terminator;
  script.Script() = AboutFile(args[0], [&] { return PreparedLines(host, args[0]); });
  script.OnParse = [&host](TSqlScript&, TSqlParseKind kind, const std::string& text, int line) {
    PrintLine(host, ListingRow(line, kind, text));
  };
  script.OnParseError = [&host](TSqlScript&, const std::string& error, const std::string& sql, int line) {
    if (!sql.empty()) PrintLine(host, ListingRow(line, scripts::stmtERR, sql));
    throw Exception(scripts::ParseErrorMessage(sql, error));
  };
  AboutFile(args[0], [&] { script.CheckScript(); });
  PrintLine(host, "OK");
  return 0;
}

int SqlRun(ToolContext& context) {
  std::string terminator = ";";
  bool auto_ddl = false;
  const std::vector<std::string> args =
      ToolOptions().Value("--term", terminator).Flag("--autoddl", auto_ddl).Parse(context.args, 2, "DATABASE and FILE");
  host::Host& host = context.host;
  const std::string& file = args[1];
  fb::ClientLibrary client(host, fb::DefaultClientLibraryName());
  if (!client.Load()) {
    PrintError("Firebird client library " + client.Name() + " cannot be loaded");
    return 1;
  }
  // The utility's connection and write transaction.
  fb::Database database(client);
  database.DatabaseName = args[0];
  database.Params = {"lc_ctype=WIN1251", std::string("user_name=") + fb::kAdminUser,
                     std::string("password=") + fb::kAdminPassword};
  database.SQLDialect = 3;
  fb::Transaction transaction(database);
  transaction.Params = {"write", "nowait", "concurrency"};

  TSqlScript script(host);
  script.Database = &database;
  script.Transaction = &transaction;
  script.Terminator = terminator;
  script.AutoDDL = auto_ddl;
  script.LastDDLQueryLog = "sqlExec_DDL.log";
  script.LastDMLQueryLog = "sqlExec_DML.log";
  RaiseOnErrors(script);

  const std::string name = host::ExtractFileName(file);
  int code = 0;
  try {
    try {
      database.Open();
    } catch (Exception& e) {
      e.SetMessage("Ошибка открытия БД.\r\n"_cp + e.Message());
      throw;
    }
    PrintLine(host, "Скрипт "_cp + name + " ...");
    script.Script() = PreparedLines(host, file);
    if (script.CheckScript()) script.RunScript();
    PrintLine(host, "Скрипт "_cp + name + " - OK");
  } catch (const Exception& e) {
    PrintError(e.Message());
    code = 1;
  }
  // Whatever the script did not commit itself is undone.
  try {
    if (transaction.InTransaction()) transaction.Rollback();
    database.Close();
  } catch (const Exception& e) {
    PrintError(e.Message());
    code = 1;
  }
  return code;
}

const ToolCommandRegistration kSqlCheck({
    "sql-check",
    "sql-check FILE [--term T]",
    "check an SQL script the way the utility does before running it",
    "Reads FILE (Windows-1251) as the utility's numbered-script step does\n"
    "(one-line CONNECT statements become comments) and runs the check pass:\n"
    "every statement is read and classified, nothing is executed. Lists each\n"
    "statement with its first line, its kind and the start of its text, then\n"
    "prints OK, or the parse error as the utility would log it, after FILE's\n"
    "name on standard error.\n"
    "  --term T   the terminator the script starts with (default \";\";\n"
    "             the pricing-procedure script uses \"^\")\n"
    "Exit code 0 when the script passes, 1 when it does not.",
    SqlCheck,
});

const ToolCommandRegistration kSqlRun({
    "sql-run",
    "sql-run DATABASE FILE [--term T] [--autoddl]",
    "run an SQL script the way the utility runs a numbered script",
    "Connects to DATABASE (a Firebird connection string such as\n"
    "server/3050:/path/base.fdb) as the utility does (SYSDBA, WIN1251,\n"
    "dialect 3), checks FILE and, when the check passes, runs it in the\n"
    "write transaction (snapshot, no wait). Whatever the script has not\n"
    "committed itself is rolled back at the end. The last DDL and DML\n"
    "statements go to sqlExec_DDL.log and sqlExec_DML.log in the current\n"
    "directory. Errors are printed with the utility's texts.\n"
    "  --term T    the terminator the script starts with (default \";\")\n"
    "  --autoddl   commit each DDL statement on its own (as the\n"
    "              pricing-procedure runner does)\n"
    "Exit code 0 when the script ran through, 1 otherwise.",
    SqlRun,
});

}  // namespace
}  // namespace korvel::tool
