// Inside the XML library: the recursive parser that fills a document node
// from text. TXMLNode::CreateFromText is its public face.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "xml/xml_reader.h"

namespace korvel::xml {
class TXMLNode;
}

namespace korvel::xml::detail {

class Arena;

class Parser {
 public:
  // New nodes and lists are placed in `arena`, which must outlive them.
  Parser(std::string_view input, Arena* arena);

  // Fills `node` (a fresh element without name, with both lists) from the
  // input. Anything after the root element is not read. Raises Exception
  // with the parser's message on bad input.
  void ParseDocument(TXMLNode& node);

 private:
  // A child as CreateFromText would make it before parsing: an element
  // without a name with both lists, the flags inherited from the parent.
  std::unique_ptr<TXMLNode> NewNode(TXMLNode& parent);
  void ParseNode(TXMLNode& node, int depth);
  bool ParseStartTag(TXMLNode& node);
  void ParseContent(TXMLNode& node, int depth);
  void ParseEndTag(TXMLNode& node);
  bool ParseBang(TXMLNode& node);
  void ParseProcessingInstruction(TXMLNode& node);
  std::unique_ptr<TXMLNode> NewAttribute(TXMLNode& owner, std::string_view name);
  Token ReadAttributeValue(TXMLNode& owner, TXMLNode& attribute);

  Reader in_;
  Arena* arena_;
  std::vector<std::unique_ptr<TXMLNode>> pending_attributes_;
};

}  // namespace korvel::xml::detail
