// Inside the XML library: the recursive parser that fills a document node
// from text. TXMLNode::CreateFromText is its public face.
#pragma once

#include <memory>
#include <string_view>

#include "xml/xml_reader.h"

namespace korvel::xml {
class TXMLNode;
}

namespace korvel::xml::detail {

class Parser {
 public:
  explicit Parser(std::string_view input);

  // Fills `node` (a fresh element without name) from the whole input;
  // nothing for an empty input. Anything after the root element is not
  // read. Raises Exception with the parser's message on bad input.
  void ParseDocument(TXMLNode& node);

  // A node as CreateFromText makes it before parsing: an element without a
  // name with both lists, the flags inherited from `parent` when given.
  static std::unique_ptr<TXMLNode> NewNode(TXMLNode* parent, bool ignore_case);

 private:
  void ParseNode(TXMLNode& node, int depth);
  bool ParseStartTag(TXMLNode& node);
  void ParseContent(TXMLNode& node, int depth);
  void ParseEndTag(TXMLNode& node);
  bool ParseBang(TXMLNode& node);
  void ParseProcessingInstruction(TXMLNode& node);
  static std::unique_ptr<TXMLNode> NewAttribute(TXMLNode& owner, std::string_view name);
  Token ReadAttributeValue(TXMLNode& owner, TXMLNode& attribute);

  Reader in_;
};

}  // namespace korvel::xml::detail
