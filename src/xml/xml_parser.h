// Inside the XML library: the recursive parser that fills a document node
// from text. TXMLNode::CreateFromText is its public face.
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "xml/xml_node.h"
#include "xml/xml_reader.h"

namespace korvel::xml::detail {

class Arena;

class Parser {
 public:
  // Every node, list block, item array and string the parser makes is
  // placed in `arena`, which must outlive them. Nothing it makes owns heap
  // memory, so what a failed parse leaves unlinked needs no destruction.
  Parser(std::string_view input, Arena& arena);

  // Fills `node` (a fresh element without name, with both lists) from the
  // input. Anything after the root element is not read. Raises Exception
  // with the parser's message on bad input.
  void ParseDocument(TXMLNode& node);

 private:
  // A child as CreateFromText would make it before parsing: an element
  // without a name with both lists (made when needed), the flags inherited
  // from the parent.
  TXMLNode* NewNode(TXMLNode& parent);
  TXMLNode* NewAttribute(TXMLNode& owner, std::string_view name);
  // The node's list block, made in the arena when it has none.
  TXMLNode::Lists& ListsOf(TXMLNode& node);
  // Gives `list` the nodes gathered in pending_ from `first` on (in an
  // item array of exactly their number) and drops them from pending_.
  void TakePending(TXMLNodeList& list, std::size_t first);
  // Appends one node to a list whose items are in the arena.
  void AppendInArena(TXMLNodeList& list, TXMLNode* node);
  // Names repeat: each distinct name is stored once (as far as a small
  // cache sees); values are stored as they come.
  void SetName(XmlString& field, std::string_view name);
  void SetValue(XmlString& field, std::string_view value);

  void ParseNode(TXMLNode& node, int depth);
  bool ParseStartTag(TXMLNode& node);
  void ParseContent(TXMLNode& node, int depth);
  void ParseEndTag(TXMLNode& node);
  bool ParseBang(TXMLNode& node);
  void ParseProcessingInstruction(TXMLNode& node);
  Token ReadAttributeValue(TXMLNode& owner, TXMLNode& attribute);

  Reader in_;
  Arena& arena_;
  // The attributes of the start tag being read and the children of the
  // elements open around the position, innermost last.
  std::vector<TXMLNode*> pending_;
  std::array<const void*, 256> names_{};
};

}  // namespace korvel::xml::detail
