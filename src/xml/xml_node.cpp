// The node model: lists, constructors, navigation and destruction.
#include "xml/xml_node.h"

#include <algorithm>
#include <cstring>

#include "host/text.h"
#include "xml/xml_arena.h"
#include "xml/xml_node_lists.h"
#include "xml/xml_parser.h"

namespace korvel::xml {

// The arena aligns to pointers. A node is four pointers and its flags
// (40 bytes on 64-bit systems): keep it so.
static_assert(alignof(TXMLNode) <= alignof(void*) && alignof(TXMLNodeList) <= alignof(void*));
static_assert(sizeof(TXMLNode) <= 4 * sizeof(void*) + 8);

namespace detail {

void ThrowListIndexError(int index) {
  throw EListError("XML List Error:List index out of bounds (" + std::to_string(index) + ")");
}

void ThrowTooManyNodes() { throw Exception("XML List Error: too many nodes"); }

std::uint32_t GrownListCapacity(std::uint32_t capacity) {
  if (capacity >= kMaxListItems) ThrowTooManyNodes();
  return capacity < 4 ? 4 : std::min(kMaxListItems, capacity * 2);
}

}  // namespace detail

// ---- TXMLNodeList ----

TXMLNodeList::~TXMLNodeList() {
  Clear();
  if (items_on_heap_) ::operator delete(items_);
}

void TXMLNodeList::Deleter::operator()(TXMLNodeList* list) const noexcept {
  const bool in_arena = list->in_arena_;
  list->~TXMLNodeList();
  if (!in_arena) ::operator delete(list);
}

void TXMLNodeList::Grow() {
  const std::uint32_t capacity = detail::GrownListCapacity(capacity_);
  auto** items = static_cast<TXMLNode**>(::operator new(sizeof(TXMLNode*) * capacity));
  if (count_ > 0) std::memcpy(items, items_, sizeof(TXMLNode*) * count_);
  if (items_on_heap_) ::operator delete(items_);
  items_ = items;
  capacity_ = capacity;
  items_on_heap_ = true;
}

TXMLNode* TXMLNodeList::Find(std::string_view name) const {
  for (TXMLNode* node : *this) {
    if (ignore_case_ ? SameText(node->Name, name) : node->Name == name) return node;
  }
  return nullptr;
}

TXMLNode* TXMLNodeList::Add(std::unique_ptr<TXMLNode> node) {
  if (count_ == capacity_) Grow();
  items_[count_] = node.release();
  return items_[count_++];
}

TXMLNode* TXMLNodeList::AddNode(std::string_view name, std::string_view value, TXMLNodeKind kind) {
  return Add(TXMLNode::CreateNode(name, owner_, kind, value));
}

TXMLNode* TXMLNodeList::AddChild(std::string_view name, std::string_view text, TXMLNodeKind kind) {
  std::unique_ptr<TXMLNode> node = TXMLNode::CreateNode(name, owner_, nkElement, {});
  node->Kind = kind;
  if (kind == nkText || kind == nkCData) {
    node->Value.assign(text);
  } else if (kind == nkElement && !text.empty()) {
    node->Children()->AddNode({}, text, nkText);
  }
  return Add(std::move(node));
}

void TXMLNodeList::RemoveAndFree(TXMLNode* node) {
  TXMLNode** const end = items_ + count_;
  TXMLNode** const it = std::find(items_, end, node);
  if (it == end) return;
  std::copy(it + 1, end, it);
  --count_;
  delete node;
}

void TXMLNodeList::Clear() {
  // Emptied before the nodes go, so that no destructor sees them listed.
  const std::uint32_t count = count_;
  count_ = 0;
  for (std::uint32_t i = 0; i < count; ++i) delete items_[i];
}

// ---- TXMLNode: making nodes ----

void TXMLNode::ListsDeleter::operator()(Lists* lists) const noexcept {
  const bool in_arena = lists->attributes.in_arena_;
  lists->~Lists();
  if (!in_arena) ::operator delete(lists);
}

TXMLNode::Lists& TXMLNode::EnsureLists() const {
  static_assert(alignof(Lists) <= alignof(void*), "the arena aligns to pointers");
  if (!lists_) {
    auto* self = const_cast<TXMLNode*>(this);
    lists_.reset(new (::operator new(sizeof(Lists))) Lists(self, lists_ignore_case_, false));
  }
  return *lists_;
}

TXMLNodeList* TXMLNode::Attributes() const { return has_lists_ ? &EnsureLists().attributes : nullptr; }

TXMLNodeList* TXMLNode::Children() const { return has_lists_ ? &EnsureLists().children : nullptr; }

TXMLNodeList* TXMLNode::Headers() const { return lists_ ? lists_->headers.get() : nullptr; }

void TXMLNode::operator delete(TXMLNode* node, std::destroying_delete_t) noexcept {
  const bool in_arena = node->in_arena_;
  node->~TXMLNode();
  if (!in_arena) ::operator delete(node);
}

std::unique_ptr<TXMLNode> TXMLNode::CreateNode(std::string_view name, TXMLNode* parent, TXMLNodeKind kind,
                                               std::string_view value) {
  std::unique_ptr<TXMLNode> node(new TXMLNode());
  node->Name.assign(name);
  node->Kind = kind;
  node->Value.assign(value);
  node->parent_ = parent;
  if (parent != nullptr) {
    node->BareValues = parent->BareValues;
    node->IgnoreCase = parent->IgnoreCase;
  }
  node->has_lists_ = kind != nkAttribute;
  node->lists_ignore_case_ = node->IgnoreCase;
  return node;
}

std::unique_ptr<TXMLNode> TXMLNode::CreateFromText(std::string_view text, bool ignore_case, TXMLNode* parent) {
  std::unique_ptr<TXMLNode> node(new TXMLNode());
  node->parent_ = parent;
  node->IgnoreCase = ignore_case;
  if (parent != nullptr) {
    node->BareValues = parent->BareValues;
    node->IgnoreCase = parent->IgnoreCase;
  }
  node->has_lists_ = true;
  node->lists_ignore_case_ = node->IgnoreCase;
  if (!text.empty()) {
    Lists& lists = node->EnsureLists();
    lists.arena = std::make_unique<detail::Arena>();
    detail::Parser(text, *lists.arena).ParseDocument(*node);
  }
  return node;
}

std::unique_ptr<TXMLNode> TXMLNode::CreateFromBuffer(const char* buffer) {
  return CreateFromText(buffer == nullptr ? std::string_view() : std::string_view(buffer, std::strlen(buffer)));
}

std::unique_ptr<TXMLNode> TXMLNode::LoadFromFile(host::Host& host, const std::string& file_name, TXMLNode* parent,
                                                 bool ignore_case) {
  std::string content;
  {
    std::unique_ptr<host::File> file;
    try {
      file = host.OpenFile(file_name, host::OpenMode::kRead, host::ShareMode::kReadWrite);
    } catch (Exception& e) {
      e.SetMessage("Cannot open file \"" + file_name + "\". " + (e.Cause().text.empty() ? e.Message() : e.Cause().text));
      throw;
    }
    const std::int64_t size = file->Size();
    if (size > 0) content.reserve(static_cast<std::size_t>(size));
    char buffer[65536];
    for (std::size_t n; (n = file->Read(buffer, sizeof buffer)) > 0;) content.append(buffer, n);
  }
  return CreateFromText(content, ignore_case, parent);
}

std::unique_ptr<TXMLNode> TXMLNode::CreateDocument(std::string_view root_name) {
  std::unique_ptr<TXMLNode> document = CreateNode(root_name, nullptr, nkElement, {});
  Lists& lists = document->EnsureLists();
  lists.headers.reset(new (::operator new(sizeof(TXMLNodeList)))
                          TXMLNodeList(document.get(), document->IgnoreCase, false));
  TXMLNode* header = lists.headers->AddNode("xml", {}, nkElement);
  for (const auto& [name, value] : {std::pair<const char*, const char*>{"version", "1.0"},
                                    {"encoding", "windows-1251"},
                                    {"standalone", "yes"}}) {
    header->Attributes()->Add(CreateNode(name, document.get(), nkAttribute, value));
  }
  return document;
}

// ---- Navigation ----

int TXMLNode::ChildCount() const { return lists_ ? lists_->children.Count() : 0; }

TXMLNode* TXMLNode::Child(int index) const {
  if (!lists_) detail::ThrowListIndexError(index);
  return lists_->children.Items(index);
}

TXMLNode* TXMLNode::Root() const {
  const TXMLNode* node = this;
  while (node->parent_ != nullptr) node = node->parent_;
  return const_cast<TXMLNode*>(node);
}

// ---- Destruction ----

bool TXMLNode::HasSubnodes() const {
  return lists_ &&
         (lists_->attributes.count_ != 0 || lists_->children.count_ != 0 || (lists_->headers && lists_->headers->count_ != 0));
}

void TXMLNode::TakeSubnodes(std::vector<TXMLNode*>& out) {
  for (TXMLNodeList* list : {&lists_->attributes, &lists_->children, lists_->headers.get()}) {
    if (list == nullptr) continue;
    out.insert(out.end(), list->items_, list->items_ + list->count_);
    list->count_ = 0;
  }
}

// A deep tree would take one nested destructor call per level; instead the
// subtree is taken apart with a stack: a node's subnodes go on top of it,
// and a node leaves the stack (and dies) only when its lists are empty, so
// after all of its descendants (which may live in the arena of a document
// node among them).
TXMLNode::~TXMLNode() {
  if (!HasSubnodes()) return;
  std::vector<TXMLNode*> stack;
  TakeSubnodes(stack);
  while (!stack.empty()) {
    TXMLNode* top = stack.back();
    if (top->HasSubnodes()) {
      top->TakeSubnodes(stack);
    } else {
      stack.pop_back();
      delete top;
    }
  }
}

}  // namespace korvel::xml
