// Parses any bytes; a document that the writer can express must save and
// read back into an equal tree. Run with the dictionary and seed corpus:
//   xml_parse_fuzzer -dict=fuzz/xml.dict fuzz/corpus/xml_parse
#include <cstdint>
#include <cstdlib>

#include "xml/xml_node.h"

namespace {

using korvel::xml::TXMLNode;
using korvel::xml::TXMLNodeList;
using namespace korvel::xml;

bool IsName(const std::string& s) {
  if (s.empty()) return false;
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    const bool name = b >= 192 || (b >= '0' && b <= ':') || (b >= '@' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                      c == '$' || c == '%' || c == '-' || c == '.' || c == '_';
    if (!name) return false;
  }
  return true;
}

bool HeadersNamed(const TXMLNodeList* headers) {
  if (headers == nullptr) return true;
  for (const TXMLNode* entry : *headers) {
    if (!IsName(entry->Name)) return false;
  }
  return true;
}

// What the saved form cannot carry: elements without a name, header entries
// without one, and a document that is not an element with a header.
bool Expressible(const TXMLNode& node, bool document) {
  if (document && (node.Kind != nkElement || !node.Headers() || !HeadersNamed(node.Headers()))) return false;
  if (node.Kind == nkElement && !IsName(node.Name)) return false;
  if (node.Kind != nkElement && !HeadersNamed(node.Headers())) return false;
  if (node.Kind == nkElement) {
    for (const TXMLNode* child : *node.Children()) {
      if (!Expressible(*child, false)) return false;
    }
  }
  return true;
}

std::string Trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

bool SameAttributes(const TXMLNodeList* a, const TXMLNodeList* b) {
  if (a->Count() != b->Count()) return false;
  for (int i = 0; i < a->Count(); ++i) {
    if (a->Items(i)->Name != b->Items(i)->Name || a->Items(i)->Value != b->Items(i)->Value) return false;
  }
  return true;
}

bool SameHeaders(const TXMLNodeList* a, const TXMLNodeList* b, int count) {
  const int na = a ? a->Count() : 0, nb = b ? b->Count() : 0;
  if (count < 0 && na != nb) return false;
  for (int i = 0; i < (count < 0 ? na : count); ++i) {
    if (i >= na || i >= nb) return false;
    if (a->Items(i)->Name != b->Items(i)->Name ||
        !SameAttributes(a->Items(i)->Attributes(), b->Items(i)->Attributes())) {
      return false;
    }
  }
  return true;
}

// Equal apart from what indentation changes: whitespace at the ends of
// text, the header entries of elements below the document (the indented
// form writes none) and all but the document's first header entry.
bool SameTree(const TXMLNode& a, const TXMLNode& b, bool document) {
  if (a.Kind != b.Kind || a.Name != b.Name) return false;
  if (a.Kind == nkText ? Trimmed(a.Value) != Trimmed(b.Value) : a.Value != b.Value) return false;
  if (document && !SameHeaders(a.Headers(), b.Headers(), 1)) return false;
  if (a.Kind != nkElement) return SameHeaders(a.Headers(), b.Headers(), -1);
  if (!SameAttributes(a.Attributes(), b.Attributes()) || a.ChildCount() != b.ChildCount()) return false;
  for (int i = 0; i < a.ChildCount(); ++i) {
    if (!SameTree(*a.Child(i), *b.Child(i), false)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<TXMLNode> document;
  try {
    document = TXMLNode::CreateFromText(text, size % 2 == 1);
  } catch (const korvel::Exception&) {
    return 0;
  }
  (void)document->ToXML();
  for (const char* path : {"//*[@n=1]", "a/b[last()]/..", ".//x[0]/@y", "[0]"}) (void)document->Select(path);
  if (!Expressible(*document, true)) return 0;
  const std::string saved = document->SaveToString();
  const std::unique_ptr<TXMLNode> again = TXMLNode::CreateFromText(saved);  // must not fail
  if (!SameTree(*document, *again, true)) std::abort();
  return 0;
}
