// Path selection, text and attribute access, typed attribute reads.
#include <algorithm>
#include <span>

#include "host/cp1251.h"
#include "host/text.h"
#include "xml/xml_node.h"
#include "xml/xml_node_lists.h"

namespace korvel::xml {

using namespace korvel::literals;

namespace {

using detail::NodeAccess;

// A path's nested whole-document searches ("A///B" searches for B from
// every A) are bounded, so that no path can exhaust the stack.
constexpr int kMaxSearchNesting = 100;

// One evaluation of a path. Whole-document searches inside it give the
// same result for the same document and path rest, so each is done once:
// "A///A///B" costs two searches instead of one per node and level.
class PathEvaluator {
 public:
  explicit PathEvaluator(std::string_view whole_path) : whole_path_(whole_path) {}

  TXMLNode* Select(TXMLNode* current, std::string_view path, bool create, std::string_view value);
  TXMLNode* FindDeep(TXMLNode* start, std::string_view path);

 private:
  // NAME[predicate]: the child chosen, or `current` when the predicate is
  // of no known form.
  TXMLNode* ChooseChild(TXMLNode* current, std::string_view name, std::string_view predicate);
  TXMLNode* SearchFrom(TXMLNode* start, std::string_view path);

  struct Search {
    TXMLNode* start;
    const char* path;
    std::size_t size;
    TXMLNode* result;
  };
  std::string_view whole_path_;
  std::vector<Search> done_;
  int nesting_ = 0;
};

TXMLNode* PathEvaluator::Select(TXMLNode* current, std::string_view path, bool create, std::string_view value) {
  while (!path.empty() && current != nullptr) {
    if (path.starts_with("//") || path.starts_with(".//")) {
      // ".//B" leaves "/B", an empty step and then B: the same as "//B".
      return FindDeep(current->Root(), path.substr(2));
    }
    const std::size_t slash = path.find('/');
    const std::string_view step = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);

    if (step.empty() || step == ".") continue;
    if (step[0] == '@') {
      const std::string_view name = step.substr(1);
      if (!create) {
        const TXMLNodeList* attributes = NodeAccess::Attributes(*current);
        return attributes ? attributes->Find(name) : nullptr;
      }
      current->SetAttribute(name, value);
      return current;
    }
    if (step == "..") {
      current = current->Parent();
      continue;
    }
    const std::size_t open = step.find('[');
    if (open == std::string_view::npos) {
      const TXMLNodeList* children = NodeAccess::Children(*current);
      TXMLNode* next = children ? children->Find(step) : nullptr;
      if (next == nullptr && create && NodeAccess::HasLists(*current)) {
        next = current->Children()->AddNode(step, {}, nkElement);
      }
      current = next;
      continue;
    }
    const std::size_t close = step.find(']');
    const std::string predicate =
        close == std::string_view::npos || close < open ? std::string() : Trim(step.substr(open + 1, close - open - 1));
    if (predicate.empty()) continue;
    current = ChooseChild(current, step.substr(0, open), predicate);
  }
  if (current != nullptr && create) current->SetText(value);
  return current;
}

// last()  |  N  |  left=right  |  anything else (ignored)
TXMLNode* PathEvaluator::ChooseChild(TXMLNode* current, std::string_view name, std::string_view predicate) {
  if (!NodeAccess::HasLists(*current)) return nullptr;
  // A node whose lists were never made has no children.
  std::span<TXMLNode* const> children;
  if (const TXMLNodeList* list = NodeAccess::Children(*current)) children = {list->begin(), list->end()};
  if (predicate == "last()") {
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      if (name.empty() || (*it)->Name == name) return *it;
    }
    return nullptr;
  }
  if (predicate[0] >= '0' && predicate[0] <= '9') {
    const std::int32_t wanted = StrToInt(predicate);  // "0x80000000" reads as negative
    std::int32_t position = 0;
    for (TXMLNode* child : children) {
      if (!name.empty() && child->Name != name) continue;
      if (position++ == wanted) return child;
    }
    return nullptr;
  }
  const std::size_t equals = predicate.find('=');
  if (equals == std::string_view::npos) return current;
  const std::string_view left = predicate.substr(0, equals);
  std::string_view right = predicate.substr(equals + 1);
  if (right.starts_with('"')) right = right.size() >= 2 ? right.substr(1, right.size() - 2) : std::string_view();
  const bool any_name = name.empty() || name == "*";
  for (TXMLNode* child : children) {
    if (!any_name && child->Name != name) continue;
    const TXMLNode* found = Select(child, left, false, {});
    if ((found ? found->GetText() : std::string()) == right) return child;
  }
  return nullptr;
}

TXMLNode* PathEvaluator::FindDeep(TXMLNode* start, std::string_view path) {
  if (start == nullptr) return nullptr;
  // A search for "//X" (or ".//X") from any node is the search for X (or
  // "/X") from the document node, so every node of this search would give
  // the same answer: ask once.
  while (path.starts_with("//") || path.starts_with(".//")) {
    start = start->Root();
    path.remove_prefix(2);
  }
  for (const Search& s : done_) {
    if (s.start == start && s.path == path.data() && s.size == path.size()) return s.result;
  }
  if (++nesting_ > kMaxSearchNesting) throw Exception("XML path too complex: " + std::string(whole_path_));
  TXMLNode* result = SearchFrom(start, path);
  --nesting_;
  done_.push_back(Search{start, path.data(), path.size(), result});
  return result;
}

