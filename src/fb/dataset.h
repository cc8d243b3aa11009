// DataSet: a select whose current row can be edited and written back, in
// the manner of the program's dataset components. The select text and the
// update text are lines, as the components keep them; the update text
// names its parameters after the select's columns (":NAME" or "?NAME"),
// and posting the edited row runs it with each parameter set to that
// column's value in the row: the value set while editing, otherwise the
// value read.
//
// Ownership and lifetime as for Query (statement.h): the Database and the
// Transaction outlive the DataSet. The select and the update run in that
// one transaction; the dataset starts it when opened and never ends it.
// Whatever ends the transaction or the connection (commit, rollback,
// closing the database) closes the dataset as well: it then has no current
// row and is no longer in edit mode.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fb/database.h"
#include "fb/statement.h"

namespace korvel::fb {

class DataSet;

// One column of the dataset's current row.
class DataSetField {
 public:
  // Values as Field reads them (statement.h), after the changes made while
  // editing; CHAR and VARCHAR values trimmed when the dataset says so.
  bool IsNull() const;
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  std::string AsString() const;

  // Only in edit mode (EIBClientError "Dataset not in edit mode").
  void Clear();
  void SetInteger(std::int64_t value);
  void SetString(std::string_view value);

 private:
  friend class DataSet;
  DataSetField(DataSet& dataset, int index) : dataset_(&dataset), index_(index) {}
  DataSet* dataset_;
  int index_;
};

class DataSet {
 public:
  DataSet(Database& database, Transaction& transaction);

  // The select, sent joined by CR LF.
  std::vector<std::string> SelectSQL;
  // The statement Post runs for an edited row, joined the same way.
  std::vector<std::string> UpdateSQL;
  // CHAR and VARCHAR values are read without the blanks around them.
  bool TrimCharFields = false;

  // Starts the transaction when it is not active, prepares the select
  // (again only when its text changed or the connection was closed in
  // between), runs it and fetches the first row. An open dataset is run
  // anew; changes not posted are dropped.
  void Open();
  // Closes the cursor; changes not posted are dropped.
  void Close();
  bool Active() const;
  // No current row: an empty result or past the last row.
  bool Eof() const;
  void Next();

  // Puts the current row into edit mode. EIBClientError "Dataset has no
  // current row" without one.
  void Edit();
  // Runs the update text for the edited row in the transaction and leaves
  // edit mode; the row then reads with its new values. EIBClientError
  // "Dataset not in edit mode" outside edit mode, "Dataset has no update
  // text" without one, "Field '<name>' not found" for a parameter that
  // names no column (or has no name); a failure of the statement leaves
  // the row in edit mode, as it was.
  void Post();
  // Leaves edit mode and drops the changes not posted.
  void Cancel();
  bool Editing() const;

  // EIBClientError "Field '<name>' not found" when the select has no such
  // column.
  DataSetField FieldByName(std::string_view name);

 private:
  friend class DataSetField;
  // A value set on a column: null, an integer or a text.
  struct Value {
    bool null = true;
    bool integer = false;
    std::int64_t number = 0;
    std::string text;
  };
  // The value set on column `index`, posted or pending, or null.
  const Value* Changed(int index) const;
  void Set(int index, Value value);
  void ForgetRow();

  Statement select_;
  Statement update_;
  std::string select_text_;
  std::string update_text_;
  bool editing_ = false;
  // Changes of the current row, by column: made in edit mode, and those
  // already posted.
  std::map<int, Value> pending_;
  std::map<int, Value> posted_;
};

}  // namespace korvel::fb
