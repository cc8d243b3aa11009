// A test build of the utility: the same run as Korvel's own main, on the
// system's host, with four things a test may ask for through the
// environment. Nothing of this is in the program the pharmacies run.
//
// - KORVEL_TEST_SERVICE_ROOT=<dir>: the service manager is looked up below
//   <dir> (POSIX), so that a test drives services of its own instead of the
//   machine's database server.
// - KORVEL_TEST_INSTANT_CLOCK=1: waits return at once.
// - KORVEL_TEST_EXIT_AT=N with KORVEL_TEST_EXIT_DIR=<dir>: the process ends
//   at once (exit code 77, nothing flushed or cleaned up), as a power cut or
//   a killed process would end it, just before its Nth operation among the
//   file operations on paths below <dir> (copy, move, delete, flush of a
//   directory, opening a file for writing) and the starts and stops of
//   services. The operation is named on standard error first.
// - KORVEL_TEST_CUT_AT=N with KORVEL_TEST_CUT_DIR=<dir>: a power cut right
//   after the Nth operation that changes the files directly in <dir> on the
//   disk (host/testing/power_cut_host.h): what was not flushed is rewound,
//   the operation named on standard error, and the process ends (77).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/datetime.h"
#include "host/forwarding_host.h"
#include "host/host.h"
#include "host/testing/power_cut_host.h"
#include "run/korvel_data.h"

namespace {

using korvel::host::Host;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

class TestBuildHost : public korvel::host::ForwardingHost {
 public:
  explicit TestBuildHost(Host& target) : ForwardingHost(target) {
    instant_ = Environment("KORVEL_TEST_INSTANT_CLOCK") == "1";
    exit_at_ = std::atol(Environment("KORVEL_TEST_EXIT_AT").c_str());
    exit_dir_ = Environment("KORVEL_TEST_EXIT_DIR");
    // The directory itself counts too (its flush): compare without the
    // trailing separator.
    while (exit_dir_.size() > 1 && (exit_dir_.back() == '/' || exit_dir_.back() == '\\')) exit_dir_.pop_back();
  }

  // One operation that counts towards KORVEL_TEST_EXIT_AT.
  void Point(const std::string& what) {
    if (exit_at_ <= 0 || ++count_ < exit_at_) return;
    std::fprintf(stderr, "%s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(77);
  }
  void FilePoint(const std::string& what, const std::string& path, const std::string& other = "") {
    if (Under(path) || (!other.empty() && Under(other))) Point(what + " " + path + (other.empty() ? "" : " " + other));
  }

  void Sleep(unsigned milliseconds) override {
    if (!instant_) ForwardingHost::Sleep(milliseconds);
  }
  void CopyFile(const std::string& from, const std::string& to) override {
    FilePoint("CopyFile", from, to);
    ForwardingHost::CopyFile(from, to);
  }
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    FilePoint("MoveFile", from, to);
    ForwardingHost::MoveFile(from, to, allow_copy);
  }
  void DeleteFile(const std::string& path) override {
    FilePoint("DeleteFile", path);
    ForwardingHost::DeleteFile(path);
  }
  void FlushDirectory(const std::string& directory) override {
    FilePoint("FlushDirectory", directory);
    ForwardingHost::FlushDirectory(directory);
  }
  std::unique_ptr<korvel::host::File> OpenFile(const std::string& path, korvel::host::OpenMode mode,
                                               korvel::host::ShareMode share) override {
    if (mode != korvel::host::OpenMode::kRead) FilePoint("OpenFile", path);
    return ForwardingHost::OpenFile(path, mode, share);
  }
  std::unique_ptr<korvel::host::ServiceManagerHandle> OpenServiceManager(const std::string& machine,
                                                                         bool full_access) override;

 private:
  bool Under(const std::string& path) const {
    return !exit_dir_.empty() && path.compare(0, exit_dir_.size(), exit_dir_) == 0;
  }

  bool instant_ = false;
  long exit_at_ = 0;
  long count_ = 0;
  std::string exit_dir_;
};

class CountedService : public korvel::host::ServiceHandle {
 public:
  CountedService(TestBuildHost& host, std::string name, std::unique_ptr<korvel::host::ServiceHandle> inner)
      : host_(host), name_(std::move(name)), inner_(std::move(inner)) {}
  int QueryState() override { return inner_->QueryState(); }
  bool Start() override {
    host_.Point("StartService " + name_);
    return inner_->Start();
  }
  void SendStop() override {
    host_.Point("StopService " + name_);
    inner_->SendStop();
  }

 private:
  TestBuildHost& host_;
  std::string name_;
  std::unique_ptr<korvel::host::ServiceHandle> inner_;
};

class CountedManager : public korvel::host::ServiceManagerHandle {
 public:
  CountedManager(TestBuildHost& host, std::unique_ptr<korvel::host::ServiceManagerHandle> inner)
      : host_(host), inner_(std::move(inner)) {}
  std::unique_ptr<korvel::host::ServiceHandle> OpenService(const std::string& name, bool full_access) override {
    return std::make_unique<CountedService>(host_, name, inner_->OpenService(name, full_access));
  }

 private:
  TestBuildHost& host_;
  std::unique_ptr<korvel::host::ServiceManagerHandle> inner_;
};

std::unique_ptr<korvel::host::ServiceManagerHandle> TestBuildHost::OpenServiceManager(const std::string& machine,
                                                                                      bool full_access) {
  return std::make_unique<CountedManager>(*this, ForwardingHost::OpenServiceManager(machine, full_access));
}

}  // namespace

int main(int argc, char** argv) {
  korvel::ApplyFormatSettings();
  const std::unique_ptr<Host> system =
      korvel::host::CreateSystemHost(argc, argv, Environment("KORVEL_TEST_SERVICE_ROOT"));
  // KORVEL_TEST_CUT_AT: the power goes after that operation (see above).
  const std::unique_ptr<korvel::host::PowerCutHost> cut = korvel::host::PowerCutFromEnvironment(*system);
  korvel::host::Host* base = cut ? cut.get() : system.get();
  TestBuildHost host(*base);
  {
    korvel::run::TdmKorvel dmKorvel(host);
    dmKorvel.Execute();
  }
  return 0;
}
