#include "tools/doctor_swap.h"

#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::tool {

using namespace korvel::literals;

namespace {

SwapFile Probe(host::Host& host, const std::string& label, const std::string& path) {
  SwapFile file{label, path};
  file.exists = !path.empty() && host.FileExists(path);
  if (file.exists) {
    file.size = host.GetFileSize64(path);
    file.time = host.GetFileDateTime(path);
  }
  return file;
}

// The shadow as the last start-of-run check wrote it: the first line of the
// ".ShadowLink" file.
std::string RecordedShadow(host::Host& host, const std::string& link) {
  if (!host.FileExists(link)) return {};
  const std::string text = host.ReadFileText(link);
  return Trim(text.substr(0, text.find_first_of("\r\n")));
}

std::string StopsEveryRun() {
  return "; every run stops at its start-of-run check with \"БД находится в нерабочем состоянии!\""_cp;
}
const char* const kRepairTodo =
    "korvel-tool doctor --repair puts .lst back under the live name with the utility's own recovery";

}  // namespace

SwapFiles ExamineSwap(host::Host& host, const dbservice::TDbService& names) {
  SwapFiles files;
  files.live = Probe(host, "live", names.DbFileName);
  files.lst = Probe(host, ".lst", names.DbLstFileName);
  files.fresh = Probe(host, ".new", names.DbNewFileName);
  files.tmp = Probe(host, ".tmp", names.DbTmpFileName);
  files.tmp_dir = Probe(host, "Tmp copy", names.DbTmpDirFileName);
  files.shadow = RecordedShadow(host, names.ShadowLinkFileName);
  if (!files.shadow.empty()) {
    files.shadow_file = Probe(host, "shadow", files.shadow);
    files.shadow_lst = Probe(host, "shadow .lst", files.shadow + ".lst");
  }

  // The copy the recovery would put back, and the recovery's own refusal:
  // a copy in Tmp written after it means work that putting it back loses.
  const SwapFile* source = nullptr;
  if (files.live.exists) {
    files.state = files.fresh.exists || files.tmp.exists ? SwapState::kLiveAndLeftovers
                  : files.lst.exists                     ? SwapState::kLiveAndCopy
                                                         : SwapState::kLive;
  } else if (files.lst.exists) {
    source = &files.lst;
    files.state = files.fresh.exists ? SwapState::kWorking : files.tmp.exists ? SwapState::kCopying : SwapState::kDown;
  } else if (files.fresh.exists && files.tmp.exists && files.fresh.size == files.tmp.size) {
    // The copy is flushed before the renames begin: a ".tmp" of the size of
    // ".new" is whole.
    source = &files.fresh;
    files.state = SwapState::kBetweenRenames;
  } else if (files.fresh.exists || files.tmp.exists || files.tmp_dir.exists) {
    files.state = SwapState::kUnknown;
  }
  if (source != nullptr && files.tmp_dir.exists && files.tmp_dir.time > source->time) {
    files.state = SwapState::kTmpCopyNewer;
  }
  return files;
}

bool IsRepairable(SwapState state) {
  return state == SwapState::kDown || state == SwapState::kCopying || state == SwapState::kWorking ||
         state == SwapState::kBetweenRenames;
}

std::string StateName(SwapState state) {
  switch (state) {
    case SwapState::kLive: return "live file only";
    case SwapState::kLiveAndCopy: return "live file and .lst";
    case SwapState::kLiveAndLeftovers: return "live file with leftovers";
    case SwapState::kDown: return "no live file, .lst present";
    case SwapState::kCopying: return "no live file, .lst and .tmp";
    case SwapState::kWorking: return "no live file, .lst and .new";
    case SwapState::kBetweenRenames: return "no live file, no .lst, .new and a complete .tmp";
    case SwapState::kTmpCopyNewer: return "no live file, a newer copy in Tmp";
    case SwapState::kUnknown: return "no live file, no copy the update leaves";
    case SwapState::kNothing: return "no file at all";
  }
  return "?";
}

