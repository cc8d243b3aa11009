// Writing trees back to text: escaping, the compact form, the indented
// form and saving. Both forms walk the tree with an explicit stack, so any
// depth that the program can build is written without recursion.
#include "xml/xml_node.h"
#include "xml/xml_node_lists.h"
#include "xml/xml_reader.h"

namespace korvel::xml {
namespace {

using detail::Is;
using detail::NodeAccess;

void AppendEscaped(std::string& out, std::string_view s, detail::CharClass cls) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!Is(s[i], cls)) continue;
    out.append(s, start, i - start);
    switch (s[i]) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += ' '; break;  // byte 0
    }
    start = i + 1;
  }
  out.append(s, start, s.size() - start);
}

void AppendHeaders(std::string& out, const TXMLNode& node);

// name="value"
void AppendAttribute(std::string& out, const TXMLNode& attribute) {
  AppendHeaders(out, attribute);
  out += attribute.Name.view();
  out += "=\"";
  AppendEscaped(out, attribute.Value, detail::A);
  out += '"';
}

void AppendAttributes(std::string& out, const TXMLNode& node) {
  const TXMLNodeList* attributes = NodeAccess::Attributes(node);
  if (attributes == nullptr) return;
  for (const TXMLNode* attribute : *attributes) {
    out += ' ';
    if (attribute->Kind == nkAttribute) {
      AppendAttribute(out, *attribute);
    } else {
      out += attribute->ToXML();
    }
  }
}

// <?target name="value" ... ?>
void AppendHeader(std::string& out, const TXMLNode& entry) {
  out += "<?";
  out += entry.Name.view();
  AppendAttributes(out, entry);
  out += " ?>";
}

void AppendHeaders(std::string& out, const TXMLNode& node) {
  const TXMLNodeList* headers = NodeAccess::Headers(node);
  if (headers == nullptr) return;
  for (const TXMLNode* entry : *headers) AppendHeader(out, *entry);
}

// The compact form of a node that has no subtree to write.
void AppendLeaf(std::string& out, const TXMLNode& node) {
  switch (node.Kind) {
    case nkAttribute:
      AppendAttribute(out, node);
      return;
    case nkText:
      AppendHeaders(out, node);
      AppendEscaped(out, node.Value, detail::T);
      return;
    case nkCData:
      AppendHeaders(out, node);
      out += "<![CDATA[";
      out += node.Value.view();
      out += "]]>";
      return;
    case nkComment:
      AppendHeaders(out, node);
      out += "<!--";
      out += node.Value.view();
      out += "-->";
      return;
    default:
      AppendHeaders(out, node);
      return;
  }
}

// The children of a node in order; none when it has no list.
struct ChildRange {
  explicit ChildRange(const TXMLNode& node) {
    if (const TXMLNodeList* children = NodeAccess::Children(node)) {
      next = children->begin();
      end = children->end();
    }
  }
  bool empty() const { return next == end; }
  TXMLNodeList::Iterator next = nullptr;
  TXMLNodeList::Iterator end = nullptr;
};

// <name attributes>children</name>  or  <name attributes/>
void AppendCompact(std::string& out, const TXMLNode& top) {
  struct Frame {
    const TXMLNode* node;
    ChildRange children;
  };
  std::vector<Frame> stack;
  const auto open = [&](const TXMLNode& node) {
    if (node.Kind != nkElement) {
      AppendLeaf(out, node);
      return;
    }
    AppendHeaders(out, node);
    out += '<';
    out += node.Name.view();
    AppendAttributes(out, node);
    const ChildRange children(node);
    if (children.empty()) {
      out += "/>";
      return;
    }
    out += '>';
    stack.push_back(Frame{&node, children});
  };
  open(top);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (!frame.children.empty()) {
      open(**frame.children.next++);  // may move the stack: `frame` is not used after
      continue;
    }
    out += "</";
    out += frame.node->Name.view();
    out += '>';
    stack.pop_back();
  }
}

