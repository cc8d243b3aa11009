// The host through which korvel-tool doctor lets the utility's own code
// read an installation: it stands for the utility's executable (its path
// and switches, so that the configuration and the log are found where the
// utility finds them) and refuses every change: no write, move or delete
// of a file, no start or stop of a service, no program run. A refused
// operation raises Exception "doctor: refused to change ...". Creating a
// directory does nothing and succeeds, so that the configuration's TMP,
// which the utility makes, reads as made.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/forwarding_host.h"

namespace korvel::tool {

class ReadOnlyHost : public host::ForwardingHost {
 public:
  // `exe`: the utility's executable; `ini`: the value of its /INI switch,
  // empty for none.
  ReadOnlyHost(host::Host& target, std::string exe, std::string ini);

  std::string ExecutablePath() override { return exe_; }
  std::vector<std::string> Arguments() override;
  std::string CommandLine() override { return exe_; }

  void CreateDirectory(const std::string&) override {}
  void CopyFile(const std::string& from, const std::string& to) override;
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override;
  void DeleteFile(const std::string& path) override;
  void RemoveDirectory(const std::string& path) override;
  void SetAttributes(const std::string& path, const host::FileAttributes& attributes) override;
  void SetFileWriteTime(const std::string& path, TDateTime time) override;
  void DeleteFoundFile(const std::string& directory, const host::DirEntry& entry) override;
  // Reading only.
  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override;
  // Connect-only, and the services it opens answer their state only.
  std::unique_ptr<host::ServiceManagerHandle> OpenServiceManager(const std::string& machine,
                                                                 bool full_access) override;
  std::unique_ptr<host::CapturedProcess> StartCapturedProcess(const std::string& command_line,
                                                              const std::string& working_dir) override;
  void RunAndWait(const std::string& command_line, const std::string& working_dir) override;

 private:
  std::string exe_, ini_;
};

}  // namespace korvel::tool