StateAdvice Explain(const SwapFiles& files) {
  StateAdvice advice;
  switch (files.state) {
    case SwapState::kLive:
      advice.meaning = "the database is in place; no update has left its copy from before the change yet";
      break;
    case SwapState::kLiveAndCopy:
      advice.meaning = "the database is in place; .lst is the database as it was before the last update (the next "
                       "update replaces it)";
      break;
    case SwapState::kLiveAndLeftovers:
      advice.meaning = std::string("the database is in place; ") +
                       (files.fresh.exists ? ".new is the changed copy of an update that failed and was undone, "
                                             "left because the run was cut off before its clean-up; "
                                           : "") +
                       (files.tmp.exists ? ".tmp is a copy nobody finished; " : "") +
                       "nothing uses them and the next update replaces them";
      advice.todo = "nothing is needed; they may be deleted to free the space";
      break;
    case SwapState::kDown:
      advice.problem = true;
      advice.meaning = std::string("an update was cut off just after it moved the live file to .lst, which is the "
                                   "database as it was before the update") +
                       StopsEveryRun();
      advice.todo = kRepairTodo;
      break;
    case SwapState::kCopying:
      advice.problem = true;
      advice.meaning = std::string("an update was cut off while it copied .lst to .tmp; .lst is the database as it "
                                   "was before the update, .tmp an unfinished copy that is not used") +
                       StopsEveryRun();
      advice.todo = kRepairTodo;
      break;
    case SwapState::kWorking:
      advice.problem = true;
      advice.meaning = std::string("an update was cut off while it worked on .new (its scripts, the metadata "
                                   "check, the move back) or while it undid a failure; .lst is the database as it "
                                   "was before the update, .new a copy changed part-way and never proved") +
                       StopsEveryRun();
      advice.todo = std::string(kRepairTodo) + " (.new stays; the next update replaces it)";
      break;
    case SwapState::kBetweenRenames:
      advice.problem = true;
      advice.meaning = std::string("an update was cut off between its two renames: .new is the very file that was "
                                   "live, not yet changed (the scripts start after the renames), .tmp its complete "
                                   "copy") +
                       StopsEveryRun();
      advice.todo = "korvel-tool doctor --repair renames .new to .lst and puts it back under the live name with the "
                    "utility's own recovery (.tmp stays; the next update replaces it)";
      break;
    case SwapState::kTmpCopyNewer:
      advice.problem = true;
      advice.meaning = std::string("an update was cut off, and the copy in Tmp was written after the copy the "
                                   "recovery would put back (") +
                       (files.lst.exists ? ".lst" : ".new") +
                       "): someone worked on a copy since; the utility's recovery refuses (\"Обнаружен более новый "
                       "файл ... Восстановление невозможно!\"), and so does --repair"_cp;
      advice.todo = "decide which copy is the current database: if it is the Tmp copy, move it to the live name; if "
                    "not, move it aside (to .old) and run korvel-tool doctor --repair";
      break;
    case SwapState::kUnknown: {
      advice.problem = true;
      std::string found;
      for (const SwapFile* file : {&files.fresh, &files.tmp, &files.tmp_dir}) {
        if (file->exists) found += (found.empty() ? "" : ", ") + file->label;
      }
      advice.meaning = "no live file and no .lst; what is there (" + found +
                       ") is no state an update leaves: which file is whole cannot be told";
      advice.todo = "restore the database from a backup, or validate a copy (gfix -v -full) before moving it to "
                    "the live name by hand";
      break;
    }
    case SwapState::kNothing:
      advice.problem = true;
      advice.meaning = "no file of the database at all, live or copy";
      advice.todo = "check DB in the configuration; restore the database from a backup";
      break;
  }
  return advice;
}

void UndoInterruptedSwap(dbservice::TDbService& service, const SwapFiles& files) {
  // Between the renames the file that was live is ".new", whole and never
  // touched since; renamed to ".lst" it is what the recovery puts back, so
  // the database returns in its own file rather than in the copy (which
  // stays as the leftover ".tmp").
  if (files.state == SwapState::kBetweenRenames) service.MoveDbFile(service.DbNewFileName, service.DbLstFileName);
  service.RecoverFiles();
  // The swap's own clean-up: the server runs again and the file, shut down
  // when the swap began, is online.
  service.StartServer();
  service.BringOnline();
}

}  // namespace korvel::tool
