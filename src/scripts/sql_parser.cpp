#include "scripts/sql_parser.h"

#include <array>
#include <cstring>
#include <initializer_list>

#include "host/exception.h"
#include "host/text.h"

namespace korvel::scripts {
namespace {

// Character classes of the scanner:
//   kBlank     characters below "!": taken into the token before them and
//              trimmed off it; the leading ones of a statement are skipped
//   kTokenEnd  NUL, TAB, LF, CR, space, "(" and ")": complete the pending
//              token when outside quotes and comments
// (quotes and the comment delimiters are recognised by the scanner itself)
enum : unsigned char { kBlank = 1, kTokenEnd = 2 };

constexpr std::array<unsigned char, 256> kCharClass = [] {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < '!'; ++c) table[c] |= kBlank;
  for (unsigned char c : {'\0', '\t', '\n', '\r', ' ', '(', ')'}) table[c] |= kTokenEnd;
  return table;
}();

bool IsBlank(char c) { return (kCharClass[static_cast<unsigned char>(c)] & kBlank) != 0; }
bool IsTokenEnd(char c) { return (kCharClass[static_cast<unsigned char>(c)] & kTokenEnd) != 0; }

bool OneOf(std::string_view word, std::initializer_list<std::string_view> words) {
  for (std::string_view w : words) {
    if (SameText(word, w)) return true;
  }
  return false;
}

constexpr const char* kKindNames[] = {
    "stmtDDL",  "stmtDML",   "stmtSET",  "stmtCONNECT", "stmtDrop",   "stmtCREATE",    "stmtALTER",     "stmtINPUT",
    "stmtUNK",  "stmtEMPTY", "stmtTERM", "stmtERR",     "stmtCOMMIT", "stmtROLLBACK", "stmtReconnect", "stmtDESCRIBE",
};

// An object name of DESCRIBE as the system tables hold it: "Quoted" names
// as written, others in upper case.
std::string ObjectName(std::string_view token) {
  if (token.size() >= 2 && token.front() == '"' && token.back() == '"') {
    std::string name;
    for (std::size_t i = 1; i + 1 < token.size(); ++i) {
      name += token[i];
      if (token[i] == '"' && i + 2 < token.size() && token[i + 1] == '"') ++i;
    }
    return name;
  }
  return UpperCase(token);
}

// The content of the first '...' literal of a statement outside double
// quotes and comments, doubled quotes made single; false when none.
bool FirstStringLiteral(std::string_view sql, std::string& content) {
  bool dq = false;
  for (std::size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (!dq && c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      const std::size_t end = sql.find("*/", i + 2);
      if (end == std::string_view::npos) return false;
      i = end + 1;
    } else if (c == '"') {
      dq = !dq;
    } else if (c == '\'' && !dq) {
      content.clear();
      for (std::size_t j = i + 1; j < sql.size(); ++j) {
        if (sql[j] == '\'') {
          if (j + 1 < sql.size() && sql[j + 1] == '\'') {
            content += '\'';
            ++j;
            continue;
          }
          return true;
        }
        content += sql[j];
      }
      return true;  // an unclosed literal runs to the end of the statement
    }
  }
  return false;
}

constexpr std::string_view kDescribeSeparator = "\r\n";

}  // namespace

const char* SqlParseKindName(TSqlParseKind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < std::size(kKindNames) ? kKindNames[i] : "stmtUNK";
}

std::string Unquote(std::string_view token) {
  if (!token.empty() && (token.front() == '\'' || token.front() == '"')) token.remove_prefix(1);
  if (!token.empty() && (token.back() == '\'' || token.back() == '"')) token.remove_suffix(1);
  return std::string(token);
}

std::string PackDescribe(const DescribeText& parts) {
  std::string packed = parts.kind;
  for (const std::string* part : {&parts.name, &parts.owner, &parts.description}) {
    packed += kDescribeSeparator;
    packed += *part;
  }
  return packed;
}

DescribeText UnpackDescribe(std::string_view packed) {
  DescribeText parts;
  std::string* fields[] = {&parts.kind, &parts.name, &parts.owner};
  for (std::string* field : fields) {
    const std::size_t at = packed.find(kDescribeSeparator);
    if (at == std::string_view::npos) {
      *field = std::string(packed);
      return parts;
    }
    *field = std::string(packed.substr(0, at));
    packed.remove_prefix(at + kDescribeSeparator.size());
  }
  parts.description = std::string(packed);
  return parts;
}

