// Inside the XML library: the character classes and the token reader the
// recursive parser (xml_parser.cpp) is built on. Not for use outside
// src/xml.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// SSE2 is part of every x86-64 processor (and of every x86 one that the
// program's compilers target by default).
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KORVEL_XML_SSE2 1
#include <emmintrin.h>
#endif

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

// The offset of the first byte of `s` that ends a value needing no
// decoding: a double quote or a D byte; s.size() when there is none.
// Looks at 16 (SSE2) or 8 bytes at a time, and at single bytes only in a
// block that holds a double quote, "&" or a byte below the space.
inline std::size_t FindQuoteOrDecoded(std::string_view s) {
  const char* const p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  const auto stops = [](char c) { return c == '"' || Is(c, D); };
#if defined(KORVEL_XML_SSE2)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i amp = _mm_set1_epi8('&');
  const __m128i below_space = _mm_set1_epi8(31);
  for (; i + 16 <= n; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(block, below_space), block);
    auto hits = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, amp)), low)));
    for (; hits != 0; hits &= hits - 1) {
      const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(hits));
      if (stops(p[at])) return at;
    }
  }
#else
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  while (i + 8 <= n) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t amp = word ^ (kOnes * '&');
    // The high bit of a byte is set in each term for (at least the first
    // of) the bytes equal to '"', equal to '&', below 32.
    if ((((quote - kOnes) & ~quote) | ((amp - kOnes) & ~amp) | ((word - kOnes * 32) & ~word)) & kHigh) {
      for (const std::size_t end = i + 8; i < end; ++i) {
        if (stops(p[i])) return i;
      }
    } else {
      i += 8;
    }
  }
#endif
  for (; i < n; ++i) {
    if (stops(p[i])) return i;
  }
  return n;
}

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
  // (The loops here count in locals: a byte read might alias `pos`, which
  // would otherwise be stored at every step.)
  void SkipSpace() {
    std::size_t i = pos;
    while (i < input_.size() && Is(input_[i], S)) ++i;
    pos = i;
  }
  // One token from the position. For kName and kQuoted, text() holds its
  // string until the next read; the other kinds leave text() unchanged.
  // name | ! | / | > | ? | "value"
  Token ReadToken() {
    if (pos >= input_.size()) {
      text_ = {};
      return Token::kName;
    }
    const char c = input_[pos];
    if (Is(c, N)) {
      const std::size_t start = pos;
      std::size_t i = start + 1;
      while (i < input_.size() && Is(input_[i], N)) ++i;
      pos = i;
      text_ = input_.substr(start, i - start);
      return Token::kName;
    }
    switch (c) {
      case '!': ++pos; return Token::kBang;
      case '/': ++pos; return Token::kSlash;
      case '>': ++pos; return Token::kClose;
      case '?': ++pos; return Token::kQuestion;
      case '"': {
        // Most values need no decoding: one pass finds their end.
        const std::size_t close = pos + 1 + FindQuoteOrDecoded(input_.substr(pos + 1));
        if (close >= input_.size() || input_[close] != '"') return ReadDecodedValue(close);
        text_ = input_.substr(pos + 1, close - pos - 1);
        pos = close + 1;
        return Token::kQuoted;
      }
      default: IllegalSymbol();
    }
  }
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
  // The rest of ReadToken for a value whose first byte to decode (or end
  // of input) is at `stop`.
  Token ReadDecodedValue(std::size_t stop);
  [[noreturn]] void IllegalSymbol() const;

  std::string_view input_;
  std::string_view text_;
  std::string scratch_;
};

// Decode() as a plain function.
std::string DecodeText(std::string_view raw);

}  // namespace korvel::xml::detail
