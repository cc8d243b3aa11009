// Inside the XML library: the arena that holds a parsed document's nodes,
// their list blocks, the lists' item arrays and the strings (see XmlString).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "xml/xml_string.h"

namespace korvel::xml::detail {

// Bump allocation from blocks of 64 KB; nothing is given back before the
// arena goes. The blocks stay below the size for which the C library maps
// fresh pages from the system, so that the memory of one document is used
// again for the next. Objects placed here are destroyed by their owners as
// usual; only their memory stays until then.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Aligned for the library's objects (nodes, lists, pointers).
  void* Allocate(std::size_t bytes) { return Take(bytes, alignof(void*)); }

  // `text` (not empty) stored as XmlString keeps its bytes, at an even
  // address.
  const void* StoreString(std::string_view text) {
    void* memory = Take(StoredStringSize(text.size()), 2);
    detail::StoreString(memory, text);
    return memory;
  }

 private:
  static constexpr std::size_t kBlock = 64 * 1024 - 64;

  void* Take(std::size_t bytes, std::size_t align) {
    const std::size_t pad = (0 - reinterpret_cast<std::uintptr_t>(next_)) & (align - 1);
    if (bytes + pad > left_) return TakeFromNewBlock(bytes);
    std::byte* memory = next_ + pad;
    next_ = memory + bytes;
    left_ -= bytes + pad;
    return memory;
  }
  void* TakeFromNewBlock(std::size_t bytes);

  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace korvel::xml::detail
