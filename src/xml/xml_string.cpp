#include "xml/xml_string.h"

#include <ostream>

namespace korvel::xml {

void XmlString::assign(std::string_view text) {
  if (text.empty()) {
    clear();
    return;
  }
  // Copied before the old bytes go: `text` may be a view of them.
  void* memory = ::operator new(detail::StoredStringSize(text.size()));
  detail::StoreString(memory, text);
  Release();
  bits_ = reinterpret_cast<std::uintptr_t>(memory) | kOwned;
}

std::ostream& operator<<(std::ostream& out, const XmlString& s) { return out << s.view(); }

}  // namespace korvel::xml
