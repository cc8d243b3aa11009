#include "modules/module_engine.h"

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "host/cp1251.h"
#include "host/text.h"
#include "xml/xml_node.h"

namespace korvel::modules {

using namespace korvel::literals;
using xml::atInteger;
using xml::atString;
using xml::TXMLNode;

namespace {

// File sets applied within one another; deeper is no real descriptor, and a
// hostile one must not exhaust the stack.
constexpr std::size_t kMaxSetNesting = 100;
// Deployment nodes one call may dispatch. Sets that include others twice at
// every level grow exponentially without a cycle; a million is far beyond
// any real module.
constexpr std::size_t kMaxDispatches = 1000000;

const std::string kVariableStack = "\r\nСтек поиска переменной:"_cp;
const std::string kProcessingStack = "\r\nСтек обработки:"_cp;

// Names in descriptors separate directories with backslashes; on POSIX
// they become the platform separator where they join a directory.
std::string DescriptorPath(std::string_view text) {
  std::string path(text);
  if constexpr (!host::kWindows) {
    for (char& c : path) {
      if (c == '\\') c = host::kPathDelim;
    }
  }
  return path;
}

// "<" + name + compact attributes + ">" or "/>", as the processing stack
// shows a node.
std::string StartTag(const TXMLNode& node) {
  std::string tag = "<" + node.Name.str();
  if (const xml::TXMLNodeList* attributes = node.Attributes()) {
    for (const TXMLNode* attribute : *attributes) tag += " " + attribute->ToXML();
  }
  tag += node.ChildCount() > 0 ? ">" : "/>";
  return tag;
}

// Within a minute, compared in whole milliseconds so that a difference of
// exactly 60 seconds is not taken for less by rounding of day fractions.
bool WithinAMinute(TDateTime a, TDateTime b) {
  return std::llabs(std::llround((a - b) * 86400000.0)) < 60000;
}

// A file as the engine sees it: on disk or, in a plan, as the plan would
// have left it.
struct FileProbe {
  std::int64_t size;
  TDateTime time;
};

// A file the plan would have copied: its path as FoldPath spells it.
struct PlannedFile {
  std::string path;
  FileProbe probe;
};

// The state of one UpdateModule call.
class ModuleEngine {
 public:
  ModuleEngine(host::Host& host, const DeployOptions& options) : host_(host), options_(options) {}

  void Run(std::int32_t module, const std::string& source_dir, const std::string& descriptor_path,
           const std::string& local_path) {
    source_root_ = host::IncludePathDelimiter(source_dir);
    try {
      distrib_ = TXMLNode::LoadFromFile(host_, descriptor_path, nullptr, true);
      if (!local_path.empty() && host_.FileExists(local_path)) {
        local_ = TXMLNode::LoadFromFile(host_, local_path, nullptr, true);
      }
      module_node_ = distrib_->SelectRequired("MODULES/MODULE[@ID=" + IntToStr(module) + "]");
      TXMLNode* files = module_node_->SelectRequired("FILES");
      ProcessChildren(*files, source_root_, std::string());
    } catch (Exception& e) {
      e.SetMessage("Ошибка обновления модуля "_cp + IntToStr(module) + ":\r\n" + e.Message());
      throw;
    }
  }

 private:
  std::string ResolveReference(const std::string& reference) {
    search_stack_.clear();
    return ResolveVariable(reference);
  }

  std::string ResolveVariable(const std::string& reference) {
    std::string name;
    try {
      const std::string_view rest = std::string_view(reference).substr(reference.starts_with('%') ? 1 : 0);
      const std::size_t backslash = rest.find('\\');
      name = UpperCase(rest.substr(0, backslash));
      for (const std::string& seen : search_stack_) {
        if (SameText(seen, name)) {
          throw Exception("Ошибка поиска переменной %"_cp + name + ". Закольцованная ссылка."_cp);
        }
      }
      search_stack_.push_back(name);
      std::string value = VariableValue(name);
      if (value.empty()) throw Exception("Переменная %"_cp + name + " не найдена."_cp);
      if (backslash != std::string_view::npos) value += rest.substr(backslash);
      if (value.starts_with('%')) value = ResolveVariable(value);
      return value;
    } catch (Exception& e) {
      std::string message = e.Message();
      if (message.find(kVariableStack) == std::string::npos) message += kVariableStack;
      e.SetMessage(message + "\r\n" + name);
      throw;
    }
  }

