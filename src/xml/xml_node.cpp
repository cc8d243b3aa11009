// The node model: lists, constructors, navigation and destruction.
#include "xml/xml_node.h"

#include <algorithm>
#include <cstring>

#include "host/text.h"
#include "xml/xml_arena.h"
#include "xml/xml_parser.h"

namespace korvel::xml {

namespace detail {

void ThrowListIndexError(int index) {
  throw EListError("XML List Error:List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace detail

// ---- TXMLNodeList ----

TXMLNodeList::~TXMLNodeList() = default;

std::unique_ptr<TXMLNodeList> TXMLNodeList::Make(TXMLNode* owner, bool ignore_case, detail::Arena* arena) {
  if (arena == nullptr) return std::unique_ptr<TXMLNodeList>(new TXMLNodeList(owner, ignore_case, nullptr));
  return std::unique_ptr<TXMLNodeList>(new (arena->Allocate(sizeof(TXMLNodeList))) TXMLNodeList(owner, ignore_case, arena));
}

void TXMLNodeList::operator delete(TXMLNodeList* list, std::destroying_delete_t) noexcept {
  const bool in_arena = list->in_arena_;
  list->~TXMLNodeList();
  if (!in_arena) ::operator delete(list);
}

TXMLNode* TXMLNodeList::Items(int index) const {
  if (index < 0 || index >= Count()) {
    detail::ThrowListIndexError(index);
  }
  return items_[static_cast<std::size_t>(index)].get();
}

TXMLNode* TXMLNodeList::Find(std::string_view name) const {
  for (const auto& node : items_) {
    if (ignore_case_ ? SameText(node->Name, name) : node->Name == name) return node.get();
  }
  return nullptr;
}

TXMLNode* TXMLNodeList::Add(std::unique_ptr<TXMLNode> node) {
  items_.push_back(std::move(node));
  return items_.back().get();
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
  const auto it = std::find_if(items_.begin(), items_.end(), [node](const auto& item) { return item.get() == node; });
  if (it != items_.end()) items_.erase(it);
}

void TXMLNodeList::Clear() { items_.clear(); }

// ---- TXMLNode: making nodes ----

void TXMLNode::MakeLists(detail::Arena* arena) {
  attributes_ = TXMLNodeList::Make(this, IgnoreCase, arena);
  children_ = TXMLNodeList::Make(this, IgnoreCase, arena);
}

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
  if (kind != nkAttribute) node->MakeLists(nullptr);
  return node;
}

std::unique_ptr<TXMLNode> TXMLNode::CreateFromText(std::string_view text, bool ignore_case, TXMLNode* parent) {
  std::unique_ptr<TXMLNode> node(new TXMLNode());
  if (!text.empty()) node->arena_ = std::make_unique<detail::Arena>();
  node->parent_ = parent;
  node->IgnoreCase = ignore_case;
  if (parent != nullptr) {
    node->BareValues = parent->BareValues;
    node->IgnoreCase = parent->IgnoreCase;
  }
  node->MakeLists(node->arena_.get());
  if (!text.empty()) detail::Parser(text, node->arena_.get()).ParseDocument(*node);
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
  document->headers_ = TXMLNodeList::Make(document.get(), document->IgnoreCase, nullptr);
  TXMLNode* header = document->headers_->AddNode("xml", {}, nkElement);
  for (const auto& [name, value] : {std::pair<const char*, const char*>{"version", "1.0"},
                                    {"encoding", "windows-1251"},
                                    {"standalone", "yes"}}) {
    header->Attributes()->Add(CreateNode(name, document.get(), nkAttribute, value));
  }
  return document;
}

// ---- Navigation ----

TXMLNode* TXMLNode::Child(int index) const {
  if (!children_) detail::ThrowListIndexError(index);
  return children_->Items(index);
}

TXMLNode* TXMLNode::Root() const {
  const TXMLNode* node = this;
  while (node->parent_ != nullptr) node = node->parent_;
  return const_cast<TXMLNode*>(node);
}

// ---- Destruction ----

bool TXMLNode::HasSubnodes() const {
  return (attributes_ && !attributes_->items_.empty()) || (children_ && !children_->items_.empty()) ||
         (headers_ && !headers_->items_.empty());
}

void TXMLNode::TakeSubnodes(std::vector<std::unique_ptr<TXMLNode>>& out) {
  for (TXMLNodeList* list : {attributes_.get(), children_.get(), headers_.get()}) {
    if (list == nullptr) continue;
    for (auto& node : list->items_) out.push_back(std::move(node));
    list->items_.clear();
  }
}

// A deep tree would take one nested destructor call per level; instead the
// subtree is taken apart with a stack: a node's subnodes go on top of it,
// and a node leaves the stack (and dies) only when its lists are empty, so
// after all of its descendants (which may live in the arena of a document
// node among them).
TXMLNode::~TXMLNode() {
  if (!HasSubnodes()) return;
  std::vector<std::unique_ptr<TXMLNode>> stack;
  TakeSubnodes(stack);
  while (!stack.empty()) {
    TXMLNode* top = stack.back().get();
    if (top->HasSubnodes()) {
      top->TakeSubnodes(stack);
    } else {
      stack.pop_back();
    }
  }
}

}  // namespace korvel::xml
