#include "packages/shown_name.h"

namespace korvel::packages {

std::string ShownName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
      continue;
    }
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 0x0F];
  }
  return shown;
}

}  // namespace korvel::packages
