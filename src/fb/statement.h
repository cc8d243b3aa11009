// Prepared SQL statements (the client's DSQL with XSQLDA descriptors), their
// input parameters and the columns of their rows, and Query, the
// dataset-like wrapper the program's steps use: SQL text as lines, the
// transaction started on demand, the first row fetched on Open.
//
// A Statement belongs to one Database and runs in one Transaction, both
// given at construction and outliving it (database.h). Reading a column
// when there is no current row gives null: IsNull true, AsInteger 0,
// AsString "".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fb/database.h"
#include "host/datetime.h"

namespace korvel::fb {

// The statement kinds of isc_info_sql_stmt_type, by their numbers.
enum class StatementType {
  kUnknown = 0,
  kSelect = 1,
  kInsert = 2,
  kUpdate = 3,
  kDelete = 4,
  kDDL = 5,
  kGetSegment = 6,
  kPutSegment = 7,
  kExecProcedure = 8,
  kStartTransaction = 9,
  kCommit = 10,
  kRollback = 11,
  kSelectForUpdate = 12,
  kSetGenerator = 13,
  kSavePoint = 14,
};

class Statement;

// One column of the current row.
class Field {
 public:
  const std::string& Name() const;
  bool IsNull() const;
  // Integers and scaled numbers (rounded), floating values (rounded),
  // booleans (0/1) and texts holding a decimal integer (blanks trimmed;
  // otherwise EConvertError "'<text>' is not a valid integer value").
  // Outside the 32-bit range: EIBClientError.
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  // Texts as stored (CHAR keeps its padding), BLOBs read whole, numbers in
  // decimal with the program's decimal separator, dates and times with the
  // program's formats, booleans "True"/"False".
  std::string AsString() const;
  TDateTime AsDateTime() const;
  // A CHAR or VARCHAR column.
  bool IsCharacter() const;

 private:
  friend class Statement;
  friend class Param;
  Field(const Statement& statement, int index) : statement_(&statement), index_(index) {}
  const Statement* statement_;
  int index_;
};

// An input parameter: every position of the statement with one name (or one
// unnamed position). Values are sent at the next Execute; a parameter never
// set is null. A string set on a BLOB parameter is written as a new BLOB in
// the statement's transaction when the statement executes.
class Param {
 public:
  void Clear();  // null
  void SetInteger(std::int64_t value);
  void SetString(std::string_view value);
  // The field's current value as it stands, of the column's own type (null
  // without a current row; a BLOB by its id), for statements that write a
  // row's values back. The field's statement must be on the same database.
  void Assign(const Field& field);

 private:
  friend class Statement;
  Param(Statement& statement, std::vector<int> positions)
      : statement_(&statement), positions_(std::move(positions)) {}
  Statement* statement_;
  std::vector<int> positions_;
};

class Statement {
 public:
  Statement(Database& database, Transaction& transaction);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Prepares `sql` (the transaction must be active). With parse_params,
  // ":name" and "?name" outside quotes and comments become named
  // parameters and a lone "?" an unnamed one; without it the text goes to
  // the server as it stands (DDL with procedure bodies). Raises the
  // server's error for bad SQL.
  void Prepare(std::string_view sql, bool parse_params = true);
  bool Prepared() const;
  StatementType Type() const;
  // Releases the prepared statement on the server.
  void Free();

  int ParamCount() const;
  // The name of the parameter at `index` as written, or "" when unnamed.
  const std::string& ParamName(int index) const;
  // Every position named `name` (letter case ignored); EIBClientError
  // "Parameter '<name>' not found" when there is none.
  Param ParamByName(std::string_view name);
  Param Params(int index);

  // Runs the prepared statement with the parameters set. A select opens a
  // cursor whose rows Fetch brings; an executable procedure's output row
  // becomes the current row; anything else runs to completion. A cursor
  // still open from an earlier run is closed first.
  void Execute();
  // Brings the next row of the cursor; false at its end (the cursor is then
  // closed and there is no current row).
  bool Fetch();
  // Closes the cursor; nothing happens when none is open.
  void Close();
  bool CursorOpen() const;
  bool HasRow() const;

  int FieldCount() const;
  const std::string& FieldName(int index) const;
  // Index of the column named `name` (its alias; letter case ignored), or -1.
  int FieldIndex(std::string_view name) const;
  // EIBClientError "Field '<name>' not found" when the statement has no
  // such column.
  Field FieldByName(std::string_view name) const;
  Field Fields(int index) const;

  Database& GetDatabase() const;
  Transaction& GetTransaction() const;

 private:
  friend class Database;
  friend class Field;
  friend class Param;
  struct Impl;
  // Called by the database: the attachment is going away.
  void Release();
  // Called by the database when it is destroyed before this statement.
  void DatabaseGone();
  // Called by the database before the transaction ends, and when it is
  // destroyed.
  void TransactionEnding(Transaction& transaction);
  void TransactionGone(Transaction& transaction);

  std::unique_ptr<Impl> impl_;
};

// A select or any other statement held as lines of text, in the manner of
// the program's query components.
class Query {
 public:
  Query(Database& database, Transaction& transaction);

  // The statement's lines, sent joined by CR LF.
  std::vector<std::string> SQL;

  // Starts the transaction when it is not active and prepares the text
  // unless it is already prepared unchanged.
  void Prepare();
  // Prepare, then the parameter (see Statement::ParamByName).
  Param ParamByName(std::string_view name);
  // Prepare, execute and fetch the first row.
  void Open();
  bool Active() const { return statement_.CursorOpen() || statement_.HasRow(); }
  // No current row: an empty result or past the last row.
  bool Eof() const { return !statement_.HasRow(); }
  void Next() { statement_.Fetch(); }
  void Close() { statement_.Close(); }
  Field FieldByName(std::string_view name) const { return statement_.FieldByName(name); }

  Statement& GetStatement() { return statement_; }

 private:
  Statement statement_;
  std::string prepared_text_;
};

}  // namespace korvel::fb
