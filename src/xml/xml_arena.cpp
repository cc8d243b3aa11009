#include "xml/xml_arena.h"

namespace korvel::xml::detail {

// A new block is aligned for anything, so the request fits at its start.
void* Arena::TakeFromNewBlock(std::size_t bytes) {
  // A request larger than a quarter block gets a block of its own; the
  // current block stays the one to fill.
  if (bytes > kBlock / 4) {
    blocks_.emplace_back(new std::byte[bytes]);
    return blocks_.back().get();
  }
  blocks_.emplace_back(new std::byte[kBlock]);
  next_ = blocks_.back().get() + bytes;
  left_ = kBlock - bytes;
  return blocks_.back().get();
}

}  // namespace korvel::xml::detail
