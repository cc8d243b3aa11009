// Test support for the POSIX service backend: a service root of the test's
// own (standing for "/") with init scripts of small sleeping daemons, so
// that services can be started, stopped and queried for real without
// touching the machine's own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/host.h"
#include "host/testing/temp_dir.h"

namespace korvel::testing {

class DummyServices {
 public:
  DummyServices();
  // Stops every daemon the services started.
  ~DummyServices();
  DummyServices(const DummyServices&) = delete;
  DummyServices& operator=(const DummyServices&) = delete;

  // Installs /etc/init.d/NAME below the root: a daemon (sleep) with LSB
  // status codes that says "Starting NAME" / "Stopping NAME". `daemon` is
  // what its DAEMON= line names (the service's image path).
  void Install(const std::string& name, const std::string& daemon = "/bin/sleep");
  // The running daemon's process id, 0 when stopped.
  std::uint32_t DaemonPid(const std::string& name) const;
  // The system's host with its service manager below the root.
  host::Host& Host() { return *host_; }
  const std::string& root() const { return root_.path(); }

 private:
  TempDir root_;
  std::vector<std::string> names_;
  std::unique_ptr<host::Host> host_;
};

}  // namespace korvel::testing
