// Windows-1251 is the program's internal text encoding: log lines, XML,
// SQL, messages and paths are all single-byte Windows-1251 strings. Russian
// texts are written in UTF-8 source and converted here, at compile time for
// literals ("Текст"_cp) and at run time for text that crosses an edge of the
// program (file names on POSIX, console output, child-process output).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::cp1251 {

// Unicode code points of the bytes 0x80..0xFF. 0x98 has no character in
// Windows-1251; like Windows, we carry it through as U+0098.
inline constexpr std::array<char16_t, 128> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// The byte for a code point, or -1 when Windows-1251 has none.
constexpr int ByteOf(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  for (int i = 0; i < 128; ++i) {
    if (kHighHalf[i] == cp) return 0x80 + i;
  }
  return -1;
}

constexpr char32_t CodePointOf(unsigned char byte) {
  return byte < 0x80 ? char32_t{byte} : char32_t{kHighHalf[byte - 0x80]};
}

// Decodes one UTF-8 sequence at s[i]; advances i. Returns U+FFFD for a
// malformed sequence (one byte consumed).
constexpr char32_t DecodeUtf8(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const std::size_t extra = (b0 & 0xE0) == 0xC0 ? 1 : (b0 & 0xF0) == 0xE0 ? 2 : (b0 & 0xF8) == 0xF0 ? 3 : 0;
  if (extra == 0 || s.size() - i <= extra) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = b0 & (0x3F >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += 1 + extra;
  return cp;
}

// UTF-8 to Windows-1251; characters without a byte become '?'.
std::string FromUtf8(std::string_view utf8);
// Windows-1251 to UTF-8.
std::string ToUtf8(std::string_view text);
// Windows-1251 to the DOS code page 866 of a Russian Windows console.
std::string ToOem866(std::string_view text);
// Code page 866 to Windows-1251.
std::string FromOem866(std::string_view oem);
// Windows-1251 to UTF-16 and back, for the wide-character system calls of
// Windows: the program's own table decides, not the machine's ANSI code
// page. Characters without a byte (a surrogate pair counts as one) and
// lone surrogates become '?'.
std::u16string ToUtf16(std::string_view text);
std::string FromUtf16(std::u16string_view utf16);

namespace detail {

template <std::size_t N>
struct Utf8Literal {
  char chars[N]{};
  constexpr Utf8Literal(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) chars[i] = s[i];
  }
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

constexpr std::size_t Cp1251Length(std::string_view s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size();) {
    DecodeUtf8(s, i);
    ++n;
  }
  return n;
}

template <Utf8Literal S>
struct Converted {
  static constexpr std::size_t kSize = Cp1251Length(S.view());
  static constexpr std::array<char, kSize + 1> kBytes = [] {
    std::array<char, kSize + 1> out{};
    std::string_view s = S.view();
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
      const int b = ByteOf(DecodeUtf8(s, i));
      if (b < 0) throw "character outside Windows-1251 in a literal";
      out[n++] = static_cast<char>(b);
    }
    return out;
  }();
};

}  // namespace detail

}  // namespace korvel::cp1251

namespace korvel::literals {

// "Инициализация ..."_cp is the Windows-1251 form of the literal, made by
// the compiler; a character that Windows-1251 lacks fails the build.
template <cp1251::detail::Utf8Literal S>
std::string operator""_cp() {
  using C = cp1251::detail::Converted<S>;
  return std::string(C::kBytes.data(), C::kSize);
}

}  // namespace korvel::literals
