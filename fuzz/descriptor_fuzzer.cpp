// The module engine planning a deployment of generated descriptors: the
// input either drives a small generator of descriptors (nodes, attributes,
// file sets, variables of distrib.xml and local.xml, drawn from values that
// reach every rule of the engine) or, when its first byte is a multiple of
// 16, is the descriptor text itself (a "\0\0" in it starts local.xml).
//
// The engine sees a small tree of real files and nothing outside it. It
// must not crash, must end with success or a Korvel exception whose message
// starts with the module prefix, and, planning, must not write anything:
// every write primitive aborts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"
#include "modules/module_engine.h"
#include "xml/xml_node.h"

namespace {

using namespace korvel;
using namespace korvel::literals;
constexpr char kSep = host::kPathDelim;

// Reads of the file system inside `root` only; any write aborts.
class SandboxHost : public host::ForwardingHost {
 public:
  SandboxHost(host::Host& target, std::string root) : ForwardingHost(target), root_(std::move(root)) {}

  std::optional<host::FileAttributes> GetAttributes(const std::string& path) override {
    if (!Inside(path)) return std::nullopt;
    return target().GetAttributes(path);
  }
  std::vector<host::DirEntry> FindEntries(const std::string& pattern) override {
    if (!Inside(pattern)) return {};
    return target().FindEntries(pattern);
  }
  std::int64_t FileSize(const std::string& path) override { return Inside(path) ? target().FileSize(path) : -1; }
  std::optional<TDateTime> FileWriteTime(const std::string& path) override {
    if (!Inside(path)) return std::nullopt;
    return target().FileWriteTime(path);
  }
  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override {
    if (mode != host::OpenMode::kRead) std::abort();
    return target().OpenFile(path, mode, share);
  }
  std::string CurrentDirectory() override { return root_.substr(0, root_.size() - 1); }
  std::string SystemDirectory() override { return root_ + "sys"; }

  void SetAttributes(const std::string&, const host::FileAttributes&) override { std::abort(); }
  void CopyFile(const std::string&, const std::string&) override { std::abort(); }
  void MoveFile(const std::string&, const std::string&, bool) override { std::abort(); }
  void DeleteFile(const std::string&) override { std::abort(); }
  void CreateDirectory(const std::string&) override { std::abort(); }
  void RemoveDirectory(const std::string&) override { std::abort(); }
  void SetFileWriteTime(const std::string&, TDateTime) override { std::abort(); }

