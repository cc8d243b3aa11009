#include "host/testing/power_cut_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace korvel::host {

namespace {
constexpr std::size_t kBlock = 4096;

std::string WithoutSeparator(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}
}  // namespace

// An open file whose writes count, and whose flush puts its contents on the
// disk of the model.
class PowerCutHost::CountedFile : public File {
 public:
  CountedFile(PowerCutHost& host, std::unique_ptr<File> inner, std::shared_ptr<Node> node, std::string name)
      : host_(host), inner_(std::move(inner)), node_(std::move(node)), name_(std::move(name)) {}
  std::size_t Read(void* buffer, std::size_t size) override { return inner_->Read(buffer, size); }
  void Write(std::string_view data) override {
    inner_->Write(data);
    node_->written = true;
    host_.Operation("Write", name_);
  }
  void Seek(std::int64_t position) override { inner_->Seek(position); }
  void SeekToEnd() override { inner_->SeekToEnd(); }
  std::int64_t Size() override { return inner_->Size(); }
  void Flush() override {
    inner_->Flush();
    host_.Flushed(node_, name_);
    host_.Operation("Flush", name_);
  }

 private:
  PowerCutHost& host_;
  std::unique_ptr<File> inner_;
  std::shared_ptr<Node> node_;
  std::string name_;
};

PowerCutHost::PowerCutHost(Host& target, const std::string& directory, long cut_after, CutHandler on_cut)
    : ForwardingHost(target), dir_(WithoutSeparator(directory)), cut_after_(cut_after), on_cut_(std::move(on_cut)) {
  for (const DirEntry& entry : target.FindEntries(dir_ + kPathDelim + "*")) {
    if (entry.directory || !entry.reachable()) continue;
    current_[entry.name] = std::make_shared<Node>(Node{ReadAll(entry.name), false, false, {}});
  }
  durable_ = current_;
}

std::string PowerCutHost::NameIn(const std::string& path) const {
  return ExtractFileDir(path) == dir_ ? ExtractFileName(path) : std::string();
}

std::shared_ptr<PowerCutHost::Node>& PowerCutHost::Current(const std::string& name) {
  std::shared_ptr<Node>& node = current_[name];
  if (!node) node = std::make_shared<Node>(Node{{}, true, false, {}});  // new: nothing of it on the disk yet
  return node;
}

std::string PowerCutHost::ReadAll(const std::string& name) {
  const std::string path = dir_ + kPathDelim + name;
  const std::int64_t size = target().FileSize(path);
  if (size <= 0) return {};
  // Read through a copy: a file the database server holds open (the live
  // file while a run is attached, the shadow) is locked against any open,
  // a copy is not.
  const std::string copy = dir_ + kPathDelim + ".power-cut-read";
  target().CopyFile(path, copy);
  std::string contents =
      target().OpenFile(copy, OpenMode::kRead, ShareMode::kReadWrite)->ReadUpTo(static_cast<std::size_t>(size));
  target().DeleteFile(copy);
  return contents;
}

void PowerCutHost::Flushed(const std::shared_ptr<Node>& node, const std::string& name) {
  if (name.empty()) return;
  node->durable = ReadAll(name);
  node->created = node->written = false;
  node->torn.clear();
}

void PowerCutHost::Operation(const std::string& what, const std::string& name) {
  if (name.empty()) return;
  if (++count_ == cut_after_) {
    Cut();
    on_cut_(what + " " + name);
  }
}

void PowerCutHost::CopyFile(const std::string& from, const std::string& to) {
  ForwardingHost::CopyFile(from, to);
  const std::string name = NameIn(to);
  if (!name.empty()) Current(name)->written = true;
  Operation("CopyFile " + ExtractFileName(from) + " to", name);
}

void PowerCutHost::MoveFile(const std::string& from, const std::string& to, bool allow_copy) {
  ForwardingHost::MoveFile(from, to, allow_copy);
  const std::string source = NameIn(from), target_name = NameIn(to);
  std::shared_ptr<Node> node;
  if (!source.empty()) {
    const auto it = current_.find(source);
    if (it != current_.end()) node = it->second;
    current_.erase(source);
  }
  if (!node) node = std::make_shared<Node>(Node{{}, true, false, {}});
  if (!target_name.empty()) {
    current_[target_name] = node;
    // What it holds beyond what was flushed now goes by another name.
    const std::string now = ReadAll(target_name);
    node->torn.resize((node->durable.size() + kBlock - 1) / kBlock);
    for (std::size_t block = 0; block < node->torn.size(); ++block) {
      const std::size_t at = block * kBlock;
      if (at >= now.size() || now.compare(at, kBlock, node->durable, at, kBlock) != 0) node->torn[block] = true;
    }
  }
  Operation("MoveFile " + ExtractFileName(from) + " to " + ExtractFileName(to), source.empty() ? target_name : source);
}

