// The system's own XML library: every XML file the program reads or writes
// (the package manifest contents.xml, the module descriptors distrib.xml and
// local.xml, the request packet) goes through it.
//
// A document is a tree of TXMLNode. The document node IS the root element:
// after parsing `<?xml ...?><R a="1"><B/></R>` the node returned has the
// Name "R", the attribute a, the child B and one header entry "xml".
//
// Text is 8-bit Windows-1251 throughout; nothing is converted, whatever the
// header says. The parser knows elements, attributes, text, CDATA sections,
// comments and processing instructions in front of the root element; no
// namespaces, no document type declarations, no numeric character
// references, only the five predefined entities. It is lenient about missing
// end tags at the end of the input and ignores everything after the root
// element; it is strict about the first byte ("<") and about double-quoted
// attribute values.
//
// Ownership: a node owns its three lists, a list owns its nodes. Destroying
// a node destroys its subtree (without recursion, so any depth is fine).
// Destroying a node does not take it out of its parent's list: to delete a
// node from a tree use RemoveAndFree on the list that holds it. Raw
// pointers handed out (Parent, Child, Select, Attributes, ...) stay valid
// while their node lives. The nodes, lists and strings of a parsed document
// share a few large blocks of memory owned by its document node; nodes made
// by the program come from the heap. Both kinds mix freely in one tree.
//
// Nothing here recurses with the shape of a tree except the parser, which
// refuses nesting deeper than kMaxNestingDepth; trees built by the program
// may be of any depth.
//
// Errors (all derive from korvel::Exception, messages Windows-1251):
//   parse errors      Exception with the parser's message (see CreateFromText)
//   list index errors EListError "XML List Error:List index out of bounds (N)"
//   missing section   Exception "Раздел \"PATH\" не найден!" (SelectRequired)
//   typed reads       the conversion's own type, message prefixed (ReadAttr)
//   files             EOSError (LoadFromFile), EInOutError (SaveToFile)
//
// Documents are used by one thread at a time (even reading a node may make
// its lists); the library keeps no state of its own apart from constant
// character tables.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "host/convert.h"
#include "host/datetime.h"
#include "host/host.h"
#include "xml/xml_string.h"

namespace korvel::xml {

// Node kinds with their codes; kinds 1 to 4 carry a Value, 2 and 3 are text.
//   kind          Name                Value
//   nkElement     the tag name        (nothing)
//   nkAttribute   the attribute name  the decoded value
//   nkText        (empty)             the decoded text, untrimmed
//   nkCData       "#cdata-section"    the raw section text
//   nkComment     "#comment"          the raw comment text
enum TXMLNodeKind : std::uint8_t {
  nkElement = 0,
  nkAttribute = 1,
  nkText = 2,
  nkCData = 3,
  nkComment = 4,
};

// The parser refuses documents whose elements nest deeper than this
// (message "XML nesting too deep (more than 1000 levels)"). Real documents
// of the system nest less than ten levels; the limit keeps the recursive
// parser well inside a 1 MB thread stack (the Windows default) even in
// debug builds.
inline constexpr int kMaxNestingDepth = 1000;

// The types a typed attribute read can ask for, and what each gives.
enum TAttrType : std::uint8_t {
  atInteger,   // std::int32_t: StrToInt
  atFloat,     // double: StrToFloat
  atCurrency,  // korvel::Currency: StrToCurr
  atDateTime,  // TDateTime: StrToDateTime
  atString,    // std::string, unchanged
};
template <TAttrType T> struct TAttrTraits;
template <> struct TAttrTraits<atInteger> { using type = std::int32_t; };
template <> struct TAttrTraits<atFloat> { using type = double; };
template <> struct TAttrTraits<atCurrency> { using type = Currency; };
template <> struct TAttrTraits<atDateTime> { using type = TDateTime; };
template <> struct TAttrTraits<atString> { using type = std::string; };
template <TAttrType T> using TAttrValue = typename TAttrTraits<T>::type;

class TXMLNode;

namespace detail {
class Parser;
class Arena;
struct NodeAccess;

// Every index error of the library's lists:
// EListError "XML List Error:List index out of bounds (N)".
[[noreturn]] void ThrowListIndexError(int index);

// A list counts its items in 32 bits and holds at most kMaxListItems.
inline constexpr std::uint32_t kMaxListItems = 0x7FFFFFFF;
// The room a full list of `capacity` items grows to; a list that cannot
// grow raises Exception "XML List Error: too many nodes".
std::uint32_t GrownListCapacity(std::uint32_t capacity);
[[noreturn]] void ThrowTooManyNodes();
}  // namespace detail

// An owning list of nodes: the Attributes, Children or Headers of a node.
// Lists are made by their nodes and go with them; they cannot be made,
// copied or deleted on their own.
class TXMLNodeList {
 public:
  TXMLNodeList(const TXMLNodeList&) = delete;
  TXMLNodeList& operator=(const TXMLNodeList&) = delete;

