// A connection to one Firebird database and the transactions on it.
//
// Ownership: the caller owns the Database, its Transactions and Statements
// (statement.h); they refer to each other and must all belong to the same
// ClientLibrary, which outlives them. A Database knows the transactions and
// statements made on it, so that closing it ends them first: open cursors
// are closed, prepared statements freed on the server, and active
// transactions rolled back (never committed behind the caller's back).
// Destroying any of them releases its server resources without throwing.
//
// Failures of the client raise EIBInterBaseError with the client's text;
// misuse of the layer raises EIBClientError.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fb/client_library.h"
#include "fb/ib_error.h"

namespace korvel::fb {

class Transaction;
class Statement;

// The administrator account every connection and service attachment of the
// program uses on the pharmacy's server.
inline constexpr const char* kAdminUser = "SYSDBA";
inline constexpr const char* kAdminPassword = "pinecrest";

class Database {
 public:
  explicit Database(ClientLibrary& client);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The connection string as the client takes it: "server:path",
  // "server/port:path", or a local path for the embedded engine.
  std::string DatabaseName;
  // Connection parameters, one "name=value" per entry; names are matched
  // without regard to letter case, with or without the prefix "isc_dpb_":
  // user_name, password, lc_ctype, sql_role_name, num_buffers. An unknown
  // name raises EIBClientError "Unknown connection parameter <name>" at Open.
  std::vector<std::string> Params;
  // The SQL dialect of the connection and of every statement on it.
  int SQLDialect = 3;

  // Attaches to DatabaseName. Raises when already connected.
  void Open();
  // Ends the transactions and statements made on this database, then
  // detaches. Does nothing when not connected. The connection counts as
  // closed afterwards even when the client reports a failure of the detach,
  // which is then raised.
  void Close();
  // Close for the paths where a failure of the detach changes nothing:
  // another failure is on its way to the caller, or the server is about to
  // be stopped. The failure is dropped; the connection counts as closed.
  void CloseQuietly();
  bool Connected() const { return handle_ != 0; }

  // Creates the database DatabaseName with "CREATE DATABASE '<name>' " +
  // options (for example "USER 'SYSDBA' PASSWORD 'x' PAGE_SIZE 8192 DEFAULT
  // CHARACTER SET WIN1251") and stays connected to it. Raises when already
  // connected.
  void CreateDatabase(std::string_view options);
  // Drops the connected database (its file is deleted by the server) and
  // leaves the connection closed.
  void DropDatabase();

  // Runs one SQL statement without parameters or results (DDL, DML, SET
  // GENERATOR, ...) in `transaction`, which must be active and on this
  // database.
  void ExecuteImmediate(Transaction& transaction, std::string_view sql);

  ClientLibrary& Client() { return client_; }
  // The client's attachment handle, for the layer's own classes.
  ApiHandle* Handle() { return &handle_; }

 private:
  friend class Transaction;
  friend class Statement;

  // Called by a transaction before it ends: closes the cursors of the
  // statements that run in it.
  void TransactionEnding(Transaction& transaction);
  // Called by a transaction that is destroyed.
  void TransactionGone(Transaction& transaction);
  // Frees every statement and rolls back every active transaction, ignoring
  // failures (the attachment is about to go).
  void ReleaseChildren();
  void CheckConnected() const;

  ClientLibrary& client_;
  ApiHandle handle_{};
  std::vector<Transaction*> transactions_;
  std::vector<Statement*> statements_;
};

class Transaction {
 public:
  explicit Transaction(Database& database);
  // Rolls back when still active; never throws.
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // The parameter block, one word per entry, built anew at every start:
  // read, write, wait, nowait, rec_version, no_rec_version, read_committed,
  // concurrency, consistency, autocommit, ignore_limbo, no_auto_undo,
  // restart_requests, shared, protected, exclusive, verb_time, commit_time
  // (with or without "isc_tpb_", letter case ignored) and lock_timeout=N.
  // An unknown word raises EIBClientError "Unknown transaction parameter
  // <word>". No words give the server's default (write, wait, concurrency).
  std::vector<std::string> Params;

  // Raises when already active or when the database is not connected.
  void StartTransaction();
  // Commit and Rollback end the transaction (open cursors of its
  // statements are closed first); the retaining forms keep it active.
  void Commit();
  void CommitRetaining();
  void Rollback();
  void RollbackRetaining();
  bool InTransaction() const { return handle_ != 0; }

  Database& DefaultDatabase();
  ApiHandle* Handle() { return &handle_; }

  // The parameter block for `words` (exposed for tests).
  static std::string BuildParameterBlock(const std::vector<std::string>& words);

 private:
  friend class Database;
  void CheckActive() const;

  Database* database_;
  ApiHandle handle_{};
};

// The parameter block for connection parameters `params` plus the dialect
// (exposed for tests).
std::string BuildConnectionBlock(const std::vector<std::string>& params, int dialect);

}  // namespace korvel::fb
