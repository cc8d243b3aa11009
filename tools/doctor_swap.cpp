#include "tools/doctor_swap.h"

#include <algorithm>
#include <cstdio>

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
    // ".new" is whole, and it is what the repair puts back.
    source = &files.tmp;
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
      advice.meaning = std::string("an update was cut off between its two renames: .tmp is the complete copy of "
                                   "the live file, flushed to the disk before the renames, .new the file that was "
                                   "live, not yet changed (the scripts start after the renames) but never flushed "
                                   "by the utility, so a power cut may have left it torn") +
                       StopsEveryRun();
      advice.todo = "korvel-tool doctor --repair renames .tmp to .lst and puts it back under the live name with the "
                    "utility's own recovery (.new stays; the next update replaces it)";
      break;
    case SwapState::kTmpCopyNewer:
      advice.problem = true;
      advice.meaning = std::string("an update was cut off, and the copy in Tmp was written after the copy the "
                                   "recovery would put back (") +
                       (files.lst.exists ? ".lst" : ".tmp") +
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

namespace {

// One run of a log: the lines after the empty line each run begins with.
struct LoggedRun {
  std::vector<std::string> lines;  // "hh:nn:ss\tmessage"
  TDateTime date = 0;              // from the run's first line "dd.mm.yyyy"
};

std::vector<LoggedRun> SplitRuns(const std::string& text) {
  std::vector<LoggedRun> runs;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    if (line.empty()) {
      runs.emplace_back();
    } else if (!runs.empty()) {
      runs.back().lines.push_back(line);
    }
  }
  for (LoggedRun& run : runs) {
    int day = 0, month = 0, year = 0;
    if (!run.lines.empty() && std::sscanf(run.lines[0].c_str(), "%*d:%*d:%*d\t%d.%d.%d", &day, &month, &year) == 3 &&
        IsValidDate(year, month, day)) {
      run.date = EncodeDateTime({year, month, day});
    }
  }
  return runs;
}

// The date of the run with the time of one of its lines.
TDateTime LineTime(const LoggedRun& run, const std::string& line) {
  int hour = 0, minute = 0, second = 0;
  if (run.date == 0 || std::sscanf(line.c_str(), "%d:%d:%d", &hour, &minute, &second) != 3) return 0;
  return run.date + (hour * 3600 + minute * 60 + second) / 86400.0;
}

bool Says(const std::string& line, const std::string& message) {
  const std::size_t tab = line.find('\t');
  return tab != std::string::npos && line.compare(tab + 1, std::string::npos, message) == 0;
}

std::string When(TDateTime time) { return time == 0 ? std::string("?") : FormatDateTime("dd.mm.yyyy hh:nn:ss", time); }

}  // namespace

SwapEvidence ReadSwapEvidence(host::Host& host, const std::string& log_dir, const SwapFiles& files) {
  SwapEvidence evidence;
  std::vector<std::string> logs;
  host.ListFiles(log_dir, "*.log", logs);
  if (logs.empty()) {
    evidence.outcome = "there is no run log in " + log_dir;
    return evidence;
  }
  // yyyymm.log: the newest month sorts last.
  std::sort(logs.rbegin(), logs.rend());
  const std::string live = files.live.path;
  bool found_later_check = false;
  for (const std::string& name : logs) {
    const std::vector<LoggedRun> runs = SplitRuns(host.ReadFileText(log_dir + name));
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
      const auto down = std::find_if(run->lines.begin(), run->lines.end(),
                                     [](const std::string& line) { return Says(line, "БД в даун ..."_cp); });
      if (down == run->lines.end()) {
        found_later_check = found_later_check || std::any_of(run->lines.begin(), run->lines.end(), [](const auto& l) {
                              return Says(l, "Проверка БД - OK"_cp);
                            });
        continue;
      }
      evidence.log = log_dir + name;
      evidence.started = LineTime(*run, *down);
      evidence.ended = LineTime(*run, run->lines.back());
      for (auto line = down; line != run->lines.end(); ++line) {
        const std::size_t tab = line->find('\t');
        const std::string message = tab == std::string::npos ? *line : line->substr(tab + 1);
        if (message.starts_with("Скрипт "_cp) && message.ends_with(" ...")) {
          evidence.scripts.push_back(message.substr(7, message.size() - 11));
        }
        if (message == "Файл "_cp + live + ".new переименован в "_cp + live + ".") {
          evidence.outcome = "it ended with the changed file moved back under the live name";
        } else if (message == "Файлы БД восстановлены."_cp) {
          evidence.outcome = "it failed and put the file from before it back under the live name";
        }
      }
      if (evidence.outcome.empty() && found_later_check) {
        evidence.outcome = "a later run found the live file at its start-of-run check";
      }
      evidence.record = evidence.outcome.empty() ? SwapRecord::kCutOff : SwapRecord::kEnded;
      // ".lst" keeps the write time of the live file as the swap's shutdown
      // left it: a later one comes from a swap this log does not tell of.
      if (files.lst.time > evidence.ended + 2.0 / 86400) {
        evidence.record = SwapRecord::kUnknown;
        evidence.outcome = "the log ends (" + When(evidence.ended) + ") before .lst was written (" +
                           When(files.lst.time) + "): it was cut short, by a full disk or a power cut";
      }
      return evidence;
    }
  }
  evidence.outcome = "the run logs in " + log_dir + " tell of no update that moved the live file";
  return evidence;
}

std::string ExplainEvidence(const SwapFiles& files, const SwapEvidence& evidence) {
  std::string scripts;
  for (const std::string& script : evidence.scripts) scripts += (scripts.empty() ? "" : ", ") + script;
  const std::string update = "the update of " + When(evidence.started) +
                             (scripts.empty() ? std::string() : " (scripts " + scripts + ")") + " in " + evidence.log;
  switch (evidence.record) {
    case SwapRecord::kCutOff:
      return "the run log shows " + update + " moved the live file to .lst and was cut off: .lst is the database "
             "as it was before that update";
    case SwapRecord::kEnded:
      return "the run log shows " + update + " ended (" + evidence.outcome + "), so the live file was lost after "
             "it; .lst, written " + When(files.lst.time) + ", is the database as it was before that update: putting "
             "it back loses that update and every change made to the database since";
    case SwapRecord::kUnknown:
      break;
  }
  return "the run log cannot tell whether an update was cut off here or the live file was lost after a finished "
         "update (" + evidence.outcome + "); .lst, written " + When(files.lst.time) + ", is the database as it was "
         "before an update: putting it back loses every change made since then";
}

void UndoInterruptedSwap(dbservice::TDbService& service, const SwapFiles& files) {
  // Between the renames ".tmp" is the copy the swap flushed before any
  // rename; ".new", the file that was live, holds only what the server
  // wrote, which a power cut may have torn. Renamed to ".lst", the copy is
  // what the recovery puts back, as the swap itself would have.
  if (files.state == SwapState::kBetweenRenames) service.MoveDbFile(service.DbTmpFileName, service.DbLstFileName);
  service.RecoverFiles();
  // The swap's own clean-up: the server runs again and the file, shut down
  // when the swap began, is online.
  service.StartServer();
  service.BringOnline();
}

}  // namespace korvel::tool
