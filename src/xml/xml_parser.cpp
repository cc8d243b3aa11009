// The recursive structure of the parser: one function per construct, each
// with its shape above it. The bytes are read in place by the Reader
// (xml_reader.cpp) with one position that runs through the recursion.
#include "xml/xml_parser.h"

#include "host/exception.h"
#include "xml/xml_arena.h"
#include "xml/xml_node.h"
#include "xml/xml_reader.h"

namespace korvel::xml::detail {

Parser::Parser(std::string_view input, Arena* arena) : in_(input), arena_(arena) {}

std::unique_ptr<TXMLNode> Parser::NewNode(TXMLNode& parent) {
  std::unique_ptr<TXMLNode> node(new (arena_->Allocate(sizeof(TXMLNode))) TXMLNode());
  node->in_arena_ = true;
  node->parent_ = &parent;
  node->BareValues = parent.BareValues;
  node->IgnoreCase = parent.IgnoreCase;
  node->MakeLists(arena_);
  return node;
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
      node.Name.assign(in_.text());
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
  // The attributes gather here first, so that the list's storage in the
  // arena is made once and to size.
  pending_attributes_.clear();
  bool closed = false;
  Token last = Token::kName;
  while (!in_.PassedEnd() && last != Token::kClose) {
    in_.SkipSpace();
    last = in_.ReadToken();
    if (last == Token::kSlash) {
      closed = true;
    } else if (last == Token::kName) {
      std::unique_ptr<TXMLNode> attribute = NewAttribute(node, in_.text());
      in_.SkipSpace();
      if (in_.At(in_.pos) != '=') {
        throw Exception("= expected:" + in_.Excerpt(static_cast<std::ptrdiff_t>(in_.pos) - 51, 100));
      }
      ++in_.pos;
      last = ReadAttributeValue(node, *attribute);
      pending_attributes_.push_back(std::move(attribute));
      // A token other than a value after "=" takes effect as usual.
      if (last == Token::kSlash) closed = true;
    }
  }
  auto& attributes = node.attributes_->items_;
  attributes.reserve(pending_attributes_.size());
  for (auto& attribute : pending_attributes_) attributes.push_back(std::move(attribute));
  pending_attributes_.clear();
  return closed;
}

// text | <child ...> | </name>
// Missing end tags at the end of the input are no error.
void Parser::ParseContent(TXMLNode& node, int depth) {
  TXMLNodeList& children = *node.children_;
  while (!in_.PassedEnd()) {
    if (in_.At(in_.pos) != '<') {
      const std::string_view text = in_.ReadTextRun();
      if (!text.empty()) {
        std::unique_ptr<TXMLNode> child = NewNode(node);
        child->Kind = nkText;
        child->Value.assign(text);
        children.items_.push_back(std::move(child));
      }
    } else if (in_.At(in_.pos + 1) == '/') {
      ParseEndTag(node);
      return;
    } else {
      std::unique_ptr<TXMLNode> child = NewNode(node);
      ParseNode(*child, depth + 1);
      children.items_.push_back(std::move(child));
    }
  }
}

// </name>   The byte after the name is taken for the ">" without a look.
void Parser::ParseEndTag(TXMLNode& node) {
  const std::size_t lt = in_.pos;
  if (in_.input().substr(lt + 2, node.Name.size()) != node.Name) {
    throw Exception("Tag order error. Tag: \"" + node.Name + "\" code: " +
                    in_.Excerpt(static_cast<std::ptrdiff_t>(lt) - 101, 200));
  }
  in_.pos = lt + node.Name.size() + 3;
}

// <![CDATA[ raw ]]>  |  <!-- raw -->  |  <!anything
// Returns true when the pass is to be repeated: a comment in front of the
// root element is dropped.
bool Parser::ParseBang(TXMLNode& node) {
  if (in_.LooksAt("[CDATA[")) {
    in_.pos += 7;
    node.Name = "#cdata-section";
    node.Value.assign(in_.ReadCDataBody());
    node.Kind = nkCData;
    return false;
  }
  if (in_.LooksAt("--")) {
    in_.pos += 2;
    node.Name = "#comment";
    node.Kind = nkComment;
    node.Value.assign(in_.ReadCommentBody());
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
  if (!node.headers_) node.headers_ = TXMLNodeList::Make(&node, node.IgnoreCase, arena_);
  Token last = in_.ReadToken();
  const std::string_view target = last == Token::kName || last == Token::kQuoted ? in_.text() : std::string_view();
  TXMLNode* entry = node.headers_->AddNode(target, {}, nkElement);
  while (!in_.PassedEnd() && last != Token::kClose) {
    in_.SkipSpace();
    last = in_.ReadToken();
    if (last != Token::kName) continue;
    std::unique_ptr<TXMLNode> attribute = NewAttribute(node, in_.text());
    if (in_.At(in_.pos) != '=') throw Exception("= expected");
    ++in_.pos;
    last = ReadAttributeValue(node, *attribute);
    entry->attributes_->items_.push_back(std::move(attribute));
  }
  in_.SkipSpace();
}

std::unique_ptr<TXMLNode> Parser::NewAttribute(TXMLNode& owner, std::string_view name) {
  std::unique_ptr<TXMLNode> attribute(new (arena_->Allocate(sizeof(TXMLNode))) TXMLNode());
  attribute->in_arena_ = true;
  attribute->parent_ = &owner;
  attribute->Kind = nkAttribute;
  attribute->Name.assign(name);
  attribute->BareValues = owner.BareValues;
  attribute->IgnoreCase = owner.IgnoreCase;
  return attribute;
}

// "value"  (or a bare name while BareValues is on)
Token Parser::ReadAttributeValue(TXMLNode& owner, TXMLNode& attribute) {
  const Token token = in_.ReadToken();
  if (token == Token::kQuoted || token == Token::kName) attribute.Value.assign(in_.text());
  if (token == Token::kName && !owner.BareValues) throw Exception("Attribute value expected");
  return token;
}

}  // namespace korvel::xml::detail
