// Test support for running the data module in-process: a host whose
// executable lives in a temporary installation, with chosen switches, a
// recorded event log and an instant clock.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"

namespace korvel::run::testing {

class RunTestHost : public host::ForwardingHost {
 public:
  // The executable is `exe_dir` + "Korvel"; `args` are the switches.
  RunTestHost(std::string exe_dir, std::vector<std::string> args)
      : RunTestHost(korvel::testing::SystemHost(), std::move(exe_dir), std::move(args)) {}
  // The same on another host, such as one with services of the test's own.
  RunTestHost(host::Host& target, std::string exe_dir, std::vector<std::string> args)
      : ForwardingHost(target), exe_dir_(std::move(exe_dir)), args_(std::move(args)) {
    args_.insert(args_.begin(), ExecutablePath());
  }

  std::string ExecutablePath() override { return exe_dir_ + "Korvel"; }
  std::vector<std::string> Arguments() override { return args_; }
  std::string CommandLine() override {
    std::string line;
    for (const std::string& a : args_) line += (line.empty() ? "" : " ") + a;
    return line;
  }
  std::string FileVersion(const std::string&) override { return "1.2.3.4"; }
  void ReportError(const std::string& source, const std::string& message) override {
    events.push_back(source + ": " + message);
  }
  void Sleep(unsigned milliseconds) override { slept_ms += milliseconds; }

  std::vector<std::string> events;
  unsigned long long slept_ms = 0;

 private:
  std::string exe_dir_;
  std::vector<std::string> args_;
};

// A machine whose every service runs, the Classic server's among them
// (which this machine has not): the database check's start of the server
// is then left out, as on a pharmacy's server where it runs, and the run
// needs no service registered under the server's name (under wine the
// run's own tests register services of their own under it). A stop fails
// the test.
class RunningServicesHost : public RunTestHost {
 public:
  using RunTestHost::RunTestHost;
  std::unique_ptr<host::ServiceManagerHandle> OpenServiceManager(const std::string&, bool) override {
    struct Service : host::ServiceHandle {
      int QueryState() override { return host::kServiceRunning; }
      bool Start() override { return true; }
      void SendStop() override { ADD_FAILURE() << "a service was stopped"; }
    };
    struct Manager : host::ServiceManagerHandle {
      std::unique_ptr<host::ServiceHandle> OpenService(const std::string&, bool) override {
        return std::make_unique<Service>();
      }
    };
    return std::make_unique<Manager>();
  }
};

// The messages of run log lines, without the time and tab before them.
inline std::vector<std::string> LogMessages(const std::vector<std::string>& log_lines) {
  std::vector<std::string> messages;
  for (const std::string& line : log_lines) messages.push_back(line.substr(line.find('\t') + 1));
  return messages;
}

}  // namespace korvel::run::testing
