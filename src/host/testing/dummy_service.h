// Test support for services of the test's own, so that services can be
// started, stopped and queried for real without touching the machine's
// own. POSIX: a service root (standing for "/") with init scripts of small
// sleeping daemons. Windows: services registered in the service control
// manager (of the test prefix under wine), each a copy of the tests'
// service program in the root; they are stopped and removed at the end.
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
  // what its DAEMON= line names (the service's image path). On Windows the
  // image path is the program's copy named by the file name of `daemon`
  // (".exe" added when missing).
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
