// TSqlParser cuts the lines of an SQL script into statements and classifies
// each by its leading keywords. It knows nothing of the database: every
// statement goes out through OnParse, every fault through OnError, and the
// owner (TSqlScript) decides what to do with them.
//
// Statement syntax, as the scripts the office writes rely on it:
//   - statements end with the terminator (";" at first; SET TERM changes it);
//   - a terminator inside '...', "..." or /* ... */ does not end a statement;
//   - there are no line comments: "--" is ordinary text;
//   - under ";", the body of CREATE PROCEDURE / TRIGGER (and ALTER ...) may
//     contain ";": such a statement ends at "END;" (or at ACTIVE ; /
//     INACTIVE ; for ALTER TRIGGER), see "body mode" in sql_parser.cpp;
//   - INPUT 'file' reads the file's lines before the rest of the script.
//
// All text is Windows-1251.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::scripts {

// The kind of a statement. The order is fixed (ordinals 0 to 15);
// stmtALTER and stmtUNK exist only to keep it and are never produced.
enum TSqlParseKind {
  stmtDDL,
  stmtDML,
  stmtSET,
  stmtCONNECT,
  stmtDrop,
  stmtCREATE,
  stmtALTER,
  stmtINPUT,
  stmtUNK,
  stmtEMPTY,
  stmtTERM,
  stmtERR,
  stmtCOMMIT,
  stmtROLLBACK,
  stmtReconnect,
  stmtDESCRIBE,
};

// "stmtDDL", "stmtDML", ... as the kinds are named above.
const char* SqlParseKindName(TSqlParseKind kind);

class TSqlParser;

// A classified statement. SQLText is the raw source of the statement for
// most kinds; for stmtTERM the new terminator, for stmtSET the words after
// SET joined by single spaces, for stmtDESCRIBE the packed DescribeText.
using TSqlParseStmtEvent = std::function<void(TSqlParser& Sender, TSqlParseKind AKind, const std::string& SQLText)>;
// A parse error: the message, the statement text (empty when the failure
// came before a statement was read) and the statement's start line.
using TSqlParseErrorEvent =
    std::function<void(TSqlParser& Sender, const std::string& Error, const std::string& SQLText, int LineIndex)>;
// Reads the lines of the file an INPUT statement names; throws an
// Exception whose message is passed on as the parse error.
using TSqlInputLoader = std::function<std::vector<std::string>(const std::string& file_name)>;

// The parts of a DESCRIBE statement:
//   DESCRIBE kind name 'description'
//   DESCRIBE FIELD name [TABLE] table 'description'
//   DESCRIBE PARAMETER name [PROCEDURE] procedure 'description'
// kind is upper-cased; names are upper-cased unless written in double
// quotes (then the quotes are removed); the description has its enclosing
// single quotes removed and doubled quotes made single.
struct DescribeText {
  std::string kind, name, owner, description;
};
std::string PackDescribe(const DescribeText& parts);
DescribeText UnpackDescribe(std::string_view packed);

// One leading and one trailing quote character (' or ") removed.
std::string Unquote(std::string_view token);

class TSqlParser {
 public:
  // `loader` serves INPUT statements; without one every INPUT is a parse
  // error.
  explicit TSqlParser(TSqlInputLoader loader = {});

  // The script's lines. Change them only while the parser is not running,
  // then call Reset().
  std::vector<std::string>& Script() { return script_; }
  const std::vector<std::string>& Script() const { return script_; }

  const std::string& Terminator() const { return terminator_; }
  // An empty terminator is refused (ignored): no statement could end.
  void SetTerminator(std::string terminator);

  // While true the parse loop stops after the current statement. Setting it
  // false resumes at once: inside an event the loop simply goes on; outside
  // Parse() the loop is run again until finished or paused.
  bool Paused() const { return paused_; }
  void SetPaused(bool paused);

  // Every line of Script and of the INPUT list is consumed and nothing but
  // blanks is left of the text read.
  bool Finished() const;

  // Zero-based index of the Script line on which the current statement
  // begins (for a statement read from an INPUT file: that of the INPUT
  // statement). -1 before the first statement.
  int StatementStartLine() const { return start_line_; }
  // The tokens of the current statement (parentheses cut off; the last
  // one upper-cased when the terminator ended it).
  const std::vector<std::string>& Tokens() const { return tokens_; }

  // Back to the first line: line indexes 0, INPUT list and buffer emptied,
  // Paused false. The terminator stays.
  void Reset();
  // The parse loop: read, classify and hand out statements until Finished
  // or Paused. Exceptions thrown by the events pass through.
  void Parse();

  // The kind of a statement from its tokens (the classification table).
  static TSqlParseKind Classify(const std::vector<std::string>& tokens, std::string_view terminator);

  TSqlParseStmtEvent OnParse;
  TSqlParseErrorEvent OnError;

  // More INPUT statements than this read in a row from INPUT files (each
  // replacing the list it was read from) end the pass with a parse error:
  // a file that names itself would otherwise never end.
  static constexpr int kMaxInputChain = 64;

 private:
  bool ReadLines();
  bool ReadStatement();
  void SkipLeadingComments();
  void ScanStatement();
  bool CompleteToken(std::string& pending);
  bool AddToken(std::string token);
  void Dispatch(TSqlParseKind kind);
  void ReportError(const std::string& error, const std::string& sql);
  bool BufferBlank() const;

  TSqlInputLoader loader_;
  std::vector<std::string> script_;
  std::vector<std::string> input_;
  std::vector<std::string> tokens_;
  std::size_t script_next_ = 0;
  std::size_t input_next_ = 0;
  bool last_from_input_ = false;
  bool stmt_from_input_ = false;
  int start_line_ = -1;
  // Text read but not consumed: buffer_ from buffer_pos_ on.
  std::string buffer_;
  std::size_t buffer_pos_ = 0;
  std::string text_;
  std::string terminator_ = ";";
  bool body_ = false;
  bool paused_ = false;
  bool running_ = false;
  int input_chain_ = 0;
};

}  // namespace korvel::scripts
