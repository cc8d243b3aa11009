// TSqlScript runs an SQL script against a Firebird database: it owns a
// TSqlParser, receives each statement the parser reads and executes it at
// once, in script order, so a failure leaves every earlier statement
// executed (and uncommitted unless the script committed it).
//
// What the runner does with each kind of statement:
//   DDL       in the internal transaction, committed after each statement,
//             when AutoDDL; else in Transaction. Sent as written (no
//             parameters, so procedure bodies may use ":variable").
//   DML       prepared and executed in Transaction; a ":name" outside
//             quotes becomes a parameter that stays null, except "H..."
//             names, which take bytes of the SET BLOBFILE file.
//   SET       AUTODDL ON|OFF, SQL DIALECT n, NAMES charset (for the next
//             CONNECT), BLOBFILE 'file'; STATISTICS and CLIENTLIB do nothing.
//   SET TERM  changes Terminator, which the next run starts with.
//   COMMIT / ROLLBACK   end Transaction when it is active.
//   CONNECT / CREATE DATABASE / DROP DATABASE / RECONNECT   re-attach
//             Database; closing it rolls back whatever was not committed.
//   DESCRIBE  sets RDB$DESCRIPTION of an object in the internal
//             transaction, committed at once.
// Transaction is started whenever a statement needs it and is inactive.
// Nothing else is committed by the runner.
//
// Every DDL and DML statement is written to LastDDLQueryLog /
// LastDMLQueryLog (when set) just before it runs, each time replacing the
// file, so after a failure they hold the statement that failed.
//
// Failures: a parse error goes to OnParseError; a database error
// (fb::EIBError) while executing goes to OnExecuteError, or propagates out
// of RunScript when none is set. Either stops the pass after the statement
// (unless the handler sets Ignore). Other exceptions propagate unchanged.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fb/database.h"
#include "fb/statement.h"
#include "host/host.h"
#include "scripts/sql_parser.h"

namespace korvel::scripts {

class TSqlScript;

using TSqlScriptParseErrorEvent =
    std::function<void(TSqlScript& Sender, const std::string& Error, const std::string& SQLText, int LineIndex)>;
using TSqlExecuteErrorEvent = std::function<void(TSqlScript& Sender, const std::string& Error,
                                                 const std::string& SQLText, int LineIndex, bool& Ignore)>;
// Every statement the parser hands out, in the check pass as well, before
// the runner acts on it.
using TSqlScriptParseEvent =
    std::function<void(TSqlScript& Sender, TSqlParseKind AKind, const std::string& SQLText, int LineIndex)>;

// The texts the utility's two error handlers raise:
// "Ошибка разбора скрипта: " + statement + " " + error, and
// "Ошибка: " + statement + " " + error.
std::string ParseErrorMessage(const std::string& sql_text, const std::string& error);
std::string ExecuteErrorMessage(const std::string& sql_text, const std::string& error);

class TSqlScript {
 public:
  // The host serves INPUT files, BLOBFILE and the statement logs.
  explicit TSqlScript(host::Host& host);
  ~TSqlScript();
  TSqlScript(const TSqlScript&) = delete;
  TSqlScript& operator=(const TSqlScript&) = delete;

  // The connection for all work and the transaction for DML (and for DDL
  // without AutoDDL); both outlive the runner. Only RunScript needs them.
  fb::Database* Database = nullptr;
  fb::Transaction* Transaction = nullptr;
  // The terminator a pass starts with; SET TERM in a run changes it.
  std::string Terminator = ";";
  bool AutoDDL = true;
  // Database counters around a run: not collected (kept for the settings).
  bool Statistics = false;
  std::string LastDDLQueryLog;
  std::string LastDMLQueryLog;
  // The dialect CONNECT and SET SQL DIALECT give the database.
  int SQLDialect = 3;

  TSqlScriptParseErrorEvent OnParseError;
  TSqlExecuteErrorEvent OnExecuteError;
  TSqlScriptParseEvent OnParse;

  // The script's lines (the parser's own list): clear, fill, then check or
  // run.
  std::vector<std::string>& Script() { return parser_.Script(); }
  TSqlParser& Parser() { return parser_; }

  // Reads and classifies every statement from the first line without
  // executing anything; SET, SET TERM and COMMIT have no effect on the
  // runner (the parser follows SET TERM itself). True unless a parse error
  // was reported. Starts with Terminator, as RunScript does.
  bool CheckScript();
  // Runs the script from the first line, each statement as it is read.
  // Raises EIBClientError when Database or Transaction is not assigned.
  void RunScript();

 private:
  void StatementRead(TSqlParseKind kind, const std::string& text);
  void ParseError(const std::string& error, const std::string& text, int line);
  void Execute(TSqlParseKind kind, const std::string& text);
  void ExecuteDDL(const std::string& text);
  void ExecuteDML(const std::string& text);
  bool PlainChange(const std::string& text) const;
  void ExecuteSet();
  void Connect();
  void CreateDatabase();
  void Describe(const std::string& packed);
  fb::Transaction& InternalTransaction();
  void SaveLog(const std::string& file, const std::string& text);
  void FillBlobParams();

  host::Host& host_;
  TSqlParser parser_;
  bool check_only_ = false;
  bool result_ = true;
  // SET NAMES, for the next CONNECT.
  std::string names_;
  // The SET BLOBFILE file, read whole; only while a run goes on.
  std::string blob_file_;
  bool blob_open_ = false;
  std::unique_ptr<fb::Statement> dml_;
  std::unique_ptr<fb::Transaction> internal_;
  fb::Database* internal_database_ = nullptr;
};

}  // namespace korvel::scripts