TSqlParser::TSqlParser(TSqlInputLoader loader) : loader_(std::move(loader)) {}

void TSqlParser::SetTerminator(std::string terminator) {
  if (!terminator.empty()) terminator_ = std::move(terminator);
}

void TSqlParser::SetPaused(bool paused) {
  const bool resume = paused_ && !paused;
  paused_ = paused;
  if (resume && !running_) Parse();
}

bool TSqlParser::BufferBlank() const {
  for (std::size_t i = buffer_pos_; i < buffer_.size(); ++i) {
    if (!IsBlank(buffer_[i])) return false;
  }
  return true;
}

bool TSqlParser::Finished() const {
  return script_next_ >= script_.size() && input_next_ >= input_.size() && BufferBlank();
}

void TSqlParser::Reset() {
  script_next_ = 0;
  input_.clear();
  input_next_ = 0;
  last_from_input_ = false;
  stmt_from_input_ = false;
  start_line_ = -1;
  buffer_.clear();
  buffer_pos_ = 0;
  tokens_.clear();
  text_.clear();
  body_ = false;
  paused_ = false;
  input_chain_ = 0;
}

void TSqlParser::Parse() {
  if (running_) return;  // asked from inside an event: the running loop goes on
  running_ = true;
  struct Running {
    bool& flag;
    ~Running() { flag = false; }
  } running{running_};
  while (!paused_ && !Finished()) {
    if (!ReadStatement()) continue;
    Dispatch(Classify(tokens_, terminator_));
  }
}

// Appends "CR LF + line" to the buffer, from the INPUT list while it has
// lines, else from Script, until the buffer holds more than blanks or no
// line is left. True when at least one line was read.
bool TSqlParser::ReadLines() {
  if (buffer_pos_ > 0) {
    buffer_.erase(0, buffer_pos_);
    buffer_pos_ = 0;
  }
  bool any = false;
  do {
    const std::string* line;
    if (input_next_ < input_.size()) {
      line = &input_[input_next_++];
      last_from_input_ = true;
    } else if (script_next_ < script_.size()) {
      line = &script_[script_next_++];
      last_from_input_ = false;
    } else {
      break;
    }
    buffer_ += "\r\n";
    buffer_ += *line;
    any = true;
  } while (BufferBlank());
  return any;
}

// One statement into tokens_ and text_. False when it was abandoned
// (an unterminated leading comment, already reported).
bool TSqlParser::ReadStatement() {
  tokens_.clear();
  text_.clear();
  body_ = false;
  if (BufferBlank()) ReadLines();
  try {
    SkipLeadingComments();
  } catch (const Exception& e) {
    // The comment runs to the end of the text: nothing after it can be
    // read, so the buffer goes too and the pass ends.
    buffer_.clear();
    buffer_pos_ = 0;
    ReportError(e.Message(), "");
    return false;
  }
  stmt_from_input_ = last_from_input_;
  if (!stmt_from_input_) {
    start_line_ = static_cast<int>(script_next_) - 1;
    input_chain_ = 0;
  }
  ScanStatement();
  return true;
}

// Blanks and whole /* ... */ comments in front of a statement, across
// lines; an unterminated one raises "Invalid Comment".
void TSqlParser::SkipLeadingComments() {
  auto skip_blanks = [this] {
    while (buffer_pos_ < buffer_.size() && IsBlank(buffer_[buffer_pos_])) ++buffer_pos_;
  };
  skip_blanks();
  while (buffer_.compare(buffer_pos_, 2, "/*") == 0) {
    std::size_t searched = 2;  // from the comment's start; "*/" never spans a line end
    std::size_t end;
    while ((end = buffer_.find("*/", buffer_pos_ + searched)) == std::string::npos) {
      searched = buffer_.size() - buffer_pos_;
      if (!ReadLines()) throw Exception("Invalid Comment");
    }
    buffer_pos_ = end + 2;
    skip_blanks();
    if (buffer_pos_ == buffer_.size()) {
      ReadLines();
      skip_blanks();
    }
  }
}

