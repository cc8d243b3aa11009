#include "xml/xml_arena.h"

#include <new>

#include "xml/xml_node.h"

namespace korvel::xml::detail {

static_assert(alignof(TXMLNode) <= alignof(void*) && alignof(TXMLNodeList) <= alignof(void*),
              "the arena aligns to pointers");

void* Arena::Allocate(std::size_t bytes) {
  bytes = (bytes + kAlign - 1) & ~(kAlign - 1);
  if (bytes > left_) {
    // A request larger than a block gets a block of its own; the current
    // block stays the one to fill.
    if (bytes > kBlock / 4) {
      blocks_.emplace_back(new std::byte[bytes]);
      return blocks_.back().get();
    }
    blocks_.emplace_back(new std::byte[kBlock]);
    next_ = blocks_.back().get();
    left_ = kBlock;
  }
  void* memory = next_;
  next_ += bytes;
  left_ -= bytes;
  return memory;
}

void* ArenaAllocate(Arena* arena, std::size_t bytes) {
  return arena != nullptr ? arena->Allocate(bytes) : ::operator new(bytes);
}

void ArenaFree(Arena* arena, void* memory, std::size_t /*bytes*/) noexcept {
  if (arena == nullptr) ::operator delete(memory);
}

}  // namespace korvel::xml::detail