// Pre-order, depth first, without recursion.
TXMLNode* PathEvaluator::SearchFrom(TXMLNode* start, std::string_view path) {
  std::vector<std::pair<const TXMLNodeList*, int>> stack;
  TXMLNode* node = start;
  for (;;) {
    if (TXMLNode* found = Select(node, path, false, {})) return found;
    const TXMLNodeList* children = NodeAccess::Children(*node);
    if (children != nullptr && children->Count() > 0) {
      stack.emplace_back(children, 0);
      node = children->Items(0);
      continue;
    }
    node = nullptr;
    while (node == nullptr && !stack.empty()) {
      auto& [list, index] = stack.back();
      if (++index < list->Count()) {
        node = list->Items(index);
      } else {
        stack.pop_back();
      }
    }
    if (node == nullptr) return nullptr;
  }
}

// Both "." and "," stand for the decimal point of the settings.
std::string WithDecimalSeparator(std::string text) {
  const char separator = GlobalFormatSettings().decimal_separator;
  if (separator != '.') std::replace(text.begin(), text.end(), '.', separator);
  if (separator != ',') std::replace(text.begin(), text.end(), ',', separator);
  return text;
}

template <TAttrType T>
TAttrValue<T> Convert(const std::string& text) {
  if constexpr (T == atInteger) {
    return StrToInt(text);
  } else if constexpr (T == atFloat) {
    return StrToFloat(WithDecimalSeparator(text));
  } else if constexpr (T == atCurrency) {
    return StrToCurr(WithDecimalSeparator(text));
  } else if constexpr (T == atDateTime) {
    return StrToDateTime(text);
  } else {
    if (text.empty()) throw EAbort("");
    return text;
  }
}

void PrefixAttributeError(Exception& e, std::string_view name) {
  e.SetMessage("Атрибут \""_cp + std::string(name) + "\" не задан или имеет неверный формат."_cp + "\r\n" +
               e.Message());
}

}  // namespace

TXMLNode* TXMLNode::Select(std::string_view path, bool create, std::string_view value) {
  return PathEvaluator(path).Select(this, path, create, value);
}

TXMLNode* TXMLNode::SelectRequired(std::string_view path) {
  TXMLNode* node = Select(path);
  if (node == nullptr) throw Exception("Раздел \""_cp + std::string(path) + "\" не найден!"_cp);
  return node;
}

TXMLNode* TXMLNode::FindDeep(TXMLNode* start, std::string_view path) {
  return PathEvaluator(path).FindDeep(start, path);
}

std::string TXMLNode::GetValueAt(std::string_view path) {
  const TXMLNode* node = Select(path);
  return node ? node->GetText() : std::string();
}

std::string TXMLNode::GetText() const {
  if (Kind != nkElement) return Value.str();
  if (const TXMLNodeList* children = NodeAccess::Children(*this)) {
    for (const TXMLNode* child : *children) {
      if (child->Kind == nkText || child->Kind == nkCData) return child->Value.str();
    }
  }
  return {};
}

void TXMLNode::SetText(std::string_view value) {
  switch (Kind) {
    case nkAttribute:
    case nkText:
    case nkCData:
      Value.assign(value);
      return;
    case nkElement:
      if (has_lists_) {
        TXMLNodeList& children = *Children();
        for (TXMLNode* child : children) {
          if (child->Kind == nkText || child->Kind == nkCData) {
            child->Value.assign(value);
            return;
          }
        }
        children.AddNode({}, value, nkText);
      }
      return;
    default:
      return;
  }
}

std::string TXMLNode::GetAttribute(std::string_view name) const {
  const TXMLNodeList* attributes = NodeAccess::Attributes(*this);
  const TXMLNode* attribute = attributes ? attributes->Find(name) : nullptr;
  return attribute ? attribute->Value.str() : std::string();
}

void TXMLNode::SetAttribute(std::string_view name, std::string_view value) {
  if (!has_lists_) return;
  const TXMLNodeList* existing = NodeAccess::Attributes(*this);
  TXMLNode* attribute = existing ? existing->Find(name) : nullptr;
  if (value.empty()) {
    if (attribute) Attributes()->RemoveAndFree(attribute);
  } else if (attribute) {
    attribute->Value.assign(value);
  } else {
    Attributes()->Add(CreateNode(name, this, nkAttribute, value));
  }
}

template <TAttrType T>
TAttrValue<T> TXMLNode::ReadAttr(std::string_view name) const {
  try {
    return Convert<T>(GetAttribute(name));
  } catch (Exception& e) {
    PrefixAttributeError(e, name);
    throw;
  }
}

template <TAttrType T>
TAttrValue<T> TXMLNode::ReadAttrDef(std::string_view name, TAttrValue<T> def) const {
  const std::string text = GetAttribute(name);
  if (text.empty()) return def;
  try {
    return Convert<T>(text);
  } catch (Exception& e) {
    PrefixAttributeError(e, name);
    throw;
  }
}

template std::int32_t TXMLNode::ReadAttr<atInteger>(std::string_view) const;
template double TXMLNode::ReadAttr<atFloat>(std::string_view) const;
template Currency TXMLNode::ReadAttr<atCurrency>(std::string_view) const;
template TDateTime TXMLNode::ReadAttr<atDateTime>(std::string_view) const;
template std::string TXMLNode::ReadAttr<atString>(std::string_view) const;
template std::int32_t TXMLNode::ReadAttrDef<atInteger>(std::string_view, std::int32_t) const;
template double TXMLNode::ReadAttrDef<atFloat>(std::string_view, double) const;
template Currency TXMLNode::ReadAttrDef<atCurrency>(std::string_view, Currency) const;
template TDateTime TXMLNode::ReadAttrDef<atDateTime>(std::string_view, TDateTime) const;
template std::string TXMLNode::ReadAttrDef<atString>(std::string_view, std::string) const;

}  // namespace korvel::xml