// The scanner: reads tokens until the terminator ends the statement (or,
// in body mode, END followed by the terminator), or no text is left.
//
// Body mode lets procedure and trigger bodies, which contain ";", be
// written under the terminator ";": a PROCEDURE or TRIGGER word switches
// it on (see AddToken for what switches it off again), and then only
// "END ;" / "END;" (or "ACTIVE ;" / "INACTIVE ;") ends the statement.
void TSqlParser::ScanStatement() {
  bool in_single = false, in_double = false, in_comment = false;
  std::string pending;
  for (;;) {
    if (buffer_pos_ >= buffer_.size()) {
      if (!pending.empty() && CompleteToken(pending)) return;
      if (!ReadLines()) return;
      continue;
    }
    const char* p = buffer_.data() + buffer_pos_;
    const std::size_t left = buffer_.size() - buffer_pos_;
    if (!in_single && !in_double && !in_comment && !body_ && left >= terminator_.size() &&
        std::memcmp(p, terminator_.data(), terminator_.size()) == 0) {
      text_ += pending;
      buffer_pos_ += terminator_.size();
      std::string last = UpperCase(Trim(pending));
      if (!last.empty() && last.compare(0, 2, "/*") != 0) tokens_.push_back(std::move(last));
      return;
    }
    const char c = *p;
    if (!in_single && !in_double && left > 1) {
      // The delimiters are taken as pairs, so "/*/" does not close itself.
      if (!in_comment && c == '/' && p[1] == '*') {
        in_comment = true;
        pending.append(p, 2);
        buffer_pos_ += 2;
        continue;
      }
      if (in_comment && c == '*' && p[1] == '/') {
        in_comment = false;
        pending.append(p, 2);
        buffer_pos_ += 2;
        continue;
      }
    }
    pending += c;
    ++buffer_pos_;
    if (in_comment) continue;
    bool complete = false;
    if (c == '\'' && !in_double) {
      in_single = !in_single;
      complete = !in_single;
    } else if (c == '"' && !in_single) {
      in_double = !in_double;
      complete = !in_double;
    } else if (!in_single && !in_double && IsTokenEnd(c)) {
      complete = true;
    }
    if (complete && CompleteToken(pending)) return;
  }
}

// Takes the blanks after a completed token into it, moves it to the
// statement text and adds it, trimmed and without one trailing
// parenthesis, to the token list. True when that ends the statement.
bool TSqlParser::CompleteToken(std::string& pending) {
  while (buffer_pos_ < buffer_.size() && IsBlank(buffer_[buffer_pos_])) pending += buffer_[buffer_pos_++];
  text_ += pending;
  std::string token = Trim(pending);
  pending.clear();
  if (!token.empty() && (token.back() == '(' || token.back() == ')')) token.pop_back();
  if (token.empty() || token.compare(0, 2, "/*") == 0) return false;
  return AddToken(std::move(token));
}

bool TSqlParser::AddToken(std::string token) {
  if (body_ && token.size() == 3 + terminator_.size() && SameText(std::string_view(token).substr(0, 3), "END") &&
      token.compare(3, std::string::npos, terminator_) == 0) {
    tokens_.push_back(token.substr(0, 3));
    tokens_.push_back(terminator_);
    return true;
  }
  tokens_.push_back(std::move(token));
  const std::string& t = tokens_.back();
  const std::size_t n = tokens_.size();
  if (terminator_ == ";" && OneOf(t, {"PROCEDURE", "TRIGGER"})) body_ = true;
  if (!body_) return false;
  // Statements that name a procedure or trigger without having a body.
  if ((n >= 2 && SameText(tokens_[n - 2], "DROP") && OneOf(t, {"TRIGGER", "PROCEDURE"})) ||
      (n >= 2 && SameText(tokens_[0], "EXECUTE") && OneOf(tokens_[1], {"PROCEDURE", "BLOCK"})) ||
      OneOf(tokens_[0], {"DESCRIBE", "GRANT", "REVOKE"})) {
    body_ = false;
    return false;
  }
  return n >= 2 && t == terminator_ && OneOf(tokens_[n - 2], {"END", "INACTIVE", "ACTIVE"});
}

