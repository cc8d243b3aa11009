// Inside the XML library: the block that holds a node's lists, and the
// access to it that reading code uses so as not to make lists only to find
// them empty.
#pragma once

#include <memory>

#include "xml/xml_arena.h"
#include "xml/xml_node.h"

namespace korvel::xml {

struct TXMLNode::Lists {
  Lists(TXMLNode* owner, bool ignore_case, bool in_arena) noexcept
      : attributes(owner, ignore_case, in_arena), children(owner, ignore_case, in_arena) {}

  // The arena of a parsed document node (whose lists are on the heap).
  // Declared first so that it goes last, after the lists.
  std::unique_ptr<detail::Arena> arena;
  TXMLNodeList attributes;
  TXMLNodeList children;
  std::unique_ptr<TXMLNodeList, TXMLNodeList::Deleter> headers;
};

namespace detail {

struct NodeAccess {
  // Whether the node was made with Attributes and Children.
  static bool HasLists(const TXMLNode& node) { return node.has_lists_; }
  // The node's lists as far as they exist; null where there are none yet
  // (empty) or none at all.
  static const TXMLNodeList* Attributes(const TXMLNode& node) {
    return node.lists_ ? &node.lists_->attributes : nullptr;
  }
  static const TXMLNodeList* Children(const TXMLNode& node) {
    return node.lists_ ? &node.lists_->children : nullptr;
  }
  static const TXMLNodeList* Headers(const TXMLNode& node) {
    return node.lists_ ? node.lists_->headers.get() : nullptr;
  }
};

}  // namespace detail
}  // namespace korvel::xml