  // The value of one name, without path tail; "" when not found.
  std::string VariableValue(const std::string& name) {
    std::string value;
    const char* origin = "built-in";
    if (name == "CURRENT") {
      value = host_.CurrentDirectory();
    } else if (name == "ROOT") {
      value = module_node_->GetAttribute("Root");
    } else if (name == "SYSTEM32") {
      value = host_.SystemDirectory();
    } else {
      const std::string path = "VARS/" + name + "/@Value";
      origin = "local.xml";
      if (local_) value = local_->GetValueAt(path);
      if (value.empty()) {
        origin = "distrib.xml";
        value = distrib_->GetValueAt(path);
      }
    }
    if (!value.empty() && options_.on_variable && reported_variables_.insert(name).second) {
      options_.on_variable(ResolvedVariable{name, value, origin});
    }
    return value;
  }

  void ProcessChildren(const TXMLNode& node, const std::string& source, const std::string& dest) {
    for (int i = 0; i < node.ChildCount(); ++i) DispatchNode(*node.Child(i), source, dest);
  }

  void DispatchNode(const TXMLNode& node, const std::string& source, const std::string& dest) {
    try {
      if (++dispatches_ > kMaxDispatches) {
        throw Exception("Слишком много узлов обновления (более "_cp + IntToStr(kMaxDispatches) + ")");
      }
      const std::string_view name = node.Name;
      if (name == "FILE") {
        DoFile(node, source, dest);
      } else if (name == "DIR") {
        DoDir(node, source, dest);
      } else if (name == "FILESET") {
        DoFileSet(node);
      } else if (name == "FILELIST") {
        DoFileList(node, source, dest);
      } else {
        throw Exception("Неизвестный тип узла "_cp + node.Name.str());
      }
    } catch (Exception& e) {
      std::string message = e.Message();
      if (message.find(kProcessingStack) == std::string::npos) message += kProcessingStack;
      e.SetMessage(message + "\r\n" + StartTag(node));
      throw;
    }
  }

  void DoFile(const TXMLNode& node, const std::string& source, const std::string& dest) {
    const std::string name = DescriptorPath(node.ReadAttr<atString>("Name"));
    const bool replace = node.ReadAttrDef<atInteger>("Replace", 1) == 1;
    CopyIfNeeded(host::IncludePathDelimiter(source) + name, host::IncludePathDelimiter(dest) + name, replace);
  }

  void DoDir(const TXMLNode& node, const std::string& source, const std::string& dest) {
    std::string dir_source = node.ReadAttr<atString>("Source");
    if (dir_source.starts_with('\\')) dir_source.erase(0, 1);
    std::string dir_dest = node.ReadAttr<atString>("Dest");
    if (dir_dest.starts_with('%')) {
      dir_dest = ResolveReference(dir_dest);
    } else if (dir_dest.starts_with('\\')) {
      dir_dest = host::IncludePathDelimiter(dest) + dir_dest.substr(1);
    }
    ProcessChildren(node, host::IncludePathDelimiter(source) + DescriptorPath(dir_source), DescriptorPath(dir_dest));
  }

  // A set is always applied from the top-level directories. A set that is
  // reached again while it is being applied would recurse without end.
  void DoFileSet(const TXMLNode& node) {
    const std::string name = node.ReadAttr<atString>("Name");
    const TXMLNode* set = distrib_->SelectRequired("FILESETS/" + name);
    for (const auto& [active, active_name] : active_sets_) {
      if (active != set) continue;
      std::string chain;
      for (const auto& [unused, link] : active_sets_) chain += link + " -> ";
      throw Exception("Ошибка применения набора файлов "_cp + name + ". Закольцованная ссылка: "_cp + chain + name +
                      ".");
    }
    if (active_sets_.size() >= kMaxSetNesting) {
      throw Exception("Ошибка применения набора файлов "_cp + name + ". Наборы вложены глубже "_cp +
                      IntToStr(kMaxSetNesting) + " уровней."_cp);
    }
    active_sets_.emplace_back(set, name);
    ProcessChildren(*set, source_root_, std::string());
    active_sets_.pop_back();
  }

