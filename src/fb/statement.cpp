#include "fb/statement.h"

#include "fb/named_params.h"
#include "fb/statement_impl.h"
#include "host/text.h"

namespace korvel::fb {

// ---- Statement ----

Statement::Statement(Database& database, Transaction& transaction) : impl_(std::make_unique<Impl>()) {
  if (&transaction.DefaultDatabase() != &database) throw EIBClientError("Transaction belongs to another database");
  impl_->database = &database;
  impl_->transaction = &transaction;
  database.statements_.push_back(this);
}

Statement::~Statement() {
  if (impl_->database == nullptr) return;
  try {
    impl_->CloseCursor();
  } catch (const Exception&) {
    // Freeing the statement below closes the cursor on the server anyway.
  }
  impl_->FreeHandle();
  auto& list = impl_->database->statements_;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void Statement::Release() { impl_->FreeHandle(); }

void Statement::DatabaseGone() {
  impl_->FreeHandle();
  impl_->database = nullptr;
  impl_->transaction = nullptr;
}

void Statement::TransactionGone(Transaction& transaction) {
  if (impl_->transaction != &transaction) return;
  TransactionEnding(transaction);
  impl_->transaction = nullptr;
}

void Statement::TransactionEnding(Transaction& transaction) {
  if (impl_->transaction != &transaction) return;
  try {
    impl_->CloseCursor();
  } catch (const Exception&) {
    // Ending the transaction closes the cursor on the server as well.
  }
}

Database& Statement::GetDatabase() const {
  if (impl_->database == nullptr) throw EIBClientError("Database not assigned");
  return *impl_->database;
}

Transaction& Statement::GetTransaction() const { return impl_->Tr(); }

void Statement::Prepare(std::string_view sql, bool parse_params) {
  Impl& s = *impl_;
  const ClientApi& api = s.Api();
  if (!s.database->Connected()) throw EIBClientError("Database not connected");
  if (!s.Tr().InTransaction()) throw EIBClientError("Transaction is not active");
  s.CloseCursor();
  ParsedParams parsed;
  if (parse_params) {
    parsed = ParseNamedParams(sql);
  } else {
    parsed.sql = std::string(sql);
  }
  s.prepared = false;
  s.inputs.clear();
  s.columns.clear();
  ISC_STATUS_ARRAY status{};
  if (s.handle == 0) {
    api.isc_dsql_allocate_statement(status, s.database->Handle(), &s.handle);
    CheckStatus(api, status);
  }
  const unsigned short length =
      parsed.sql.size() < 0xFFFF ? static_cast<unsigned short>(parsed.sql.size()) : 0;
  api.isc_dsql_prepare(status, s.Tr().Handle(), &s.handle, length, parsed.sql.c_str(),
                       static_cast<unsigned short>(s.database->SQLDialect), nullptr);
  CheckStatus(api, status);
  s.type = s.QueryType(api);
  s.Describe(api, s.out, false);
  s.Describe(api, s.in, true);
  s.BindColumns();
  s.BindInputs(parsed.names);
  s.prepared = true;
}

bool Statement::Prepared() const { return impl_->prepared; }

StatementType Statement::Type() const { return impl_->type; }

void Statement::Free() { impl_->FreeHandle(); }

int Statement::ParamCount() const { return static_cast<int>(impl_->inputs.size()); }

const std::string& Statement::ParamName(int index) const {
  if (index < 0 || index >= ParamCount()) throw EIBClientError("Parameter index " + IntToStr(index) + " out of range");
  return impl_->inputs[static_cast<std::size_t>(index)].name;
}

Param Statement::ParamByName(std::string_view name) {
  std::vector<int> positions;
  for (int i = 0; i < ParamCount(); ++i) {
    if (!impl_->inputs[static_cast<std::size_t>(i)].name.empty() &&
        SameText(impl_->inputs[static_cast<std::size_t>(i)].name, name)) {
      positions.push_back(i);
    }
  }
  if (positions.empty()) throw EIBClientError("Parameter '" + std::string(name) + "' not found");
  return Param(*this, std::move(positions));
}

Param Statement::Params(int index) {
  if (index < 0 || index >= ParamCount()) throw EIBClientError("Parameter index " + IntToStr(index) + " out of range");
  return Param(*this, {index});
}

void Statement::Execute() {
  Impl& s = *impl_;
  if (!s.prepared) throw EIBClientError("Statement is not prepared");
  const ClientApi& api = s.Api();
  Transaction& transaction = s.Tr();
  if (!transaction.InTransaction()) throw EIBClientError("Transaction is not active");
  s.CloseCursor();
  s.WritePendingBlobs(api);
  const XSQLDA* in = s.inputs.empty() ? nullptr : s.in.get();
  const auto dialect = static_cast<unsigned short>(s.database->SQLDialect);
  ISC_STATUS_ARRAY status{};
  if (s.type == StatementType::kSelect || s.type == StatementType::kSelectForUpdate) {
    api.isc_dsql_execute(status, transaction.Handle(), &s.handle, dialect, in);
    CheckStatus(api, status);
    s.cursor_open = true;
  } else if (!s.columns.empty()) {
    api.isc_dsql_execute2(status, transaction.Handle(), &s.handle, dialect, in, s.out.get());
    CheckStatus(api, status);
    s.has_row = true;
  } else {
    api.isc_dsql_execute(status, transaction.Handle(), &s.handle, dialect, in);
    CheckStatus(api, status);
  }
}

bool Statement::Fetch() {
  Impl& s = *impl_;
  s.has_row = false;
  if (!s.cursor_open) return false;
  const ClientApi& api = s.Api();
  ISC_STATUS_ARRAY status{};
  const ISC_STATUS result = api.isc_dsql_fetch(status, &s.handle, SQLDA_VERSION1, s.out.get());
  if (result == 100) {
    s.CloseCursor();
    return false;
  }
  CheckStatus(api, status);
  s.has_row = true;
  return true;
}

void Statement::Close() { impl_->CloseCursor(); }

bool Statement::CursorOpen() const { return impl_->cursor_open; }

bool Statement::HasRow() const { return impl_->has_row; }

int Statement::FieldCount() const { return static_cast<int>(impl_->columns.size()); }

const std::string& Statement::FieldName(int index) const {
  if (index < 0 || index >= FieldCount()) throw EIBClientError("Field index " + IntToStr(index) + " out of range");
  return impl_->columns[static_cast<std::size_t>(index)].name;
}

int Statement::FieldIndex(std::string_view name) const {
  for (int i = 0; i < FieldCount(); ++i) {
    if (SameText(impl_->columns[static_cast<std::size_t>(i)].name, name)) return i;
  }
  return -1;
}

Field Statement::FieldByName(std::string_view name) const {
  const int index = FieldIndex(name);
  if (index < 0) throw EIBClientError("Field '" + std::string(name) + "' not found");
  return Field(*this, index);
}

Field Statement::Fields(int index) const {
  if (index < 0 || index >= FieldCount()) throw EIBClientError("Field index " + IntToStr(index) + " out of range");
  return Field(*this, index);
}

// ---- Query ----

Query::Query(Database& database, Transaction& transaction) : statement_(database, transaction) {}

void Query::Prepare() {
  std::string text;
  for (std::size_t i = 0; i < SQL.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += SQL[i];
  }
  Transaction& transaction = statement_.GetTransaction();
  if (!transaction.InTransaction()) transaction.StartTransaction();
  if (statement_.Prepared() && text == prepared_text_) return;
  statement_.Prepare(text);
  prepared_text_ = text;
}

Param Query::ParamByName(std::string_view name) {
  Prepare();
  return statement_.ParamByName(name);
}

void Query::Open() {
  Prepare();
  statement_.Execute();
  statement_.Fetch();
}

}  // namespace korvel::fb