 private:
  // Below the root, without ".." steps.
  bool Inside(const std::string& path) const {
    if (!path.starts_with(root_)) return false;
    for (const std::string& step : SplitString(path.substr(root_.size()), kSep)) {
      if (step == "..") return false;
    }
    return true;
  }
  std::string root_;
};

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  unsigned Next() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Done() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct Generator {
  Bytes& in;
  std::string app;

  std::string Value() {
    static const char* const kValues[] = {
        "", "a.exe", "x.dll", "sub\\y.dll", "..\\src\\bin\\a.exe", "bin", "\\bin", "sub", "common", "..", ".",
        "*", "*.dll", "*.*", "?.exe", "%ROOT", "%ROOT\\bin", "%A", "%B\\x", "%CURRENT", "%SYSTEM32\\x", "%ROOT%\\x",
        "%", "%\\", "\\", "\\sub", "0", "1", "2", "-1", "x", " 1", "S0", "S1", "s2", "VARS", "FILESETS/S0",
        "../MODULES/MODULE/FILES", "a&b", "<", "%a", "Ё", "//S0", "S0[0]", "..\\..", "bin\\sub"};
    const unsigned n = in.Next();
    const std::size_t count = sizeof kValues / sizeof kValues[0];
    if (n % (count + 2) == count) return app;
    if (n % (count + 2) == count + 1) return app + "\\bin";
    return cp1251::FromUtf8(kValues[n % (count + 2)]);
  }
  std::string Attr(const char* name) { return std::string(" ") + name + "=\"" + xml::EscapeAttr(Value()) + "\""; }
  std::string Extra() {
    static const char* const kNames[] = {"Name", "Source", "Dest", "Mask", "Replace", "Recurse", "name", "DEST", "x"};
    return in.Next() % 4 == 0 ? Attr(kNames[in.Next() % 9]) : std::string();
  }
  std::string Nodes(int depth) {
    std::string out;
    for (unsigned count = in.Next() % 5; count > 0 && !in.Done(); --count) out += Node(depth);
    return out;
  }
  std::string Node(int depth) {
    switch (in.Next() % 10) {
      case 0:
      case 1:
        return "<FILE" + Attr("Name") + (in.Next() % 2 ? Attr("Replace") : "") + Extra() + "/>";
      case 2:
      case 3: {
        const std::string children = depth < 6 ? Nodes(depth + 1) : "";
        return "<DIR" + Attr("Source") + Attr("Dest") + Extra() + ">" + children + "</DIR>";
      }
      case 4:
        return "<FILESET" + Attr("Name") + Extra() + "/>";
      case 5:
      case 6:
        return "<FILELIST" + Attr("Mask") + (in.Next() % 2 ? Attr("Replace") : "") +
               (in.Next() % 2 ? Attr("Recurse") : "") + Extra() + "/>";
      case 7:
        return "<!--c-->";
      case 8:
        return in.Next() % 2 ? "<file Name=\"a.exe\"/>" : "text";
      default:
        return "<![CDATA[x]]>";
    }
  }
  std::string Vars() {
    std::string out = "<VARS>";
    for (const char* name : {"A", "B", "ROOT", "a"}) {
      if (in.Next() % 3 != 0) out += std::string("<") + name + Attr("Value") + "/>";
    }
    return out + "</VARS>";
  }
  std::string Distrib() {
    static const char* const kIds[] = {"2", "02", "2 ", "3"};
    std::string out = "<?xml version=\"1.0\"?>\r\n<D><MODULES><MODULE ID=\"" + std::string(kIds[in.Next() % 4]) +
                      "\"" + (in.Next() % 4 ? " Root=\"" + app + "\"" : Attr("Root")) + "><FILES>" + Nodes(0) +
                      "</FILES></MODULE></MODULES><FILESETS>";
    for (const char* set : {"S0", "S1", "S2"}) out += std::string("<") + set + ">" + Nodes(1) + "</" + set + ">";
    return out + "</FILESETS>" + Vars() + "</D>";
  }
};

const testing::TempDir& Scratch() {
  static const testing::TempDir dir;
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  host::Host& system = testing::SystemHost();
  static const std::string root = [&] {
    const std::string tree = Scratch() / "tree\\";
    for (const char* name : {"src\\bin\\a.exe", "src\\bin\\x.dll", "src\\bin\\sub\\y.dll", "src\\common\\c.txt",
                             "src\\top.txt", "app\\bin\\x.dll"}) {
      testing::WriteFile(host::JoinPath(tree, name), name);
    }
    system.CopyFile(tree + "src" + kSep + "bin" + kSep + "a.exe", tree + "app" + kSep + "bin" + kSep + "a.exe");
    return tree;
  }();
  const std::string distrib = root + "distrib.xml";
  const std::string local = root + "local.xml";

  Bytes in(data, size);
  std::string distrib_text, local_text;
  if (size > 0 && data[0] % 16 == 0) {
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t split = text.find(std::string_view("\0\0", 2));
    distrib_text = text.substr(0, split);
    if (split != std::string_view::npos) local_text = text.substr(split + 2);
  } else {
    in.Next();
    Generator generator{in, root + "app"};
    distrib_text = generator.Distrib();
    if (in.Next() % 2) local_text = "<L>" + generator.Vars() + "</L>";
  }
  testing::WriteFile(distrib, distrib_text);
  if (local_text.empty()) {
    if (system.FileExists(local)) system.DeleteFile(local);
  } else {
    testing::WriteFile(local, local_text);
  }

  SandboxHost sandbox(system, root);
  modules::DeployOptions options;
  options.plan = true;
  options.on_action = [](const modules::DeployAction& action) {
    if (action.dest.empty() && action.kind != modules::DeployAction::kSkipMissing) std::abort();
  };
  try {
    modules::UpdateModule(sandbox, 2, root + "src", distrib, local, options);
  } catch (const Exception& e) {
    if (!e.Message().starts_with("Ошибка обновления модуля 2:\r\n"_cp)) std::abort();
  }
  return 0;
}
