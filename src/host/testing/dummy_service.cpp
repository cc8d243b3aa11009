#include "host/testing/dummy_service.h"

#include <sys/stat.h>

#include "host/text.h"

namespace korvel::testing {

DummyServices::DummyServices()
    : host_(host::CreateSystemHost(0, nullptr, root_.path().substr(0, root_.path().size() - 1))) {}

DummyServices::~DummyServices() {
  for (const std::string& name : names_) {
    try {
      host_->RunProgramCaptured(root_ / ("etc/init.d/" + name) + " stop", "", nullptr);
    } catch (const Exception&) {
      // Nothing was running.
    }
  }
}

void DummyServices::Install(const std::string& name, const std::string& daemon) {
  const std::string script = root_ / ("etc/init.d/" + name);
  const std::string pidfile = root_ / (name + ".pid");
  WriteFile(script,
            "#!/bin/sh\n"
            "DAEMON=" + daemon + "\n"
            "PIDFILE='" + pidfile + "'\n"
            "running() { [ -s \"$PIDFILE\" ] && kill -0 $(cat \"$PIDFILE\") 2>/dev/null; }\n"
            "case \"$1\" in\n"
            "  start) running && exit 0; sleep 600 </dev/null >/dev/null 2>&1 & echo $! > \"$PIDFILE\";"
            " printf 'Starting " + name + "\\r\\n' ;;\n"
            "  stop) running && kill $(cat \"$PIDFILE\"); rm -f \"$PIDFILE\"; printf 'Stopping " + name + "\\r\\n' ;;\n"
            "  status) running && exit 0; exit 3 ;;\n"
            "  *) exit 2 ;;\n"
            "esac\n");
  ::chmod(script.c_str(), 0755);
  names_.push_back(name);
}

std::uint32_t DummyServices::DaemonPid(const std::string& name) const {
  const std::string pidfile = root_ / (name + ".pid");
  if (!SystemHost().FileExists(pidfile)) return 0;
  return static_cast<std::uint32_t>(StrToIntDef(Trim(ReadFile(pidfile)), 0));
}

}  // namespace korvel::testing