  // The node whose list this is.
  TXMLNode* Owner() const { return owner_; }
  // Copied from the owner when the list was made; later changes of the
  // owner's flag do not reach an existing list.
  bool IgnoreCase() const { return ignore_case_; }

  int Count() const { return static_cast<int>(count_); }
  // Zero-based; out of range raises EListError
  // "XML List Error:List index out of bounds (N)".
  TXMLNode* Items(int index) const {
    if (index < 0 || index >= Count()) detail::ThrowListIndexError(index);
    return items_[index];
  }
  TXMLNode* operator[](int index) const { return Items(index); }

  // The first node whose Name equals `name`: byte for byte, or with both
  // names folded to upper case (Windows-1251 letters included) when the
  // list's IgnoreCase is set. Null when none matches.
  TXMLNode* Find(std::string_view name) const;

  // Appends a node (whose Parent was given when it was made) and returns it.
  TXMLNode* Add(std::unique_ptr<TXMLNode> node);
  // Appends CreateNode(name, Owner(), kind, value).
  TXMLNode* AddNode(std::string_view name, std::string_view value, TXMLNodeKind kind);
  // Appends a node with both lists under Owner(): for nkText and nkCData the
  // text is its Value; for nkElement a non-empty text becomes its single
  // nkText child; for the other kinds the text is dropped.
  TXMLNode* AddChild(std::string_view name, std::string_view text, TXMLNodeKind kind);
  // Takes the node out of the list and destroys it. A node that is not in
  // this list is left alone (the list cannot destroy what it does not own).
  void RemoveAndFree(TXMLNode* node);
  // Destroys every node and empties the list.
  void Clear();

  // Iteration in list order yields TXMLNode*. Adding to or removing from
  // the list ends the validity of its iterators.
  using Iterator = TXMLNode* const*;
  Iterator begin() const { return items_; }
  Iterator end() const { return items_ + count_; }

 private:
  friend class TXMLNode;
  friend class detail::Parser;
  struct Deleter {
    void operator()(TXMLNodeList* list) const noexcept;
  };

  TXMLNodeList(TXMLNode* owner, bool ignore_case, bool in_arena) noexcept
      : owner_(owner), ignore_case_(ignore_case), in_arena_(in_arena) {}
  ~TXMLNodeList();
  // Room for one more item, moving the items to the heap.
  void Grow();

  // The list owns the nodes its items point to. The array of items is on
  // the heap when items_on_heap_ is set, else in the arena of a parsed
  // document (or there is none).
  TXMLNode* owner_;
  TXMLNode** items_ = nullptr;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = 0;
  bool ignore_case_;
  bool in_arena_;  // the list itself lives in an arena
  bool items_on_heap_ = false;
};

class TXMLNode {
 public:
  // ---- Fields ----
  // As in the table at TXMLNodeKind. XmlString reads like a string_view and
  // is assigned from one; see xml_string.h.
  XmlString Value;
  XmlString Name;
  TXMLNodeKind Kind = nkElement;
  // When set, the parser accepts an attribute value written as a bare name.
  // Inherited from the parent; nothing in the system sets it.
  bool BareValues = false;
  // Governs name lookups through Find (Select's name and "@" steps,
  // GetAttribute). Inherited by nodes made with a parent; each list copies
  // it when it is made.
  bool IgnoreCase = false;

  ~TXMLNode();
  TXMLNode(const TXMLNode&) = delete;
  TXMLNode& operator=(const TXMLNode&) = delete;
  // Destroys the node wherever its memory came from (its document's arena
  // or the heap).
  void operator delete(TXMLNode* node, std::destroying_delete_t) noexcept;

