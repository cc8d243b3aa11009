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

// Undoes an interrupted swap of a repairable state with the utility's own
// recovery: between the two renames ".new" (the file that was live,
// unchanged) first becomes ".lst"; then TDbService::RecoverFiles (the
// server stopped, the shadow's ".lst" and ".lst" moved back, refused when
// the Tmp copy is newer); then, as the swap's own clean-up, the server
// started and the database brought online. `service` has its database,
// ServiceName, shadow and OnMessage set. Raises what the recovery raises.
void UndoInterruptedSwap(dbservice::TDbService& service, const SwapFiles& files);

}  // namespace korvel::tool
