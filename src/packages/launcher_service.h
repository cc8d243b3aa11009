// The launcher service "TarnelService", the service that starts the
// utility: installed from the working distribution when it is missing, and
// its program replaced when the distribution carries another build.
//
// The data module's step method (src/run/server_update_steps.cpp) calls this
// with the run's directories and WriteLog.
#pragma once

#include <cstdint>
#include <string>

#include "host/datetime.h"
#include "host/host.h"
#include "packages/server_update.h"

namespace korvel::packages {

inline constexpr const char* kLauncherServiceName = "TarnelService";
inline constexpr const char* kLauncherProgramName = "TarnelSrv.exe";

// Two builds of the launcher program are the same when their sizes are
// equal and their times lie less than one minute apart, either way.
bool SameLauncherBuild(std::int64_t size_a, TDateTime time_a, std::int64_t size_b, TDateTime time_b);

// Does nothing without `distrib_dir` + Utils\AutoUpdate\TarnelSrv.exe.
// Otherwise: a missing service is installed (the program copied into
// `exe_dir` and run with /INSTALL /SILENT) and started; an installed one
// whose program has another file name fails the step; one whose program is
// another build gets the distribution's (the old one moved aside by
// MoveAside; the running service goes on until its next start). Raises with the messages
// of each failure.
void CheckLauncherService(host::Host& host, const std::string& distrib_dir, const std::string& exe_dir,
                          const LogLineFn& log);

}  // namespace korvel::packages
