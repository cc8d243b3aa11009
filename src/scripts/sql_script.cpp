#include "scripts/sql_script.h"

#include "fb/ib_error.h"
#include "fb/named_params.h"
#include "host/cp1251.h"
#include "host/text.h"
#include "scripts/script_text.h"

namespace korvel::scripts {

using namespace korvel::literals;

namespace {

struct DescribeStatement {
  const char* kind;
  const char* sql;
};

// RDB$DESCRIPTION per object kind; :DESCR the description, :FIELD the
// object's name, :TABLE its owner.
constexpr DescribeStatement kDescribeStatements[] = {
    {"DOMAIN", "UPDATE RDB$FIELDS SET RDB$DESCRIPTION = :DESCR WHERE (RDB$FIELD_NAME = :FIELD)"},
    {"TABLE", "update RDB$RELATIONS set RDB$DESCRIPTION = :DESCR where (RDB$RELATION_NAME = :FIELD)"},
    {"FIELD",
     "update RDB$RELATION_FIELDS set RDB$DESCRIPTION = :DESCR where (RDB$FIELD_NAME = :FIELD) and "
     "(RDB$RELATION_NAME = :TABLE)"},
    {"PROCEDURE", "UPDATE RDB$PROCEDURES SET RDB$DESCRIPTION = :DESCR WHERE (RDB$PROCEDURE_NAME = :FIELD)"},
    {"PARAMETER",
     "update RDB$PROCEDURE_PARAMETERS set RDB$DESCRIPTION = :DESCR where (RDB$PARAMETER_NAME = :FIELD) and "
     "(RDB$PROCEDURE_NAME = :TABLE)"},
    {"TRIGGER", "UPDATE RDB$TRIGGERS SET RDB$DESCRIPTION = :DESCR WHERE (RDB$TRIGGER_NAME = :FIELD)"},
    {"VIEW", "UPDATE RDB$RELATIONS SET RDB$DESCRIPTION = :DESCR WHERE (RDB$RELATION_NAME = :FIELD)"},
    {"EXCEPTION", "UPDATE RDB$EXCEPTIONS SET RDB$DESCRIPTION = :DESCR WHERE (RDB$EXCEPTION_NAME = :FIELD)"},
};

// UPDATE operation is not allowed for system table ...
constexpr fb::ErrorCode kIscProtectSysTab = 335545030;

// A name as SQL text: plain when the server would read it back as is,
// else in double quotes.
std::string SqlName(const std::string& name) {
  bool plain = !name.empty() && name[0] >= 'A' && name[0] <= 'Z';
  for (char c : name) {
    plain = plain && ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$');
  }
  if (plain) return name;
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// COMMENT ON ... IS '...' for the object of a DESCRIBE statement.
std::string CommentOnStatement(const DescribeText& parts) {
  std::string object;
  if (parts.kind == "FIELD") {
    object = "COLUMN " + SqlName(parts.owner) + "." + SqlName(parts.name);
  } else if (parts.kind == "PARAMETER") {
    object = "PARAMETER " + SqlName(parts.owner) + "." + SqlName(parts.name);
  } else {
    object = parts.kind + " " + SqlName(parts.name);
  }
  std::string literal;
  for (char c : parts.description) literal += c == '\'' ? std::string("''") : std::string(1, c);
  return "COMMENT ON " + object + " IS '" + literal + "'";
}

// "H" + offset + "_" + length, both hexadecimal: a piece of the BLOBFILE.
bool ParseBlobParamName(std::string_view name, std::size_t& offset, std::size_t& length) {
  if (name.size() < 4 || (name[0] != 'H' && name[0] != 'h')) return false;
  const std::size_t sep = name.find('_');
  if (sep == std::string_view::npos || sep < 2 || sep + 1 >= name.size()) return false;
  std::int64_t a = 0, b = 0;
  if (!TryStrToInt64("$" + std::string(name.substr(1, sep - 1)), a) ||
      !TryStrToInt64("$" + std::string(name.substr(sep + 1)), b) || a < 0 || b < 0) {
    return false;
  }
  offset = static_cast<std::size_t>(a);
  length = static_cast<std::size_t>(b);
  return true;
}

}  // namespace

std::string ParseErrorMessage(const std::string& sql_text, const std::string& error) {
  return "Ошибка разбора скрипта: "_cp + sql_text + " " + error;
}

std::string ExecuteErrorMessage(const std::string& sql_text, const std::string& error) {
  return "Ошибка: "_cp + sql_text + " " + error;
}

TSqlScript::TSqlScript(host::Host& host)
    : host_(host), parser_([&host](const std::string& name) { return LoadScriptLines(host, name); }) {
  parser_.OnParse = [this](TSqlParser&, TSqlParseKind kind, const std::string& text) { StatementRead(kind, text); };
  parser_.OnError = [this](TSqlParser&, const std::string& error, const std::string& text, int line) {
    ParseError(error, text, line);
  };
}

TSqlScript::~TSqlScript() = default;

bool TSqlScript::CheckScript() {
  check_only_ = true;
  result_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{check_only_};
  parser_.SetTerminator(Terminator);
  parser_.Reset();
  parser_.Parse();
  return result_;
}

void TSqlScript::RunScript() {
  if (Database == nullptr) throw fb::EIBClientError("Database not assigned");
  if (Transaction == nullptr) throw fb::EIBClientError("Transaction not assigned");
  check_only_ = false;
  result_ = true;
  dml_ = std::make_unique<fb::Statement>(*Database, *Transaction);
  struct Done {
    TSqlScript& script;
    ~Done() {
      script.dml_.reset();
      script.blob_file_.clear();
      script.blob_open_ = false;
    }
  } done{*this};
  parser_.SetTerminator(Terminator);
  parser_.Reset();
  parser_.Parse();
}

void TSqlScript::ParseError(const std::string& error, const std::string& text, int line) {
  result_ = false;
  parser_.SetPaused(true);
  if (OnParseError) OnParseError(*this, error, text, line);
}

void TSqlScript::StatementRead(TSqlParseKind kind, const std::string& text) {
  const int line = parser_.StatementStartLine();
  if (OnParse) OnParse(*this, kind, text, line);
  if (check_only_) return;
  try {
    Execute(kind, text);
  } catch (const fb::EIBError& e) {
    result_ = false;
    parser_.SetPaused(true);
    if (!OnExecuteError) throw;
    bool ignore = false;
    OnExecuteError(*this, e.Message(), text, line, ignore);
    if (ignore) parser_.SetPaused(false);
  }
}

void TSqlScript::Execute(TSqlParseKind kind, const std::string& text) {
  switch (kind) {
    case stmtDDL:
      ExecuteDDL(text);
      break;
    case stmtDML:
      ExecuteDML(text);
      break;
    case stmtSET:
      ExecuteSet();
      break;
    case stmtTERM:
      Terminator = Trim(text);
      break;
    case stmtCOMMIT:
      if (Transaction->InTransaction()) Transaction->Commit();
      break;
    case stmtROLLBACK:
      if (Transaction->InTransaction()) Transaction->Rollback();
      break;
    case stmtCONNECT:
      Connect();
      break;
    case stmtCREATE:
      CreateDatabase();
      break;
    case stmtDrop:
      Database->DropDatabase();
      break;
    case stmtReconnect:
      Database->Close();
      Database->Open();
      break;
    case stmtDESCRIBE:
      Describe(text);
      break;
    default:  // INPUT, EMPTY and ERR are the parser's business
      break;
  }
}

fb::Transaction& TSqlScript::InternalTransaction() {
  if (!internal_ || internal_database_ != Database) {
    internal_.reset();
    internal_ = std::make_unique<fb::Transaction>(*Database);
    internal_database_ = Database;
  }
  return *internal_;
}

void TSqlScript::SaveLog(const std::string& file, const std::string& text) {
  if (file.empty()) return;
  // The old file is removed rather than truncated: ext4 writes a file that
  // was truncated to nothing out to disk when it is closed, which made
  // every statement of a script cost milliseconds. When it cannot be
  // removed, writing it below truncates it or reports why it cannot.
  if (host_.FileExists(file)) {
    try {
      host_.DeleteFile(file);
    } catch (const Exception&) {
    }
  }
  const bool line_end = !text.empty() && (text.back() == '\n' || text.back() == '\r');
  host_.WriteFileText(file, line_end ? text : text + "\r\n");
}

void TSqlScript::ExecuteDDL(const std::string& text) {
  fb::Transaction& transaction = AutoDDL ? InternalTransaction() : *Transaction;
  if (!transaction.InTransaction()) transaction.StartTransaction();
  SaveLog(LastDDLQueryLog, text);
  if (!AutoDDL) {
    Database->ExecuteImmediate(transaction, text);
    return;
  }
  try {
    Database->ExecuteImmediate(transaction, text);
  } catch (const fb::EIBError&) {
    // The failed statement left nothing to commit; the internal
    // transaction is not kept open behind the script.
    if (transaction.InTransaction()) transaction.Rollback();
    throw;
  }
  transaction.Commit();
}

// INSERT, UPDATE or DELETE without parameters and without RETURNING: a
// statement that needs neither a description nor a result.
bool TSqlScript::PlainChange(const std::string& text) const {
  const std::vector<std::string>& tokens = parser_.Tokens();
  if (tokens.empty() || !(SameText(tokens[0], "INSERT") || SameText(tokens[0], "UPDATE") ||
                          SameText(tokens[0], "DELETE"))) {
    return false;
  }
  for (const std::string& token : tokens) {
    if (SameText(token, "RETURNING")) return false;
  }
  return fb::ParseNamedParams(text).names.empty();
}

void TSqlScript::ExecuteDML(const std::string& text) {
  if (!Transaction->InTransaction()) Transaction->StartTransaction();
  dml_->Close();
  SaveLog(LastDMLQueryLog, text);
  // Such a statement goes to the server in one exchange instead of a
  // prepare and an execute; the server checks and runs it alike.
  if (PlainChange(text)) {
    Database->ExecuteImmediate(*Transaction, text);
    return;
  }
  dml_->Prepare(text, true);
  if (blob_open_) FillBlobParams();
  dml_->Execute();
  // A select shows its first row (and its errors) like an executed query.
  if (dml_->CursorOpen()) dml_->Fetch();
}

void TSqlScript::FillBlobParams() {
  for (int i = 0; i < dml_->ParamCount(); ++i) {
    const std::string& name = dml_->ParamName(i);
    std::size_t offset = 0, length = 0;
    if (!ParseBlobParamName(name, offset, length)) continue;
    if (offset > blob_file_.size() || length > blob_file_.size() - offset) {
      throw fb::EIBClientError("Parameter " + name + " lies outside the BLOBFILE");
    }
    dml_->Params(i).SetString(std::string_view(blob_file_).substr(offset, length));
  }
}

void TSqlScript::ExecuteSet() {
  const std::vector<std::string>& t = parser_.Tokens();
  const std::string word = UpperCase(t[1]);
  if (word == "AUTODDL") {
    AutoDDL = t[2] == "ON";
  } else if (word == "SQL") {
    SQLDialect = StrToInt(t[3]);
    if (Database->SQLDialect != SQLDialect) {
      const bool connected = Database->Connected();
      if (connected) Database->Close();
      Database->SQLDialect = SQLDialect;
      if (connected) Database->Open();
    }
  } else if (word == "NAMES") {
    names_ = t[2];
  } else if (word == "BLOBFILE") {
    blob_file_ = host_.ReadFileText(Unquote(t[2]));
    blob_open_ = true;
  }
  // STATISTICS and CLIENTLIB: nothing to do.
}

// CONNECT 'database' [USER 'u'] [PASSWORD 'p'] [ROLE r] [CHARACTER SET cs]
void TSqlScript::Connect() {
  const std::vector<std::string> t = parser_.Tokens();
  Database->Close();
  Database->SQLDialect = SQLDialect;
  Database->Params.clear();
  Database->DatabaseName = Unquote(t[1]);
  std::string user, password, role, charset = names_;
  for (std::size_t i = 2; i + 1 < t.size();) {
    const std::string word = UpperCase(t[i]);
    if (word == "USER") {
      user = Unquote(t[i + 1]);
    } else if (word == "PASSWORD") {
      password = Unquote(t[i + 1]);
    } else if (word == "ROLE") {
      role = Unquote(t[i + 1]);
    } else if (word == "CHARACTER" && UpperCase(t[i + 1]) == "SET" && i + 2 < t.size()) {
      charset = Unquote(t[i + 2]);
      i += 3;
      continue;
    } else {
      ++i;
      continue;
    }
    i += 2;
  }
  if (password.empty()) password = fb::kAdminPassword;
  if (!user.empty()) Database->Params.push_back("user_name=" + user);
  Database->Params.push_back("password=" + password);
  if (!role.empty()) Database->Params.push_back("sql_role_name=" + role);
  if (!charset.empty()) Database->Params.push_back("lc_ctype=" + charset);
  Database->Open();
}

// CREATE DATABASE 'name' [option value]...: the option tokens go to the
// server in pairs, as written.
void TSqlScript::CreateDatabase() {
  const std::vector<std::string> t = parser_.Tokens();
  const std::string name = t.size() > 2 ? Unquote(t[2]) : std::string();
  std::string options;
  for (std::size_t i = 3; i < t.size(); i += 2) {
    if (!options.empty()) options += "\r\n";
    options += t[i];
    if (i + 1 < t.size()) options += " " + t[i + 1];
  }
  Database->Close();
  Database->DatabaseName = name;
  Database->SQLDialect = SQLDialect;
  Database->CreateDatabase(options);
}

void TSqlScript::Describe(const std::string& packed) {
  const DescribeText parts = UnpackDescribe(packed);
  const DescribeStatement* statement = nullptr;
  for (const DescribeStatement& s : kDescribeStatements) {
    if (parts.kind == s.kind) statement = &s;
  }
  if (statement == nullptr) throw Exception("Unsupported DESCRIBE type " + parts.kind);
  fb::Transaction& transaction = InternalTransaction();
  const auto run = [&](auto&& body) {
    if (!transaction.InTransaction()) transaction.StartTransaction();
    try {
      body();
    } catch (const fb::EIBError&) {
      if (transaction.InTransaction()) transaction.Rollback();
      throw;
    }
    transaction.Commit();
  };
  try {
    run([&] {
      fb::Statement update(*Database, transaction);
      update.Prepare(statement->sql, true);
      update.ParamByName("DESCR").SetString(parts.description);
      update.ParamByName("FIELD").SetString(parts.name);
      if (std::string_view(statement->sql).find(":TABLE") != std::string_view::npos) {
        update.ParamByName("TABLE").SetString(parts.owner);
      }
      update.Execute();
    });
  } catch (const fb::EIBInterBaseError& e) {
    // Firebird 3 keeps its system tables read-only; there the description
    // is set the way the server offers instead.
    if (!e.HasErrorCode(kIscProtectSysTab)) throw;
    run([&] { Database->ExecuteImmediate(transaction, CommentOnStatement(parts)); });
  }
}

}  // namespace korvel::scripts
