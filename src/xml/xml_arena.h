// Inside the XML library: the arena that holds a parsed document's nodes,
// lists and list storage (see ArenaAllocate in xml_node.h).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace korvel::xml::detail {

// Bump allocation from blocks of 64 KB; nothing is given back before the
// arena goes. The blocks stay below the size for which the C library maps
// fresh pages from the system, so that the memory of one document is used
// again for the next. Objects placed here are destroyed by
// their owners as usual; only their memory stays until then.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Aligned for the library's objects (nodes, lists, pointers).
  void* Allocate(std::size_t bytes);

 private:
  static constexpr std::size_t kAlign = alignof(void*);
  static constexpr std::size_t kBlock = 64 * 1024 - 64;

  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace korvel::xml::detail
