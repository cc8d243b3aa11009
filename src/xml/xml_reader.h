// Inside the XML library: the character classes and the token reader the
// recursive parser (xml_parser.cpp) is built on. Not for use outside
// src/xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::xml::detail {

// Character classes, one bit each:
//   N  name character: $ % - . 0-9 : @ A-Z _ a-z and 192-255 (А-я);
//      not 128-191 (so not Ё, ё, №), not ' and not =
//   S  skipped as whitespace: every byte up to and including the space
//   C  control character illegal in text and attribute values: 1-8, 11,
//      12, 14-31 (0, tab, line feed and carriage return are allowed)
//   D  makes a text or value need decoding: & (entities), 0 (becomes a
//      space) and the C bytes (raise an error)
//   T  escaped in text by the writer: & < and 0
//   A  escaped in attribute values by the writer: & " < > and 0
enum CharClass : std::uint8_t { N = 1, S = 2, C = 4, D = 8, T = 16, A = 32 };
extern const std::uint8_t kCharClass[256];

inline bool Is(char c, CharClass cls) { return (kCharClass[static_cast<unsigned char>(c)] & cls) != 0; }

enum class Token {
  kName,      // a run of name characters; empty at the end of the input
  kBang,      // !
  kSlash,     // /
  kClose,     // >
  kQuestion,  // ?
  kQuoted,    // "value", decoded
};

// The input and a zero-based position in it. Reading at the end (or past
// it) sees a zero byte, so no read ever leaves the input.
class Reader {
 public:
  explicit Reader(std::string_view input) : input_(input) {}

  std::string_view input() const { return input_; }
  std::size_t size() const { return input_.size(); }
  std::size_t pos = 0;

  char At(std::size_t i) const { return i < input_.size() ? input_[i] : '\0'; }
  bool PassedEnd() const { return pos > input_.size(); }
  bool LooksAt(std::string_view text) const { return input_.substr(std::min(pos, input_.size())).starts_with(text); }

  // Skips bytes up to the space; stops at the end.
  void SkipSpace();
  // One token from the position. For kName and kQuoted, text() holds its
  // string until the next read; the other kinds leave text() unchanged.
  Token ReadToken();
  std::string_view text() const { return text_; }

  // Text up to the next "<" or the end of the input (the position then
  // one past the end), decoded. Whitespace-only runs come back empty
  // (after their control characters were checked).
  std::string_view ReadTextRun();
  // Comment body up to "-->", raw; raises "Не найден конец комментария".
  std::string_view ReadCommentBody();
  // CDATA body up to "]]>" or the end of the input, raw.
  std::string_view ReadCDataBody();

  // The input from `start` (clamped to 0), at most `length` bytes, as a
  // string that ends at the input's first zero byte: the excerpts of the
  // parser's messages.
  std::string Excerpt(std::ptrdiff_t start, std::size_t length) const;

  // Raises "Illegal char in XML. Char C code xHH." for the first illegal
  // control character, replaces the five entities and turns byte 0 into a
  // space. Gives `raw` itself when nothing needs changing, else a view of
  // an internal buffer valid until the next decoding.
  std::string_view Decode(std::string_view raw);

 private:
  std::string_view input_;
  std::string_view text_;
  std::string scratch_;
};

// Decode() as a plain function.
std::string DecodeText(std::string_view raw);

// Every index error of the library's lists:
// EListError "XML List Error:List index out of bounds (N)".
[[noreturn]] void ThrowListIndexError(int index);

}  // namespace korvel::xml::detail
