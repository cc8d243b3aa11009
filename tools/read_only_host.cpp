#include "tools/read_only_host.h"

namespace korvel::tool {

namespace {

[[noreturn]] void Refuse(const std::string& what) {
  throw Exception("doctor: refused to change " + what + " (only --repair changes anything)");
}

// A service opened for its state only.
class ReadOnlyService : public host::ServiceHandle {
 public:
  ReadOnlyService(std::string name, std::unique_ptr<host::ServiceHandle> inner)
      : name_(std::move(name)), inner_(std::move(inner)) {}
  int QueryState() override { return inner_->QueryState(); }
  bool Start() override { Refuse("the service " + name_); }
  void SendStop() override { Refuse("the service " + name_); }

 private:
  std::string name_;
  std::unique_ptr<host::ServiceHandle> inner_;
};

class ReadOnlyServiceManager : public host::ServiceManagerHandle {
 public:
  explicit ReadOnlyServiceManager(std::unique_ptr<host::ServiceManagerHandle> inner) : inner_(std::move(inner)) {}
  std::unique_ptr<host::ServiceHandle> OpenService(const std::string& name, bool full_access) override {
    if (full_access) Refuse("the service " + name);
    return std::make_unique<ReadOnlyService>(name, inner_->OpenService(name, false));
  }

 private:
  std::unique_ptr<host::ServiceManagerHandle> inner_;
};

}  // namespace

ReadOnlyHost::ReadOnlyHost(host::Host& target, std::string exe, std::string ini)
    : ForwardingHost(target), exe_(std::move(exe)), ini_(std::move(ini)) {}

std::vector<std::string> ReadOnlyHost::Arguments() {
  if (ini_.empty()) return {exe_};
  return {exe_, "/INI", ini_};
}

void ReadOnlyHost::CopyFile(const std::string&, const std::string& to) { Refuse(to); }
void ReadOnlyHost::MoveFile(const std::string& from, const std::string&, bool) { Refuse(from); }
void ReadOnlyHost::DeleteFile(const std::string& path) { Refuse(path); }
void ReadOnlyHost::RemoveDirectory(const std::string& path) { Refuse(path); }
void ReadOnlyHost::SetAttributes(const std::string& path, const host::FileAttributes&) { Refuse(path); }
void ReadOnlyHost::SetFileWriteTime(const std::string& path, TDateTime) { Refuse(path); }
void ReadOnlyHost::DeleteFoundFile(const std::string& directory, const host::DirEntry& entry) {
  Refuse(directory + entry.name);
}

std::unique_ptr<host::File> ReadOnlyHost::OpenFile(const std::string& path, host::OpenMode mode,
                                                   host::ShareMode share) {
  if (mode != host::OpenMode::kRead) Refuse(path);
  return ForwardingHost::OpenFile(path, mode, share);
}

std::unique_ptr<host::ServiceManagerHandle> ReadOnlyHost::OpenServiceManager(const std::string& machine,
                                                                             bool full_access) {
  if (full_access) Refuse("a service");
  return std::make_unique<ReadOnlyServiceManager>(ForwardingHost::OpenServiceManager(machine, false));
}

std::unique_ptr<host::CapturedProcess> ReadOnlyHost::StartCapturedProcess(const std::string& command_line,
                                                                          const std::string&) {
  Refuse("anything by running " + command_line);
}

void ReadOnlyHost::RunAndWait(const std::string& command_line, const std::string&) {
  Refuse("anything by running " + command_line);
}

}  // namespace korvel::tool