void PowerCutHost::DeleteFile(const std::string& path) {
  ForwardingHost::DeleteFile(path);
  const std::string name = NameIn(path);
  current_.erase(name);
  Operation("DeleteFile", name);
}

void PowerCutHost::FlushDirectory(const std::string& directory) {
  ForwardingHost::FlushDirectory(directory);
  if (WithoutSeparator(directory) != dir_) return;
  // What another process created there is named on the disk now too.
  for (const DirEntry& entry : target().FindEntries(dir_ + kPathDelim + "*")) {
    if (!entry.directory && entry.reachable()) Current(entry.name);
  }
  durable_ = current_;
  Operation("FlushDirectory", ".");
}

std::unique_ptr<File> PowerCutHost::OpenFile(const std::string& path, OpenMode mode, ShareMode share) {
  const std::string name = mode == OpenMode::kRead ? std::string() : NameIn(path);
  const bool created = !name.empty() && (mode == OpenMode::kCreate || !target().GetAttributes(path));
  std::unique_ptr<File> file = ForwardingHost::OpenFile(path, mode, share);
  if (name.empty()) return file;
  std::shared_ptr<Node> node = Current(name);
  if (created) Operation("CreateFile", name);
  return std::make_unique<CountedFile>(*this, std::move(file), node, name);
}

void PowerCutHost::Cut() {
  // The contents each durable name comes back with.
  struct Rewound {
    std::string name, contents;
    std::optional<TDateTime> time;  // a cut changes no file's time
  };
  std::vector<Rewound> files;
  for (const auto& [name, node] : durable_) {
    const auto now = std::find_if(current_.begin(), current_.end(),
                                  [&node = node](const auto& n) { return n.second == node; });
    const std::string held = now != current_.end() ? ReadAll(now->first) : node->durable;
    std::string contents = node->created ? std::string() : node->written ? node->durable : held;
    const auto tear = [&contents](std::size_t at) {
      if (at < contents.size()) {
        std::fill_n(contents.begin() + static_cast<std::ptrdiff_t>(at), std::min(kBlock, contents.size() - at), '\0');
      }
    };
    for (std::size_t at = 0; node->written && !node->created && at < contents.size(); at += kBlock) {
      if (at >= held.size() || held.compare(at, kBlock, contents, at, kBlock) != 0) tear(at);
    }
    for (std::size_t block = 0; !node->created && block < node->torn.size(); ++block) {
      if (node->torn[block]) tear(block * kBlock);
    }
    files.push_back({name, std::move(contents),
                     target().FileWriteTime(dir_ + kPathDelim + (now != current_.end() ? now->first : name))});
  }
  // Fresh files rather than rewritten ones: a process that still holds one
  // open (the server) writes on into the file the cut took away. Each is
  // made as a copy of one that was there, so that it keeps the owner and
  // mode the server's account needs.
  const std::string model = dir_ + kPathDelim + ".power-cut-model";
  bool have_model = false;
  for (const DirEntry& entry : target().FindEntries(dir_ + kPathDelim + "*")) {
    if (entry.directory || !entry.reachable()) continue;
    const std::string path = dir_ + kPathDelim + entry.name;
    if (!have_model) {
      target().MoveFile(path, model, false);
      have_model = true;
    } else {
      target().DeleteFile(path);
    }
  }
  for (const Rewound& file : files) {
    const std::string path = dir_ + kPathDelim + file.name;
    if (have_model) target().CopyFile(model, path);
    target().OpenFile(path, OpenMode::kCreate, ShareMode::kExclusive)->Write(file.contents);
    if (file.time) target().SetFileWriteTime(path, *file.time);
  }
  if (have_model) target().DeleteFile(model);
  current_ = durable_;
}

std::unique_ptr<PowerCutHost> PowerCutFromEnvironment(Host& system) {
  const long cut_at = std::atol(system.GetEnvironmentVariable("KORVEL_TEST_CUT_AT").c_str());
  if (cut_at <= 0) return nullptr;
  return std::make_unique<PowerCutHost>(system, system.GetEnvironmentVariable("KORVEL_TEST_CUT_DIR"), cut_at,
                                        [](const std::string& operation) {
                                          std::fprintf(stderr, "%s\n", operation.c_str());
                                          std::fflush(stderr);
                                          std::_Exit(77);
                                        });
}

}  // namespace korvel::host
