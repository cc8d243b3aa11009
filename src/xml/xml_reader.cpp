#include "xml/xml_reader.h"

#include <algorithm>
#include <cstring>

#include "host/cp1251.h"
#include "host/exception.h"

namespace korvel::xml::detail {

using namespace korvel::literals;

// clang-format off
const std::uint8_t kCharClass[256] = {
    S|D|T|A, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S, S, S|C|D, S|C|D, S, S|C|D, S|C|D,  //   0- 15
    S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D, S|C|D,  //  16- 31
    S, 0, A, 0, N, N, D|T|A, 0, 0, 0, 0, 0, 0, N, N, 0,  //  32- 47   ! " # $ % & ' ( ) * + , - . /
    N, N, N, N, N, N, N, N, N, N, N, 0, T|A, 0, A, 0,    //  48- 63   0-9 : ; < = > ?
    N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N,      //  64- 79   @ A-O
    N, N, N, N, N, N, N, N, N, N, N, 0, 0, 0, 0, N,      //  80- 95   P-Z [ \ ] ^ _
    0, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N,      //  96-111   ` a-o
    N, N, N, N, N, N, N, N, N, N, N, 0, 0, 0, 0, 0,      // 112-127   p-z { | } ~ DEL
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,      // 128-143
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,      // 144-159
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,      // 160-175   Ё at 168
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,      // 176-191   ё at 184, № at 185
    N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N,      // 192-207   А-П
    N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N,      // 208-223   Р-Я
    N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N,      // 224-239   а-п
    N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N,      // 240-255   р-я
};
// clang-format on

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

[[noreturn]] void IllegalChar(char c) {
  const auto code = static_cast<unsigned char>(c);
  std::string message = "Illegal char in XML. Char ";
  message += c;
  message += " code x";
  message += kHex[code >> 4];
  message += kHex[code & 15];
  message += '.';
  throw Exception(std::move(message));
}

// The five predefined entities; the rest of an "&" sequence stays as it is.
// Replacing them one after another throughout the text, "&amp;" last, gives
// the same as this single pass, since no replacement can form another.
std::size_t MatchEntity(std::string_view s, char& replacement) {
  struct Entity {
    std::string_view text;
    char c;
  };
  static constexpr Entity kEntities[] = {{"&gt;", '>'}, {"&lt;", '<'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  for (const Entity& e : kEntities) {
    if (s.starts_with(e.text)) {
      replacement = e.c;
      return e.text.size();
    }
  }
  return 0;
}

}  // namespace

Token Reader::ReadDecodedValue(std::size_t stop) {
  const std::size_t close = input_.find('"', stop);
  if (close == std::string_view::npos) throw Exception("Unterminated attribute");
  text_ = Decode(input_.substr(pos + 1, close - pos - 1));
  pos = close + 1;
  return Token::kQuoted;
}

void Reader::IllegalSymbol() const {
  throw Exception(std::to_string(pos) + " :Illegal symbol in XML:" + input_[pos]);
}

// text ... <
std::string_view Reader::ReadTextRun() {
  const std::size_t start = std::min(pos, input_.size());
  // Most runs are the line breaks and indents between elements: those end
  // at the first byte that is not plain whitespace.
  std::size_t i = start;
  while (i < input_.size() && Is(input_[i], S) && !Is(input_[i], C)) ++i;
  if (i == input_.size() || input_[i] == '<') {
    pos = i == input_.size() ? i + 1 : i;
    return {};
  }
  const std::size_t lt = input_.find('<', i);
  const std::size_t stop = lt == std::string_view::npos ? input_.size() : lt;
  pos = lt == std::string_view::npos ? input_.size() + 1 : lt;
  const std::string_view raw = input_.substr(start, stop - start);
  if (std::all_of(raw.begin(), raw.end(), [](char b) { return Is(b, S); })) {
    const auto bad = std::find_if(raw.begin(), raw.end(), [](char b) { return Is(b, C); });
    if (bad != raw.end()) IllegalChar(*bad);
    return {};
  }
  return Decode(raw);
}

// <!-- body -->
std::string_view Reader::ReadCommentBody() {
  const std::size_t start = std::min(pos, input_.size());
  const std::size_t end = input_.find("-->", start);
  if (end == std::string_view::npos) throw Exception("Не найден конец комментария"_cp);
  pos = end + 3;
  return input_.substr(start, end - start);
}

// <![CDATA[ body ]]>   (an unclosed section runs to the end of the input)
std::string_view Reader::ReadCDataBody() {
  const std::size_t start = std::min(pos, input_.size());
  const std::size_t end = input_.find("]]>", start);
  if (end == std::string_view::npos) {
    pos = input_.size() + 1;
    return input_.substr(start);
  }
  pos = end + 3;
  return input_.substr(start, end - start);
}

std::string Reader::Excerpt(std::ptrdiff_t start, std::size_t length) const {
  const std::string_view whole = input_.substr(0, std::min(input_.find('\0'), input_.size()));
  const std::size_t from = start < 0 ? 0 : static_cast<std::size_t>(start);
  if (from >= whole.size()) return {};
  return std::string(whole.substr(from, length));
}

std::string_view Reader::Decode(std::string_view raw) {
  std::size_t i = 0;
  while (i < raw.size() && !Is(raw[i], D)) ++i;
  if (i == raw.size()) return raw;
  const auto bad = std::find_if(raw.begin() + static_cast<std::ptrdiff_t>(i), raw.end(), [](char b) { return Is(b, C); });
  if (bad != raw.end()) IllegalChar(*bad);
  scratch_.assign(raw.data(), i);
  while (i < raw.size()) {
    const char c = raw[i];
    char replacement = 0;
    std::size_t length = 0;
    if (c == '\0') {
      scratch_ += ' ';
      ++i;
    } else if (c == '&' && (length = MatchEntity(raw.substr(i), replacement)) > 0) {
      scratch_ += replacement;
      i += length;
    } else {
      scratch_ += c;
      ++i;
    }
  }
  return scratch_;
}

std::string DecodeText(std::string_view raw) {
  Reader reader(raw);
  return std::string(reader.Decode(raw));
}

}  // namespace korvel::xml::detail