  // The owning node: an attribute's or child's element; for a header entry
  // and its attributes the node holding the Headers list. Null for a
  // document node.
  TXMLNode* Parent() const { return parent_; }
  // Null on nodes made as attributes; every other node has both lists
  // (empty ones on text, CDATA and comment nodes).
  TXMLNodeList* Attributes() const;
  TXMLNodeList* Children() const;
  // The processing instructions read in front of the node, each an
  // nkElement entry named by the target with its pseudo-attributes as
  // Attributes; null when there were none.
  TXMLNodeList* Headers() const;

  // ---- Making documents and nodes; the caller owns the result ----

  // Parses `text` into a new document node (an element without a name when
  // the text is empty). IgnoreCase is taken from the argument or, when a
  // parent is given, from the parent together with BareValues. The node is
  // not added to the parent's list. Every parse error raises Exception:
  //   "< expected"                          a node does not begin with "<"
  //   "Tag name expected: " + excerpt       "<" followed by no name, "!", "?"
  //   "= expected:" + excerpt               attribute name without "="
  //   "= expected"                          header attribute without "="
  //   "Attribute value expected"            unquoted value
  //   "Tag order error. Tag: \"N\" code: " + excerpt   wrong end tag
  //   "Unclosed XML header"                 "<?" without "?>"
  //   "Unterminated attribute"              value without closing quote
  //   OFFSET + " :Illegal symbol in XML:" + byte
  //   "Illegal char in XML. Char C code xHH."   control character 1-8, 11,
  //                                          12, 14-31 in text or a value
  //   "Не найден конец комментария"          "<!--" without "-->"
  //   "XML nesting too deep (more than 1000 levels)"
  static std::unique_ptr<TXMLNode> CreateFromText(std::string_view text, bool ignore_case = false,
                                                  TXMLNode* parent = nullptr);
  // The same for a zero-terminated buffer, without parent and flags.
  static std::unique_ptr<TXMLNode> CreateFromBuffer(const char* buffer);
  // Reads the whole file (shared for reading and writing with others) and
  // parses it. A file that cannot be opened raises EOSError
  // "Cannot open file \"NAME\". " + the system's text.
  static std::unique_ptr<TXMLNode> LoadFromFile(host::Host& host, const std::string& file_name,
                                                TXMLNode* parent = nullptr, bool ignore_case = false);
  // One node; with a parent, BareValues and IgnoreCase are copied from it.
  // Attributes and Children are made unless the kind is nkAttribute.
  static std::unique_ptr<TXMLNode> CreateNode(std::string_view name, TXMLNode* parent, TXMLNodeKind kind,
                                              std::string_view value);
  // A new document for writing: the element `root_name` with the standard
  // header <?xml version="1.0" encoding="windows-1251" standalone="yes" ?>.
  static std::unique_ptr<TXMLNode> CreateDocument(std::string_view root_name);

  // ---- Navigation ----
  // The number of children; 0 for a node without a child list.
  int ChildCount() const;
  // Zero-based; out of range (or no child list) raises the list error.
  TXMLNode* Child(int index) const;
  // Follows Parent to the document node.
  TXMLNode* Root() const;

  // ---- Paths (xml_path.cpp) ----
  //
  // A path is steps separated by "/", evaluated from this node:
  //   (empty)        ignored, so "/A" equals "A" and "A//B" equals "A/B"
  //   .              this node        ..   the parent (none at the document)
  //   NAME           the first child NAME (Find, so IgnoreCase applies)
  //   @NAME          the first attribute NAME; the rest of the path is ignored
  //   NAME[last()]   the last child NAME (any last child when NAME is empty)
  //   NAME[N]        the N-th child NAME counting from 0 (any child when empty)
  //   NAME[L=R]      the first child NAME (any when empty or "*") whose
  //                  GetValueAt(L) equals R; R may stand in double quotes
  //   NAME[other]    ignored, as is an empty predicate
  // Predicate names compare exactly, whatever IgnoreCase says. A path that
  // begins with "//" (or ".//") searches the whole document (FindDeep from
  // the Root). The document node cannot be selected by its own name.
  //
  // Returns null when nothing is found. With `create`, missing plain name
  // steps are appended as elements, an "@" step sets the attribute to
  // `value` (and the element is returned), and otherwise the selected node
  // gets `value` as its text. A digit predicate that is not an integer
  // raises EConvertError. A path that nests more than 100 whole-document
  // searches ("A///B///C..." searches again below every match) raises
  // Exception "XML path too complex: PATH".
  TXMLNode* Select(std::string_view path, bool create = false, std::string_view value = {});
  // Select, raising Exception "Раздел \"PATH\" не найден!" for nothing.
  TXMLNode* SelectRequired(std::string_view path);
  // Pre-order depth-first search: the first node at or below `start` from
  // which `path` selects something, and that selection.
  static TXMLNode* FindDeep(TXMLNode* start, std::string_view path);
  // GetText of Select(path), or "" when nothing is selected.
  std::string GetValueAt(std::string_view path);

