// A program run with a time limit: its output and its end are looked at
// without blocking, between short waits on the host clock, so that a test
// with a fast clock sees the limit pass at once.
#include "host/host.h"

namespace korvel::host {

namespace {

constexpr double kMsPerDay = 86400000.0;
// The wait between two looks at the child.
constexpr unsigned kLookMs = 20;
// Pieces of output taken between two looks, so that a child that writes
// without pause cannot keep the limit from being looked at.
constexpr int kPiecesPerLook = 64;
// How long an ended child is given to be gone, so that its executable is
// free for whatever comes next.
constexpr unsigned kGoneMs = 10000;

// Takes the output that has arrived; `broken` once the pipe has broken.
void TakeOutput(CapturedProcess& process, std::size_t limit, std::string& output, bool& broken) {
  for (int piece = 0; piece < kPiecesPerLook && !broken; ++piece) {
    const std::optional<std::string> chunk = process.ReadAvailableOutput();
    if (!chunk) {
      broken = true;
    } else if (chunk->empty()) {
      return;
    } else if (output.size() < limit) {
      output += chunk->substr(0, limit - output.size());
    }
  }
}

}  // namespace

TimedRun Host::RunProgramWithTimeLimit(const std::string& command_line, const std::string& working_dir,
                                       unsigned limit_ms, std::size_t output_limit) {
  const std::unique_ptr<CapturedProcess> process = StartCapturedProcess(command_line, working_dir);
  TimedRun run;
  bool broken = false;
  const TDateTime deadline = Now() + limit_ms / kMsPerDay;
  for (;;) {
    TakeOutput(*process, output_limit, run.output, broken);
    if (process->HasEnded()) break;
    if (Now() >= deadline) {
      process->Terminate();
      const TDateTime gone = Now() + kGoneMs / kMsPerDay;
      while (!process->HasEnded() && Now() < gone) Sleep(kLookMs);
      return run;
    }
    Sleep(kLookMs);
  }
  // What it wrote just before it ended.
  TakeOutput(*process, output_limit, run.output, broken);
  run.ended = true;
  run.exit_code = process->ExitCode();
  return run;
}

}  // namespace korvel::host
