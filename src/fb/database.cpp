#include "fb/database.h"

#include <algorithm>

#include "fb/client_api.h"
#include "fb/statement.h"
#include "host/host.h"
#include "host/text.h"

namespace korvel::fb {

namespace {

// Parameter names are accepted with or without the client's prefix.
std::string StripPrefix(std::string_view name, std::string_view prefix) {
  std::string trimmed = Trim(name);
  if (StartsText(prefix, trimmed)) trimmed.erase(0, prefix.size());
  return LowerCase(trimmed);
}

void AppendString(std::string& block, char item, std::string_view value) {
  if (value.size() > 255) throw EIBClientError("Connection parameter too long");
  block += item;
  block += static_cast<char>(value.size());
  block.append(value);
}

void AppendNumber(std::string& block, char item, std::uint32_t value) {
  block += item;
  block += static_cast<char>(4);
  for (int i = 0; i < 4; ++i) block += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The SQL literal of a file name: in single quotes, inner quotes doubled.
std::string QuoteLiteral(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

// Statement text lengths go to the client as 16-bit numbers; 0 makes it
// measure a zero-terminated text itself.
unsigned short TextLength(std::string_view text) {
  return text.size() < 0xFFFF ? static_cast<unsigned short>(text.size()) : 0;
}

template <typename T>
void Forget(std::vector<T*>& list, T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

std::string BuildConnectionBlock(const std::vector<std::string>& params, int dialect) {
  std::string block(1, static_cast<char>(isc_dpb_version1));
  bool dialect_given = false;
  for (const std::string& line : params) {
    if (Trim(line).empty()) continue;
    const std::size_t eq = line.find('=');
    const std::string name = StripPrefix(line.substr(0, eq), "isc_dpb_");
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (name == "user_name" || name == "user") {
      AppendString(block, isc_dpb_user_name, value);
    } else if (name == "password") {
      AppendString(block, isc_dpb_password, value);
    } else if (name == "lc_ctype") {
      AppendString(block, isc_dpb_lc_ctype, Trim(value));
    } else if (name == "sql_role_name") {
      AppendString(block, isc_dpb_sql_role_name, value);
    } else if (name == "num_buffers") {
      AppendNumber(block, isc_dpb_num_buffers, static_cast<std::uint32_t>(StrToInt(Trim(value))));
    } else if (name == "sql_dialect") {
      AppendNumber(block, isc_dpb_sql_dialect, static_cast<std::uint32_t>(StrToInt(Trim(value))));
      dialect_given = true;
    } else {
      throw EIBClientError("Unknown connection parameter " + Trim(line.substr(0, eq)));
    }
  }
  if (!dialect_given) AppendNumber(block, isc_dpb_sql_dialect, static_cast<std::uint32_t>(dialect));
  return block;
}

// ---- Database ----

Database::Database(ClientLibrary& client) : client_(client) {}

Database::~Database() {
  try {
    Close();
  } catch (const Exception&) {
    // The attachment is gone either way; a destructor must not throw.
  }
  for (Transaction* transaction : transactions_) transaction->database_ = nullptr;
  for (Statement* statement : statements_) statement->DatabaseGone();
}

void Database::CheckConnected() const {
  if (!Connected()) throw EIBClientError("Database not connected");
}

void Database::Open() {
  if (Connected()) throw EIBClientError("Database already connected");
  const ClientApi& api = client_.Api();
  const std::string dpb = BuildConnectionBlock(Params, SQLDialect);
  // The path inside the connection string goes to the client as the file
  // system spells it (UTF-8 on POSIX), not as the program's Windows-1251.
  const std::string name = host::ToFileNameEncoding(DatabaseName);
  ISC_STATUS_ARRAY status{};
  api.isc_attach_database(status, static_cast<short>(name.size()), name.c_str(), &handle_,
                          static_cast<short>(dpb.size()), dpb.data());
  if (status[1] != 0) handle_ = 0;
  CheckStatus(api, status);
}

void Database::ReleaseChildren() {
  for (Statement* statement : statements_) statement->Release();
  const ClientApi& api = client_.Api();
  for (Transaction* transaction : transactions_) {
    if (!transaction->InTransaction()) continue;
    ISC_STATUS_ARRAY status{};
    api.isc_rollback_transaction(status, &transaction->handle_);
    transaction->handle_ = 0;
  }
}

void Database::Close() {
  if (!Connected()) return;
  const ClientApi& api = client_.Api();
  ReleaseChildren();
  ISC_STATUS_ARRAY status{};
  api.isc_detach_database(status, &handle_);
  handle_ = 0;
  CheckStatus(api, status);
}

void Database::CloseQuietly() {
  try {
    Close();
  } catch (const Exception&) {
    // See the declaration.
  }
}

void Database::CreateDatabase(std::string_view options) {
  if (Connected()) throw EIBClientError("Database already connected");
  const ClientApi& api = client_.Api();
  std::string sql = "CREATE DATABASE " + QuoteLiteral(host::ToFileNameEncoding(DatabaseName));
  if (!options.empty()) sql += " " + std::string(options);
  ISC_STATUS_ARRAY status{};
  isc_tr_handle transaction = 0;
  api.isc_dsql_execute_immediate(status, &handle_, &transaction, TextLength(sql), sql.c_str(),
                                 static_cast<unsigned short>(SQLDialect), nullptr);
  if (status[1] != 0) handle_ = 0;
  CheckStatus(api, status);
}

void Database::DropDatabase() {
  CheckConnected();
  const ClientApi& api = client_.Api();
  ReleaseChildren();
  ISC_STATUS_ARRAY status{};
  api.isc_drop_database(status, &handle_);
  CheckStatus(api, status);
  handle_ = 0;
}

void Database::ExecuteImmediate(Transaction& transaction, std::string_view sql) {
  CheckConnected();
  if (&transaction.DefaultDatabase() != this) throw EIBClientError("Transaction belongs to another database");
  transaction.CheckActive();
  const ClientApi& api = client_.Api();
  const std::string text(sql);
  ISC_STATUS_ARRAY status{};
  api.isc_dsql_execute_immediate(status, &handle_, transaction.Handle(), TextLength(text), text.c_str(),
                                 static_cast<unsigned short>(SQLDialect), nullptr);
  CheckStatus(api, status);
}

void Database::TransactionEnding(Transaction& transaction) {
  for (Statement* statement : statements_) statement->TransactionEnding(transaction);
}

void Database::TransactionGone(Transaction& transaction) {
  for (Statement* statement : statements_) statement->TransactionGone(transaction);
}

// ---- Transaction ----

Transaction::Transaction(Database& database) : database_(&database) { database.transactions_.push_back(this); }

Transaction::~Transaction() {
  if (database_ == nullptr) return;
  if (InTransaction()) {
    try {
      Rollback();
    } catch (const Exception&) {
      // The server ends a transaction whose attachment goes; nothing to do.
    }
  }
  database_->TransactionGone(*this);
  Forget(database_->transactions_, this);
}

Database& Transaction::DefaultDatabase() {
  if (database_ == nullptr) throw EIBClientError("Database not assigned");
  return *database_;
}

void Transaction::CheckActive() const {
  if (!InTransaction()) throw EIBClientError("Transaction is not active");
}

std::string Transaction::BuildParameterBlock(const std::vector<std::string>& words) {
  struct Word {
    const char* name;
    char item;
  };
  static constexpr Word kWords[] = {
      {"consistency", isc_tpb_consistency},
      {"concurrency", isc_tpb_concurrency},
      {"shared", isc_tpb_shared},
      {"protected", isc_tpb_protected},
      {"exclusive", isc_tpb_exclusive},
      {"wait", isc_tpb_wait},
      {"nowait", isc_tpb_nowait},
      {"read", isc_tpb_read},
      {"write", isc_tpb_write},
      {"ignore_limbo", isc_tpb_ignore_limbo},
      {"read_committed", isc_tpb_read_committed},
      {"autocommit", isc_tpb_autocommit},
      {"rec_version", isc_tpb_rec_version},
      {"no_rec_version", isc_tpb_no_rec_version},
      {"restart_requests", isc_tpb_restart_requests},
      {"no_auto_undo", isc_tpb_no_auto_undo},
      {"verb_time", isc_tpb_verb_time},
      {"commit_time", isc_tpb_commit_time},
  };
  if (words.empty()) return {};
  std::string block(1, static_cast<char>(isc_tpb_version3));
  for (const std::string& line : words) {
    if (Trim(line).empty()) continue;
    const std::size_t eq = line.find('=');
    const std::string name = StripPrefix(line.substr(0, eq), "isc_tpb_");
    if (name == "lock_timeout" && eq != std::string::npos) {
      AppendNumber(block, isc_tpb_lock_timeout, static_cast<std::uint32_t>(StrToInt(Trim(line.substr(eq + 1)))));
      continue;
    }
    const auto found = std::find_if(std::begin(kWords), std::end(kWords),
                                    [&](const Word& word) { return eq == std::string::npos && name == word.name; });
    if (found == std::end(kWords)) throw EIBClientError("Unknown transaction parameter " + Trim(line));
    block += found->item;
  }
  return block;
}

void Transaction::StartTransaction() {
  Database& database = DefaultDatabase();
  if (InTransaction()) throw EIBClientError("Transaction is already active");
  database.CheckConnected();
  const ClientApi& api = database.Client().Api();
  const std::string tpb = BuildParameterBlock(Params);
  TransactionBlock block{database.Handle(), static_cast<int>(tpb.size()), tpb.empty() ? nullptr : tpb.data()};
  ISC_STATUS_ARRAY status{};
  api.isc_start_multiple(status, &handle_, 1, &block);
  if (status[1] != 0) handle_ = 0;
  CheckStatus(api, status);
}

void Transaction::Commit() {
  CheckActive();
  Database& database = DefaultDatabase();
  database.TransactionEnding(*this);
  const ClientApi& api = database.Client().Api();
  ISC_STATUS_ARRAY status{};
  api.isc_commit_transaction(status, &handle_);
  CheckStatus(api, status);
}

void Transaction::CommitRetaining() {
  CheckActive();
  const ClientApi& api = DefaultDatabase().Client().Api();
  ISC_STATUS_ARRAY status{};
  api.isc_commit_retaining(status, &handle_);
  CheckStatus(api, status);
}

void Transaction::Rollback() {
  CheckActive();
  Database& database = DefaultDatabase();
  database.TransactionEnding(*this);
  const ClientApi& api = database.Client().Api();
  ISC_STATUS_ARRAY status{};
  api.isc_rollback_transaction(status, &handle_);
  // A transaction that cannot even be rolled back (its connection is lost)
  // is over all the same.
  handle_ = 0;
  CheckStatus(api, status);
}

void Transaction::RollbackRetaining() {
  CheckActive();
  const ClientApi& api = DefaultDatabase().Client().Api();
  ISC_STATUS_ARRAY status{};
  api.isc_rollback_retaining(status, &handle_);
  CheckStatus(api, status);
}

}  // namespace korvel::fb
