// XmlString: the type of a node's Name and Value (xml_node.h).
//
// It reads like a std::string_view of Windows-1251 bytes and converts to one
// (and to std::string) wherever one is asked for; it is assigned from any
// string_view. What it saves is memory: it is one pointer wide, and the
// strings of a parsed document are not allocated one by one but live in the
// document's arena, where equal names are stored once.
//
// Storage: null for the empty string; otherwise the pointer addresses the
// length (4 bytes, or 4 + 8 for strings of 4 GB and more) followed by the
// bytes, without a terminating zero. The lowest bit of the pointer tells a
// string the XmlString owns (on the heap, given back when it is changed or
// destroyed) from one it shares with the arena of its document (which
// outlives every node of the document).
//
// Copies always own their bytes, so a copy stays valid after the document
// that its original belongs to is gone. There is no moving: a "move" copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <new>
#include <string>
#include <string_view>

namespace korvel::xml {

namespace detail {
class Parser;

// The length prefix of a stored string: 4 bytes, or the marker and 8 bytes.
inline constexpr std::uint32_t kLongStringMarker = 0xFFFFFFFFu;

inline std::size_t StoredStringSize(std::size_t length) {
  return (length < kLongStringMarker ? 4 : 12) + length;
}

// Copies n bytes. Most strings of a document are short, and a call of
// memcpy costs more than the copy: up to 16 bytes are copied with (at most
// two, overlapping) fixed-size moves that stay inside both ranges.
inline void CopyBytes(char* to, const char* from, std::size_t n) {
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(to, from, n);
      return;
    }
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Writes the length and the bytes of `text` to `memory`, which holds
// StoredStringSize(text.size()) bytes.
inline void StoreString(void* memory, std::string_view text) {
  auto* out = static_cast<char*>(memory);
  if (text.size() < kLongStringMarker) {
    const auto length = static_cast<std::uint32_t>(text.size());
    std::memcpy(out, &length, 4);
    out += 4;
  } else {
    const std::uint64_t length = text.size();
    std::memcpy(out, &kLongStringMarker, 4);
    std::memcpy(out + 4, &length, 8);
    out += 12;
  }
  CopyBytes(out, text.data(), text.size());
}

inline std::string_view StoredString(const void* memory) {
  const auto* in = static_cast<const char*>(memory);
  std::uint32_t length = 0;
  std::memcpy(&length, in, 4);
  if (length != kLongStringMarker) return {in + 4, length};
  std::uint64_t long_length = 0;
  std::memcpy(&long_length, in + 4, 8);
  return {in + 12, static_cast<std::size_t>(long_length)};
}
}  // namespace detail

class XmlString {
 public:
  XmlString() noexcept = default;
  explicit XmlString(std::string_view text) { assign(text); }
  XmlString(const XmlString& other) { assign(other.view()); }
  XmlString& operator=(const XmlString& other) {
    if (this != &other) assign(other.view());
    return *this;
  }
  XmlString& operator=(std::string_view text) {
    assign(text);
    return *this;
  }
  ~XmlString() { Release(); }

  // Replaces the content with a copy of `text` (which may be a view of this
  // string's own bytes).
  void assign(std::string_view text);
  void clear() noexcept {
    Release();
    bits_ = 0;
  }

  std::string_view view() const noexcept {
    return bits_ == 0 ? std::string_view() : detail::StoredString(reinterpret_cast<const void*>(bits_ & ~kOwned));
  }
  std::size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return bits_ == 0; }
  // The bytes, not zero-terminated.
  const char* data() const noexcept { return view().data(); }
  const char* begin() const noexcept { return view().data(); }
  const char* end() const noexcept {
    const std::string_view v = view();
    return v.data() + v.size();
  }
  char operator[](std::size_t index) const noexcept { return view()[index]; }
  std::string str() const { return std::string(view()); }

  operator std::string_view() const noexcept { return view(); }
  operator std::string() const { return str(); }

  friend bool operator==(const XmlString& a, const XmlString& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const XmlString& a, std::string_view b) noexcept { return a.view() == b; }
  // The bytes as they are.
  friend std::ostream& operator<<(std::ostream& out, const XmlString& s);

 private:
  friend class detail::Parser;
  static constexpr std::uintptr_t kOwned = 1;

  // Makes the string a view of bytes stored (StoreString) in a document's
  // arena at an even address; an empty string is never stored.
  void Share(const void* stored) noexcept {
    Release();
    bits_ = reinterpret_cast<std::uintptr_t>(stored);
  }
  void Release() noexcept {
    if ((bits_ & kOwned) != 0) ::operator delete(reinterpret_cast<void*>(bits_ & ~kOwned));
  }

  std::uintptr_t bits_ = 0;
};

}  // namespace korvel::xml
