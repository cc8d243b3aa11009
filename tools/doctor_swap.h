// The database files of the utility's safe swap (TDbService::
// RunOnDatabaseCopy) as the doctor finds them: which of the live file,
// ".lst", ".new", ".tmp" and the copy in Tmp are there, which state of the
// swap that is, what it means, and the undoing of an interrupted swap with
// the utility's own recovery.
//
// The swap, and what a cut-off run leaves at each point:
//   live                 before the swap, or after it (".lst" kept)
//   .lst                 the live file moved away            (kDown)
//   .lst .tmp            .lst being copied to .tmp           (kCopying)
//   .new .tmp            between the two renames             (kBetweenRenames)
//   .lst .new            the work on .new, its check, the
//                        move back, the recovery             (kWorking)
//   live .new            a failed update undone, before its
//                        clean-up deleted .new               (kLiveAndLeftovers)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbservice/db_service.h"
#include "host/datetime.h"
#include "host/host.h"

namespace korvel::tool {

struct SwapFile {
  std::string label;  // "live", ".lst", ".new", ".tmp", "Tmp copy", "shadow", "shadow .lst"
  std::string path;
  bool exists = false;
  std::int64_t size = 0;
  TDateTime time = 0;  // last write, two-second resolution
};

enum class SwapState {
  kLive,              // the live file alone: no update has left a copy
  kLiveAndCopy,       // the live file and ".lst", the copy from before the last update
  kLiveAndLeftovers,  // the live file and a ".new" or ".tmp" nobody uses
  kDown,              // no live file; ".lst" alone
  kCopying,           // no live file; ".lst" and a ".tmp" perhaps unfinished
  kWorking,           // no live file; ".lst" and the changed ".new"
  kBetweenRenames,    // no live file, no ".lst"; ".new" and its complete copy ".tmp"
  kTmpCopyNewer,      // no live file; the Tmp copy is newer than the copy to put back
  kUnknown,           // no live file, no ".lst"; no pair the swap leaves
  kNothing,           // no file of the database at all
};

struct SwapFiles {
  SwapFile live, lst, fresh, tmp, tmp_dir;
  // The shadow the last start-of-run check recorded in the ".ShadowLink"
  // file ("" none) and its copy from before the update.
  std::string shadow;
  SwapFile shadow_file, shadow_lst;
  SwapState state = SwapState::kNothing;
};

// Looks at the files named by `names` (after SetDatabase) and classifies
// them. Reads only.
SwapFiles ExamineSwap(host::Host& host, const dbservice::TDbService& names);

// The states that --repair undoes: the copy from before the update is whole
// and the utility's recovery accepts it.
bool IsRepairable(SwapState state);
// A short name of the state, for the report ("no live file, .lst present").
std::string StateName(SwapState state);

struct StateAdvice {
  bool problem = false;
  std::string meaning;  // what the files say happened (Windows-1251)
  std::string todo;     // what to do; empty when nothing
};
StateAdvice Explain(const SwapFiles& files);

// ".lst" alone is what a swap cut off just after it moved the live file
// leaves, and also what a successful update leaves once the live file is
// lost later (deleted, quarantined): putting ".lst" back then loses all
// since. The run log tells them apart; the last swap in it is the last run
// that took the database down for one ("БД в даун ..."): runs after a cut
// stop at their start-of-run check and log none.
enum class SwapRecord {
  kCutOff,   // the log's last swap never brought ".new" back nor recovered
  kEnded,    // it ended (or a later run found the live file): lost since
  kUnknown,  // no log, no swap in it, or a log that ends before ".lst" was made
};
struct SwapEvidence {
  SwapRecord record = SwapRecord::kUnknown;
  std::string log;        // the log file of that swap
  TDateTime started = 0;  // when that run took the database down
  TDateTime ended = 0;    // its last line in the log
  std::string outcome;    // what ended it, or why the log cannot tell
  std::vector<std::string> scripts;  // the scripts that update ran
};
// Reads the run logs ("yyyymm.log" files of `log_dir`, newest first, back
// to the last swap) against `files` (of state kDown). Reads only.
SwapEvidence ReadSwapEvidence(host::Host& host, const std::string& log_dir, const SwapFiles& files);
// A paragraph for the report: what ".lst" is and what putting it back
// would lose, by the evidence.
std::string ExplainEvidence(const SwapFiles& files, const SwapEvidence& evidence);

// Undoes an interrupted swap of a repairable state with the utility's own
// recovery: between the two renames ".tmp" (the flushed copy of the file
// that was live) first becomes ".lst"; then TDbService::RecoverFiles (the
// server stopped, the shadow's ".lst" and ".lst" moved back, refused when
// the Tmp copy is newer); then, as the swap's own clean-up, the server
// started and the database brought online. `service` has its database,
// ServiceName, shadow and OnMessage set. Raises what the recovery raises.
void UndoInterruptedSwap(dbservice::TDbService& service, const SwapFiles& files);

}  // namespace korvel::tool