// An indent is `base` followed by `spaces` spaces; `drop` bytes come off
// its end.
void AppendIndent(std::string& out, std::string_view base, std::size_t spaces, std::size_t drop) {
  std::size_t keep = base.size() + spaces;
  keep = keep > drop ? keep - drop : 0;
  const std::size_t from_base = std::min(keep, base.size());
  out.append(base.substr(0, from_base));
  out.append(keep - from_base, ' ');
}

}  // namespace

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text, detail::T);
  return out;
}

std::string EscapeAttr(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  AppendEscaped(out, value, detail::A);
  return out;
}

std::string TXMLNode::ToXML() const {
  std::string out;
  AppendCompact(out, *this);
  return out;
}

std::string TXMLNode::HeaderToXML() const {
  std::string out;
  AppendHeader(out, *this);
  return out;
}

// An element per line: "<name attributes" then "/>" CR LF without children;
// with children ">" (and CR LF unless the first child is text), each child
// element on its own line after the indent, other children in compact form
// where they stand, and the end tag (after the indent less two spaces when
// an element child was written) with CR LF.
void TXMLNode::WriteIndented(std::string& buffer, std::string_view indent) const {
  struct Frame {
    const TXMLNode* node;
    ChildRange children;
    std::string_view base;
    std::size_t spaces;
    bool wrote_element;
  };
  std::vector<Frame> stack;
  // Writes the start of `node`; pushes a frame when its children follow.
  const auto open = [&](const TXMLNode& node, std::string_view base, std::size_t spaces) {
    if (node.Kind != nkElement) {
      AppendCompact(buffer, node);
      return;
    }
    buffer += '<';
    buffer += node.Name.view();
    AppendAttributes(buffer, node);
    const ChildRange children(node);
    if (children.empty()) {
      buffer += "/>\r\n";
      return;
    }
    buffer += (*children.next)->Kind == nkText ? ">" : ">\r\n";
    if (node.Parent() == nullptr) {
      base = {};
      spaces = 2;
    }
    stack.push_back(Frame{&node, children, base, spaces, false});
  };
  open(*this, indent, 0);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (!frame.children.empty()) {
      const TXMLNode& child = **frame.children.next++;
      if (child.Kind != nkElement) {
        AppendCompact(buffer, child);
        continue;
      }
      AppendIndent(buffer, frame.base, frame.spaces, 0);
      frame.wrote_element = true;
      const std::string_view base = frame.base;
      const std::size_t spaces = frame.spaces + 2;
      open(child, base, spaces);  // may move the stack: `frame` is not used after
      continue;
    }
    if (frame.wrote_element) AppendIndent(buffer, frame.base, frame.spaces, 2);
    buffer += "</";
    buffer += frame.node->Name.view();
    buffer += ">\r\n";
    stack.pop_back();
  }
}

std::string TXMLNode::SaveToString() const {
  // A document without header entry has nothing to put first: the list
  // error, as for any index out of range.
  if (Headers() == nullptr) detail::ThrowListIndexError(0);
  std::string text = Headers()->Items(0)->HeaderToXML();
  text += "\r\n";
  WriteIndented(text, " ");
  return text;
}

void TXMLNode::SaveToFile(host::Host& host, const std::string& file_name) const {
  const std::string text = SaveToString();
  std::unique_ptr<host::File> file;
  try {
    file = host.OpenFile(file_name, host::OpenMode::kCreate, host::ShareMode::kExclusive);
  } catch (const Exception& e) {
    throw EInOutError(e.Message(), e.Cause());
  }
  try {
    file->Write(text);
    file->Flush();
    file.reset();
  } catch (const Exception& e) {
    // A half-written document must not pass for a whole one.
    file.reset();
    try {
      host.DeleteFile(file_name);
    } catch (const Exception&) {
      // The write error is the one to report; a file that cannot be removed
      // either stays as it is.
    }
    throw EInOutError(e.Message(), e.Cause());
  }
}

}  // namespace korvel::xml
