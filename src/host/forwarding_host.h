// A Host that passes every primitive to another one. Tests derive from it
// and override just the calls they want to fail or speed up.
#pragma once

#include "host/host.h"

namespace korvel::host {

// A File that passes every call to another one, for the same use.
class ForwardingFile : public File {
 public:
  explicit ForwardingFile(std::unique_ptr<File> target) : target_(std::move(target)) {}
  std::size_t Read(void* buffer, std::size_t size) override { return target_->Read(buffer, size); }
  void Write(std::string_view data) override { target_->Write(data); }
  void Seek(std::int64_t position) override { target_->Seek(position); }
  void SeekToEnd() override { target_->SeekToEnd(); }
  std::int64_t Size() override { return target_->Size(); }
  void Flush() override { target_->Flush(); }
  void StartWriteBack() override { target_->StartWriteBack(); }
  void Release(std::int64_t offset, std::int64_t length) override { target_->Release(offset, length); }
  void DropCache(std::int64_t offset, std::int64_t length) override { target_->DropCache(offset, length); }

 protected:
  File& target() { return *target_; }

 private:
  std::unique_ptr<File> target_;
};

class ForwardingHost : public Host {
 public:
  explicit ForwardingHost(Host& target) : target_(target) {}

  std::optional<FileAttributes> GetAttributes(const std::string& path) override { return target_.GetAttributes(path); }
  void SetAttributes(const std::string& path, const FileAttributes& a) override { target_.SetAttributes(path, a); }
  std::vector<DirEntry> FindEntries(const std::string& pattern) override { return target_.FindEntries(pattern); }
  void CopyFile(const std::string& from, const std::string& to) override { target_.CopyFile(from, to); }
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    target_.MoveFile(from, to, allow_copy);
  }
  void DeleteFile(const std::string& path) override { target_.DeleteFile(path); }
  void CreateDirectory(const std::string& path) override { target_.CreateDirectory(path); }
  void RemoveDirectory(const std::string& path) override { target_.RemoveDirectory(path); }
  void FlushDirectory(const std::string& directory) override { target_.FlushDirectory(directory); }
  void FlushTree(const std::string& directory) override { target_.FlushTree(directory); }
  std::int64_t FileSize(const std::string& path) override { return target_.FileSize(path); }
  std::optional<TDateTime> FileWriteTime(const std::string& path) override { return target_.FileWriteTime(path); }
  void SetFileWriteTime(const std::string& path, TDateTime time) override { target_.SetFileWriteTime(path, time); }
  std::int64_t DiskFreeBytes(const std::string& directory) override { return target_.DiskFreeBytes(directory); }
  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode, ShareMode share) override {
    return target_.OpenFile(path, mode, share);
  }
  void DeleteFoundFile(const std::string& directory, const DirEntry& entry) override {
    target_.DeleteFoundFile(directory, entry);
  }
  std::string ExecutablePath() override { return target_.ExecutablePath(); }
  std::string CommandLine() override { return target_.CommandLine(); }
  std::vector<std::string> Arguments() override { return target_.Arguments(); }
  std::string FileVersion(const std::string& executable) override { return target_.FileVersion(executable); }
  std::string CurrentDirectory() override { return target_.CurrentDirectory(); }
  std::string SystemDirectory() override { return target_.SystemDirectory(); }
  void SetCurrentDirectory(const std::string& path) override { target_.SetCurrentDirectory(path); }
  std::string ExpandUNCFileName(const std::string& path) override { return target_.ExpandUNCFileName(path); }
  std::string ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                            const std::string& fallback) override {
    return target_.ReadIniString(file, section, key, fallback);
  }
  TDateTime Now() override { return target_.Now(); }
  void Sleep(unsigned milliseconds) override { target_.Sleep(milliseconds); }
  NamedMutex CreateNamedMutex(const std::string& name) override { return target_.CreateNamedMutex(name); }
  void ReportError(const std::string& source, const std::string& message) override {
    target_.ReportError(source, message);
  }
  void ConsoleWriteLine(std::string_view line) override { target_.ConsoleWriteLine(line); }
  std::unique_ptr<SharedLibrary> LoadLibrary(const std::string& name) override { return target_.LoadLibrary(name); }
  std::string GetEnvironmentVariable(const std::string& name) override { return target_.GetEnvironmentVariable(name); }
  std::unique_ptr<CapturedProcess> StartCapturedProcess(const std::string& command_line,
                                                        const std::string& working_dir) override {
    return target_.StartCapturedProcess(command_line, working_dir);
  }
  void RunAndWait(const std::string& command_line, const std::string& working_dir) override {
    target_.RunAndWait(command_line, working_dir);
  }
  std::string ReadServiceImagePath(const std::string& name) override { return target_.ReadServiceImagePath(name); }
  std::unique_ptr<ServiceManagerHandle> OpenServiceManager(const std::string& machine, bool full_access) override {
    return target_.OpenServiceManager(machine, full_access);
  }
  std::string ServiceCommandLine(const std::string& name, bool start) override {
    return target_.ServiceCommandLine(name, start);
  }
  std::vector<ProcessEntry> ListProcesses() override { return target_.ListProcesses(); }

 protected:
  Host& target() { return target_; }

 private:
  Host& target_;
};

}  // namespace korvel::host
