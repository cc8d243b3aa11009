// The recursive structure of the parser: one function per construct, each
// with its shape above it. The bytes are read in place by the Reader
// (xml_reader.cpp) with one position that runs through the recursion.
#include "xml/xml_parser.h"

#include <algorithm>
#include <cstring>

#include "host/exception.h"
#include "xml/xml_arena.h"
#include "xml/xml_node_lists.h"
#include "xml/xml_reader.h"

namespace korvel::xml::detail {

namespace {

// Names are short: a loop beats a call of memcmp.
bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

Parser::Parser(std::string_view input, Arena& arena) : in_(input), arena_(arena) {}

// The small steps below are declared inline: they run for every node, and
// a call costs about as much as what they do.

inline TXMLNode* Parser::NewNode(TXMLNode& parent) {
  auto* node = new (arena_.Allocate(sizeof(TXMLNode))) TXMLNode();
  node->in_arena_ = true;
  node->parent_ = &parent;
  node->BareValues = parent.BareValues;
  node->IgnoreCase = parent.IgnoreCase;
  node->has_lists_ = true;
  node->lists_ignore_case_ = parent.IgnoreCase;
  return node;
}

inline TXMLNode* Parser::NewAttribute(TXMLNode& owner, std::string_view name) {
  auto* attribute = new (arena_.Allocate(sizeof(TXMLNode))) TXMLNode();
  attribute->in_arena_ = true;
  attribute->parent_ = &owner;
  attribute->Kind = nkAttribute;
  SetName(attribute->Name, name);
  attribute->BareValues = owner.BareValues;
  attribute->IgnoreCase = owner.IgnoreCase;
  attribute->lists_ignore_case_ = owner.IgnoreCase;
  return attribute;
}

inline TXMLNode::Lists& Parser::ListsOf(TXMLNode& node) {
  if (!node.lists_) {
    node.lists_.reset(new (arena_.Allocate(sizeof(TXMLNode::Lists)))
                          TXMLNode::Lists(&node, node.lists_ignore_case_, true));
  }
  return *node.lists_;
}

inline void Parser::TakePending(TXMLNodeList& list, std::size_t first) {
  const std::size_t count = pending_.size() - first;
  // The lists the parser fills are new and empty; every list counts in 32 bits.
  if (count > kMaxListItems) ThrowTooManyNodes();
  auto** items = static_cast<TXMLNode**>(arena_.Allocate(sizeof(TXMLNode*) * count));
  std::memcpy(items, pending_.data() + first, sizeof(TXMLNode*) * count);
  list.items_ = items;
  list.count_ = list.capacity_ = static_cast<std::uint32_t>(count);
  pending_.resize(first);
}

void Parser::AppendInArena(TXMLNodeList& list, TXMLNode* node) {
  if (list.count_ == list.capacity_) {
    const std::uint32_t capacity = GrownListCapacity(list.capacity_);
    auto** items = static_cast<TXMLNode**>(arena_.Allocate(sizeof(TXMLNode*) * capacity));
    if (list.count_ > 0) std::memcpy(items, list.items_, sizeof(TXMLNode*) * list.count_);
    list.items_ = items;
    list.capacity_ = capacity;
  }
  list.items_[list.count_++] = node;
}

inline void Parser::SetName(XmlString& field, std::string_view name) {
  if (name.empty()) {
    field.clear();
    return;
  }
  if (name.size() > 64) {
    field.Share(arena_.StoreString(name));
    return;
  }
  const std::size_t slot =
      (name.size() * 151 + static_cast<unsigned char>(name.front()) * 31 + static_cast<unsigned char>(name.back())) &
      (names_.size() - 1);
  const void*& cached = names_[slot];
  if (cached == nullptr || !SameBytes(StoredString(cached), name)) cached = arena_.StoreString(name);
  field.Share(cached);
}

inline void Parser::SetValue(XmlString& field, std::string_view value) {
  if (value.empty()) {
    field.clear();
  } else {
    field.Share(arena_.StoreString(value));
  }
}

void Parser::ParseDocument(TXMLNode& node) { ParseNode(node, 1); }

// <name ...>  |  <!...  |  <?...?> followed by the node proper
// The node is filled from the "<" on; a comment or processing instruction
// in front of it ends the pass "again" and the next "<" is read.
void Parser::ParseNode(TXMLNode& node, int depth) {
  if (depth > kMaxNestingDepth) {
    throw Exception("XML nesting too deep (more than " + std::to_string(kMaxNestingDepth) + " levels)");
  }
  for (;;) {
    if (in_.At(in_.pos) != '<') throw Exception("< expected");
    ++in_.pos;
    const Token token = in_.ReadToken();
    if (token == Token::kName) {
      SetName(node.Name, in_.text());
    } else {
      node.Name.clear();
    }
    switch (token) {
      case Token::kName:
        if (!ParseStartTag(node)) ParseContent(node, depth);
        return;
      case Token::kBang:
        if (!ParseBang(node)) return;
        break;
      case Token::kQuestion:
        ParseProcessingInstruction(node);
        break;
      default:
        throw Exception("Tag name expected: " + in_.Excerpt(static_cast<std::ptrdiff_t>(in_.pos) - 21, 200));
    }
  }
}

// name="value" ... >   or   ... />
// Whitespace may stand before the "=" but not after it. Returns whether the
// element closed itself.
bool Parser::ParseStartTag(TXMLNode& node) {
  // The attributes gather in pending_ first, so that the list's items are
  // made once and to size.
  const std::size_t first = pending_.size();
  bool closed = false;
  Token last = Token::kName;
  while (!in_.PassedEnd() && last != Token::kClose) {
    in_.SkipSpace();
    last = in_.ReadToken();
    if (last == Token::kSlash) {
      closed = true;
    } else if (last == Token::kName) {
      TXMLNode* attribute = NewAttribute(node, in_.text());
      pending_.push_back(attribute);
      in_.SkipSpace();
      if (in_.At(in_.pos) != '=') {
        throw Exception("= expected:" + in_.Excerpt(static_cast<std::ptrdiff_t>(in_.pos) - 51, 100));
      }
      ++in_.pos;
      last = ReadAttributeValue(node, *attribute);
      // A token other than a value after "=" takes effect as usual.
      if (last == Token::kSlash) closed = true;
    }
  }
  if (pending_.size() > first) TakePending(ListsOf(node).attributes, first);
  return closed;
}

// text | <child ...> | </name>
// Missing end tags at the end of the input are no error. The children
// gather in pending_ above those of the enclosing elements.
void Parser::ParseContent(TXMLNode& node, int depth) {
  const std::size_t first = pending_.size();
  while (!in_.PassedEnd()) {
    if (in_.At(in_.pos) != '<') {
      const std::string_view text = in_.ReadTextRun();
      if (!text.empty()) {
        TXMLNode* child = NewNode(node);
        child->Kind = nkText;
        SetValue(child->Value, text);
        pending_.push_back(child);
      }
    } else if (in_.At(in_.pos + 1) == '/') {
      ParseEndTag(node);
      break;
    } else {
      TXMLNode* child = NewNode(node);
      ParseNode(*child, depth + 1);
      pending_.push_back(child);
    }
  }
  if (pending_.size() > first) TakePending(ListsOf(node).children, first);
}

// </name>   The byte after the name is taken for the ">" without a look.
void Parser::ParseEndTag(TXMLNode& node) {
  const std::size_t lt = in_.pos;
  const std::string_view name = node.Name.view();
  if (!SameBytes(in_.input().substr(std::min(lt + 2, in_.size()), name.size()), name)) {
    throw Exception("Tag order error. Tag: \"" + std::string(name) + "\" code: " +
                    in_.Excerpt(static_cast<std::ptrdiff_t>(lt) - 101, 200));
  }
  in_.pos = lt + name.size() + 3;
}

// <![CDATA[ raw ]]>  |  <!-- raw -->  |  <!anything
// Returns true when the pass is to be repeated: a comment in front of the
// root element is dropped.
bool Parser::ParseBang(TXMLNode& node) {
  if (in_.LooksAt("[CDATA[")) {
    in_.pos += 7;
    SetName(node.Name, "#cdata-section");
    SetValue(node.Value, in_.ReadCDataBody());
    node.Kind = nkCData;
    return false;
  }
  if (in_.LooksAt("--")) {
    in_.pos += 2;
    SetName(node.Name, "#comment");
    node.Kind = nkComment;
    SetValue(node.Value, in_.ReadCommentBody());
    in_.SkipSpace();
    if (node.parent_ != nullptr) return false;
    node.Kind = nkElement;
    node.Name.clear();
    node.Value.clear();
    return true;
  }
  return false;
}

// <?target name="value" ... ?>
// The entry goes to the node's Headers; its attributes' parent is the node.
void Parser::ParseProcessingInstruction(TXMLNode& node) {
  if (in_.input().find("?>", in_.pos) == std::string_view::npos) throw Exception("Unclosed XML header");
  TXMLNode::Lists& lists = ListsOf(node);
  if (!lists.headers) {
    lists.headers.reset(new (arena_.Allocate(sizeof(TXMLNodeList))) TXMLNodeList(&node, node.IgnoreCase, true));
  }
  Token last = in_.ReadToken();
  const std::string_view target = last == Token::kName || last == Token::kQuoted ? in_.text() : std::string_view();
  // As AddNode(target, "", nkElement) on the Headers list would make it.
  TXMLNode* entry = NewNode(node);
  SetName(entry->Name, target);
  AppendInArena(*lists.headers, entry);
  const std::size_t first = pending_.size();
  while (!in_.PassedEnd() && last != Token::kClose) {
    in_.SkipSpace();
    last = in_.ReadToken();
    if (last != Token::kName) continue;
    TXMLNode* attribute = NewAttribute(node, in_.text());
    pending_.push_back(attribute);
    if (in_.At(in_.pos) != '=') throw Exception("= expected");
    ++in_.pos;
    last = ReadAttributeValue(node, *attribute);
  }
  if (pending_.size() > first) TakePending(ListsOf(*entry).attributes, first);
  in_.SkipSpace();
}

// "value"  (or a bare name while BareValues is on)
inline Token Parser::ReadAttributeValue(TXMLNode& owner, TXMLNode& attribute) {
  const Token token = in_.ReadToken();
  if (token == Token::kQuoted || token == Token::kName) SetValue(attribute.Value, in_.text());
  if (token == Token::kName && !owner.BareValues) throw Exception("Attribute value expected");
  return token;
}

}  // namespace korvel::xml::detail
