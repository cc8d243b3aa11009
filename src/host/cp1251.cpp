#include "host/cp1251.h"

namespace korvel::cp1251 {
namespace {

// Code page 866 upper half as code points.
constexpr char16_t kOem866[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C,
    0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429,
    0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436,
    0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407,
    0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string FromUtf8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const int b = ByteOf(DecodeUtf8(utf8, i));
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

std::string ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) AppendUtf8(out, CodePointOf(static_cast<unsigned char>(c)));
  return out;
}

std::string ToOem866(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const char32_t cp = CodePointOf(static_cast<unsigned char>(c));
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    char mapped = '?';
    for (int i = 0; i < 128; ++i) {
      if (kOem866[i] == cp) {
        mapped = static_cast<char>(0x80 + i);
        break;
      }
    }
    out += mapped;
  }
  return out;
}

std::string FromOem866(std::string_view oem) {
  std::string out;
  out.reserve(oem.size());
  for (char c : oem) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
      continue;
    }
    const int mapped = ByteOf(kOem866[b - 0x80]);
    out += mapped < 0 ? '?' : static_cast<char>(mapped);
  }
  return out;
}

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out += static_cast<char16_t>(CodePointOf(static_cast<unsigned char>(c)));
  return out;
}

std::string FromUtf16(std::u16string_view utf16) {
  // The reverse of the upper half, built once: code point -> byte.
  static const std::array<unsigned char, 0x10000> kReverse = [] {
    std::array<unsigned char, 0x10000> table{};
    for (int i = 0; i < 128; ++i) table[kHighHalf[i]] = static_cast<unsigned char>(0x80 + i);
    return table;
  }();
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u >= 0xD800 && u < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000) {
      out += '?';  // one character outside the basic plane
      ++i;
    } else {
      const unsigned char b = kReverse[u];
      out += b != 0 ? static_cast<char>(b) : '?';
    }
  }
  return out;
}

}  // namespace korvel::cp1251