  void DoFileList(const TXMLNode& node, const std::string& source, const std::string& dest) {
    const std::string mask = DescriptorPath(node.ReadAttr<atString>("Mask"));
    const bool replace = node.ReadAttrDef<atInteger>("Replace", 1) == 1;
    const bool recurse = node.ReadAttrDef<atInteger>("Recurse", 0) == 1;
    std::vector<std::string> files, unreachable;
    ListFilesRecursive(host_, recurse, source, mask, files, &unreachable);
    const std::string src = host::IncludePathDelimiter(source);
    const std::string dst = host::IncludePathDelimiter(dest);
    if (options_.plan) AddPlannedFiles(src, mask, recurse, files);
    for (const std::string& file : files) CopyIfNeeded(file, dst + file.substr(src.size()), replace);
    for (const std::string& file : unreachable) Report(DeployAction::kSkipUnreachable, file, dst + file.substr(src.size()));
  }

  // The files the plan copied below `src` that a listing after those copies
  // would find, as `src` + their relative names.
  void AddPlannedFiles(const std::string& src, const std::string& mask, bool recurse, std::vector<std::string>& files) {
    const std::string folded_src = FoldPath(src);
    std::set<std::string> listed;
    for (const std::string& file : files) listed.insert(PlanKey(file));
    for (const auto& [key, planned] : planned_) {
      const std::string head = planned.path.substr(0, folded_src.size());
      if (planned.path.size() <= folded_src.size() || !(host::kWindows ? SameText(head, folded_src) : head == folded_src)) {
        continue;
      }
      const std::string relative = planned.path.substr(folded_src.size());
      if (!recurse && relative.find(host::kPathDelim) != std::string::npos) continue;
      if (!MatchesMask(host::ExtractFileName(relative), mask) || listed.count(key) > 0) continue;
      files.push_back(src + relative);
    }
  }

  void CopyIfNeeded(const std::string& source, const std::string& dest, bool replace) {
    std::optional<FileProbe> target = Probe(dest);
    if (target && !replace) return Report(DeployAction::kKeepNoReplace, source, dest);
    const std::optional<FileProbe> origin = Probe(source);
    if (!origin) return Report(DeployAction::kSkipMissing, source, dest);
    const std::string dir = host::ExtractFilePath(dest);
    // The result is not looked at: a directory that could not be made
    // fails the copy with the system's reason. An empty directory part
    // raises the message for an empty path, in a plan too.
    if (!options_.plan || dir.empty()) host_.ForceDirectoriesOrFail(dir);
    if (options_.plan) RefuseImpossibleCopy(source, dest);
    target = Probe(dest);
    if (target) {
      if (target->size == origin->size && WithinAMinute(target->time, origin->time)) {
        return Report(DeployAction::kKeepSame, source, dest);
      }
      if (!options_.plan) host_.ClearFileAttributes(dest);
    }
    if (options_.plan) {
      planned_[PlanKey(dest)] = PlannedFile{FoldPath(dest), *origin};
    } else {
      host_.CopyFileOrFail(source, dest);
    }
    Report(DeployAction::kCopy, source, dest);
  }

  // The file's size and time; in a plan, a file the plan copied counts as
  // the copy it would be (a copy keeps the last-write time).
  std::optional<FileProbe> Probe(const std::string& path) {
    if (options_.plan) {
      const auto planned = planned_.find(PlanKey(path));
      if (planned != planned_.end()) return planned->second.probe;
    }
    if (!host_.FileExists(path)) return std::nullopt;
    return FileProbe{host_.GetFileSize64(path), host_.GetFileDateTime(path)};
  }