  // Value of an attribute, text, CDATA or comment node; for an element the
  // text of its first nkText or nkCData child ("" when none).
  std::string GetText() const;
  // Sets Value (attribute, text, CDATA); for an element the first text or
  // CDATA child's value, appending a text child when there is none; nothing
  // for a comment.
  void SetText(std::string_view value);
  // The attribute's value, "" when absent.
  std::string GetAttribute(std::string_view name) const;
  // Sets or appends the attribute; an empty value removes it.
  void SetAttribute(std::string_view name, std::string_view value);

  // Typed attribute reads under the process-wide format settings. For
  // atFloat and atCurrency both "." and "," are taken as the decimal point.
  // ReadAttr: the attribute must be present and convert; an empty string
  // raises EAbort. Every failure keeps its type, its message becoming
  //   "Атрибут \"NAME\" не задан или имеет неверный формат.\r\n" + message.
  // ReadAttrDef: an absent or empty attribute gives `def`; otherwise as
  // ReadAttr.   Example: node->ReadAttrDef<atInteger>("Replace", 1)
  template <TAttrType T> TAttrValue<T> ReadAttr(std::string_view name) const;
  template <TAttrType T> TAttrValue<T> ReadAttrDef(std::string_view name, TAttrValue<T> def) const;

  // ---- Writing (xml_writer.cpp) ----

  // The compact form, without any line break: the header entries, if any,
  // then the node (an element with its subtree; an attribute as
  // name="value"; text escaped; CDATA and comments raw).
  std::string ToXML() const;
  // A header entry: "<?" + Name + attributes + " ?>".
  std::string HeaderToXML() const;
  // Appends the indented form: an element per line, two more spaces per
  // level, lines ended by CR LF; an element without parent indents its
  // children by two spaces whatever `indent` says.
  void WriteIndented(std::string& buffer, std::string_view indent) const;
  // The bytes SaveToFile writes: the first header entry, CR LF, and the
  // indented tree. A node without a header entry raises the list error.
  std::string SaveToString() const;
  // Creates or truncates the file and writes SaveToString() into it. A
  // missing header fails before the file is touched; a failed write raises
  // EInOutError and removes the partial file. The caller frees the document
  // by letting its owner go.
  void SaveToFile(host::Host& host, const std::string& file_name) const;

 private:
  friend class TXMLNodeList;
  friend class detail::Parser;
  friend struct detail::NodeAccess;
  // The lists of a node that has any (xml_node_lists.h). Made when they
  // are first needed: a parsed element with attributes or children gets
  // them in its document's arena, any other node on the heap when asked
  // for them.
  struct Lists;
  struct ListsDeleter {
    void operator()(Lists* lists) const noexcept;
  };

  TXMLNode() = default;
  // The lists, made on the heap when there are none yet. Only for a node
  // with has_lists_.
  Lists& EnsureLists() const;
  bool HasSubnodes() const;
  // Moves every node of the three lists to `out` (iterative destruction).
  void TakeSubnodes(std::vector<TXMLNode*>& out);

  bool in_arena_ = false;
  // Made with Attributes and Children (every node not made as an attribute).
  bool has_lists_ = false;
  // IgnoreCase when the node was made: the flag its lists copy, whenever
  // they are made.
  bool lists_ignore_case_ = false;
  TXMLNode* parent_ = nullptr;
  mutable std::unique_ptr<Lists, ListsDeleter> lists_;
};

// The escaping of the writer, each replacement throughout the string:
// text: "&" -> "&amp;", "<" -> "&lt;", byte 0 -> space.
// attribute value: "&" -> "&amp;", "\"" -> "&quot;", "<" -> "&lt;",
// ">" -> "&gt;", byte 0 -> space. The apostrophe is never escaped.
std::string EscapeText(std::string_view text);
std::string EscapeAttr(std::string_view value);

}  // namespace korvel::xml