TSqlParseKind TSqlParser::Classify(const std::vector<std::string>& tokens, std::string_view terminator) {
  const std::size_t n = tokens.size();
  if (n == 0) return stmtEMPTY;
  const auto T = [&](std::size_t i) { return i < n ? UpperCase(tokens[i]) : std::string(); };
  const std::string t0 = T(0), t1 = T(1);
  const auto is = [](const std::string& word, std::initializer_list<std::string_view> words) {
    for (std::string_view w : words) {
      if (word == w) return true;
    }
    return false;
  };
  if (t0 == "QUIT") return stmtEMPTY;
  if (t0 == "COMMIT") return stmtCOMMIT;
  if (t0 == "ROLLBACK") return stmtROLLBACK;
  if (t0 == "RECONNECT") return stmtReconnect;
  if (t0 == "DESCRIBE") return stmtDESCRIBE;
  if (n == 1) return stmtERR;
  if (is(t0, {"INSERT", "DELETE", "SELECT", "UPDATE", "EXECUTE"})) return stmtDML;
  if (t0 == "ALTER" && t1 == "TRIGGER" && is(T(3), {"INACTIVE", "ACTIVE"}) && n > 4 && tokens[4] == terminator) {
    return stmtDML;
  }
  if (t0 == "INPUT") return stmtINPUT;
  if (t0 == "CONNECT") return stmtCONNECT;
  if (t0 == "CREATE" && is(t1, {"DATABASE", "SCHEMA"})) return stmtCREATE;
  if (t0 == "DROP" && t1 == "DATABASE") return stmtDrop;
  if (is(t0, {"DECLARE", "CREATE", "ALTER", "RECREATE", "GRANT", "REVOKE", "DROP"}) ||
      (t0 == "SET" && t1 == "GENERATOR")) {
    return stmtDDL;
  }
  if (t0 == "SET") {
    if (t1 == "TERM") return n == 3 ? stmtTERM : stmtERR;
    if (t1 == "SQL") return n == 4 && T(2) == "DIALECT" ? stmtSET : stmtERR;
    if (is(t1, {"AUTODDL", "STATISTICS", "NAMES", "CLIENTLIB", "BLOBFILE"})) return n == 3 ? stmtSET : stmtERR;
  }
  return stmtERR;
}

void TSqlParser::ReportError(const std::string& error, const std::string& sql) {
  if (OnError) OnError(*this, error, sql, start_line_);
}

void TSqlParser::Dispatch(TSqlParseKind kind) {
  switch (kind) {
    case stmtEMPTY:
      return;
    case stmtERR:
      ReportError("Invalid statement", text_);
      return;
    case stmtTERM: {
      const std::string terminator = tokens_[2];
      if (OnParse) OnParse(*this, kind, terminator);
      terminator_ = terminator;
      return;
    }
    case stmtSET: {
      std::string words;
      for (std::size_t i = 1; i < tokens_.size(); ++i) {
        if (i > 1) words += ' ';
        words += tokens_[i];
      }
      if (OnParse) OnParse(*this, kind, words);
      return;
    }
    case stmtINPUT: {
      // Counted only while INPUT files name further INPUT files; a
      // statement of Script starts the count again.
      if (stmt_from_input_ && ++input_chain_ > kMaxInputChain) {
        input_.clear();
        input_next_ = 0;
        ReportError("Too many nested INPUT files", text_);
        return;
      }
      const std::string name = Unquote(tokens_[1]);
      try {
        if (!loader_) throw Exception("Cannot open file \"" + name + "\"");
        input_ = loader_(name);
        input_next_ = 0;
      } catch (const Exception& e) {
        ReportError(e.Message(), text_);
        return;
      }
      if (OnParse) OnParse(*this, kind, text_);
      return;
    }
    case stmtDESCRIBE: {
      DescribeText parts;
      const std::size_t n = tokens_.size();
      std::size_t k = 1;
      if (k < n) parts.kind = UpperCase(tokens_[k++]);
      const auto is_literal = [&](std::size_t i) { return i < n && !tokens_[i].empty() && tokens_[i][0] == '\''; };
      if (k < n && !is_literal(k)) parts.name = ObjectName(tokens_[k++]);
      if (parts.kind == "FIELD" || parts.kind == "PARAMETER") {
        if (k < n && SameText(tokens_[k], parts.kind == "FIELD" ? "TABLE" : "PROCEDURE")) ++k;
        if (k < n && !is_literal(k)) parts.owner = ObjectName(tokens_[k++]);
      }
      if (!FirstStringLiteral(text_, parts.description)) {
        for (std::size_t i = k; i < n; ++i) {
          if (i > k) parts.description += ' ';
          parts.description += tokens_[i];
        }
      }
      if (OnParse) OnParse(*this, kind, PackDescribe(parts));
      return;
    }
    default:
      if (OnParse) OnParse(*this, kind, text_);
      return;
  }
}

}  // namespace korvel::scripts