  // A copy the deployment would try and the system refuse: onto a
  // directory, or below a file. The system's own reason comes from opening
  // the destination for reading, which fails alike and changes nothing;
  // the message is the one CopyFileOrFail gives.
  void RefuseImpossibleCopy(const std::string& source, const std::string& dest) {
    if (planned_.count(PlanKey(dest)) > 0 || host_.FileExists(dest)) return;
    const std::string folded = FoldPath(dest);
    bool below_file = false;
    for (std::size_t end = folded.find(host::kPathDelim, 1); end != std::string::npos && !below_file;
         end = folded.find(host::kPathDelim, end + 1)) {
      below_file = host_.FileExists(folded.substr(0, end));
    }
    if (!below_file && !host_.DirectoryExists(dest)) return;
    try {
      host_.OpenFile(dest, host::OpenMode::kRead, host::ShareMode::kReadWrite);
    } catch (const EOSError& e) {
      throw Exception("Ошибка копирования файла "_cp + source + " в "_cp + dest + ".\r\n" + LastErrorText(e.Cause()),
                      e.Cause());
    }
  }

  // The full path with "." and ".." steps and doubled separators folded
  // as text, as the system resolves it.
  std::string FoldPath(const std::string& path) { return host_.ExpandUNCFileName(path); }

  // One spelling per file for the plan's own record; on Windows letter
  // case does not count.
  std::string PlanKey(const std::string& path) {
    const std::string folded = FoldPath(path);
    return host::kWindows ? UpperCase(folded) : folded;
  }

  void Report(DeployAction::Kind kind, const std::string& source, const std::string& dest) {
    if (options_.on_action) options_.on_action(DeployAction{kind, source, dest});
  }

  host::Host& host_;
  const DeployOptions& options_;
  std::string source_root_;
  std::unique_ptr<TXMLNode> distrib_;
  std::unique_ptr<TXMLNode> local_;
  TXMLNode* module_node_ = nullptr;
  std::vector<std::string> search_stack_;
  std::vector<std::pair<const TXMLNode*, std::string>> active_sets_;
  std::size_t dispatches_ = 0;
  std::map<std::string, PlannedFile> planned_;
  std::set<std::string> reported_variables_;
};

}  // namespace

std::string DescribeAction(const DeployAction& action) {
  switch (action.kind) {
    case DeployAction::kCopy:
      return "copy " + action.source + " -> " + action.dest;
    case DeployAction::kKeepSame:
      return "keep " + action.dest + " (same size and time)";
    case DeployAction::kKeepNoReplace:
      return "keep " + action.dest + " (Replace=0)";
    case DeployAction::kSkipMissing:
      return "skip " + action.source + " (missing)";
    case DeployAction::kSkipUnreachable:
      return "skip " + action.source + " (its name has no Windows-1251 form; never copied)";
  }
  return {};
}

void UpdateModule(host::Host& host, std::int32_t module, const std::string& source_dir,
                  const std::string& descriptor_path, const std::string& local_path, const DeployOptions& options) {
  ModuleEngine engine(host, options);
  engine.Run(module, source_dir, descriptor_path, local_path);
}

void ListFilesRecursive(host::Host& host, bool recurse, const std::string& directory, const std::string& mask,
                        std::vector<std::string>& list, std::vector<std::string>* unreachable) {
  const std::string dir = host::IncludePathDelimiter(directory);
  for (const host::DirEntry& entry : host.ListFileEntries(dir, mask)) {
    (entry.reachable() || unreachable == nullptr ? list : *unreachable).push_back(dir + entry.name);
  }
  if (!recurse) return;
  std::vector<std::string> subdirectories;
  host.ListSubdirectories(dir, subdirectories);
  for (const std::string& name : subdirectories) {
    // A link to a directory is not followed: one that points to its own
    // parent would list the same files without end.
    const auto attributes = host.GetAttributes(dir + name);
    if (attributes && attributes->link) continue;
    ListFilesRecursive(host, recurse, dir + name, mask, list, unreachable);
  }
}

}  // namespace korvel::modules
