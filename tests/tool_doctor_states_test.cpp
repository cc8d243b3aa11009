// The doctor's reading of the database files: every combination of the
// live file, ".lst", ".new", ".tmp" and the copy in Tmp that matters, the
// state of the safe swap it names, whether it is a problem and whether
// --repair may undo it. Plain files: no database server is needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "dbservice/db_service.h"
#include "fb/client_library.h"
#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "tools/doctor_swap.h"

namespace korvel::tool {
namespace {

using korvel::testing::SystemHost;
using korvel::testing::WriteFile;

class DoctorStates : public ::testing::Test {
 protected:
  DoctorStates() : client_(SystemHost(), "no-client-needed"), names_(SystemHost(), client_) {
    names_.SetDatabase("127.0.0.1/3050:" + (dir_ / "base.fdb"));
  }

  // Writes the files named by their suffix ("" live, ".lst", ".new", ".tmp",
  // "Tmp" the copy in Tmp) with the given content, all with one write time;
  // `newer` is the one that gets a time two seconds later.
  void Make(const std::map<std::string, std::string>& files, const std::string& newer) {
    SystemHost().DeleteDirectoryTree(dir_.path(), true);
    const TDateTime time = EncodeDateTime({2024, 3, 1, 12, 0, 0, 0});
    for (const auto& [suffix, content] : files) {
      const std::string path = Path(suffix);
      WriteFile(path, content);
      SystemHost().SetFileWriteTime(path, suffix == newer ? time + 2.0 / 86400 : time);
    }
  }
  std::string Path(const std::string& suffix) {
    return suffix == "Tmp" ? names_.DbTmpDirFileName : names_.DbFileName + suffix;
  }

  korvel::testing::TempDir dir_;
  fb::ClientLibrary client_;
  dbservice::TDbService names_;
};

TEST_F(DoctorStates, EachCombinationOfFilesIsNamedAndOnlyWholeCopiesAreRepairable) {
  const std::string db = "database pages";
  struct Case {
    std::map<std::string, std::string> files;
    std::string newer;
    SwapState state;
    bool problem;
  };
  const std::vector<Case> cases = {
      // The live file in place: healthy, leftovers beside it do no harm.
      {{{"", db}}, "", SwapState::kLive, false},
      {{{"", db}, {".lst", db}}, "", SwapState::kLiveAndCopy, false},
      {{{"", db}, {".new", db}}, "", SwapState::kLiveAndLeftovers, false},
      {{{"", db}, {".lst", db}, {".tmp", "data"}}, "", SwapState::kLiveAndLeftovers, false},
      {{{"", db}, {"Tmp", db}}, "Tmp", SwapState::kLive, false},
      // Cut off with ".lst" whole: moved away, copying, working.
      {{{".lst", db}}, "", SwapState::kDown, true},
      {{{".lst", db}, {".tmp", "data"}}, "", SwapState::kCopying, true},
      {{{".lst", db}, {".new", "changed pages"}}, "", SwapState::kWorking, true},
      {{{".lst", db}, {".new", "changed pages"}, {".tmp", "d"}}, "", SwapState::kWorking, true},
      // Between the renames: ".new" and a ".tmp" of its size.
      {{{".new", db}, {".tmp", db}}, "", SwapState::kBetweenRenames, true},
      // The recovery's rule: a Tmp copy as old as the copy allows it, a
      // newer one refuses, whichever file would be put back.
      {{{".lst", db}, {"Tmp", db}}, "", SwapState::kDown, true},
      {{{".lst", db}, {"Tmp", db}}, "Tmp", SwapState::kTmpCopyNewer, true},
      {{{".new", db}, {".tmp", db}, {"Tmp", db}}, "Tmp", SwapState::kTmpCopyNewer, true},
      // No state the swap leaves.
      {{{".new", db}, {".tmp", "database"}}, "", SwapState::kUnknown, true},
      {{{".new", db}}, "", SwapState::kUnknown, true},
      {{{".tmp", db}}, "", SwapState::kUnknown, true},
      {{{"Tmp", db}}, "", SwapState::kUnknown, true},
      {{}, "", SwapState::kNothing, true},
  };
  const std::vector<SwapState> repairable = {SwapState::kDown, SwapState::kCopying, SwapState::kWorking,
                                             SwapState::kBetweenRenames};
  for (const Case& c : cases) {
    std::string trace;
    for (const auto& [suffix, content] : c.files) trace += "[" + (suffix.empty() ? "live" : suffix) + "]";
    SCOPED_TRACE(trace + " newer " + c.newer);
    Make(c.files, c.newer);
    const SwapFiles files = ExamineSwap(SystemHost(), names_);
    EXPECT_EQ(StateName(files.state), StateName(c.state));
    const StateAdvice advice = Explain(files);
    EXPECT_EQ(advice.problem, c.problem) << advice.meaning;
    EXPECT_EQ(IsRepairable(files.state),
              std::find(repairable.begin(), repairable.end(), c.state) != repairable.end());
    // A problem always says what to do.
    if (advice.problem) {
      EXPECT_FALSE(advice.todo.empty());
    }
    // Sizes and times as found.
    for (const SwapFile* file : {&files.live, &files.lst, &files.fresh, &files.tmp, &files.tmp_dir}) {
      const std::string suffix = file->label == "live" ? "" : file->label == "Tmp copy" ? "Tmp" : file->label;
      const auto made = c.files.find(suffix);
      EXPECT_EQ(file->exists, made != c.files.end()) << file->label;
      if (made != c.files.end()) {
        EXPECT_EQ(file->size, static_cast<std::int64_t>(made->second.size())) << file->label;
        EXPECT_EQ(file->path, Path(suffix));
      }
    }
  }
}

TEST_F(DoctorStates, TheShadowIsTheOneTheLastCheckRecorded) {
  Make({{".lst", "db"}}, "");
  SwapFiles files = ExamineSwap(SystemHost(), names_);
  EXPECT_EQ(files.shadow, "");
  EXPECT_FALSE(files.shadow_lst.exists);

  const std::string shadow = dir_ / "base.shd";
  WriteFile(names_.ShadowLinkFileName, shadow + "\r\n");
  WriteFile(shadow + ".lst", "shadow before");
  files = ExamineSwap(SystemHost(), names_);
  EXPECT_EQ(files.shadow, shadow);
  EXPECT_FALSE(files.shadow_file.exists);
  EXPECT_TRUE(files.shadow_lst.exists);
  EXPECT_EQ(files.shadow_lst.size, 13);
  EXPECT_EQ(files.state, SwapState::kDown);
}

// ".lst" alone: the run log's last swap says whether it was cut off (the
// repair's case) or ended, the live file lost later; where the log cannot
// tell, neither does the doctor.
TEST_F(DoctorStates, TheRunLogTellsACutOffSwapFromALiveFileLostLater) {
  Make({{".lst", "db"}}, "");  // written 01.03.2024 12:00:00
  const std::string L = names_.DbFileName, log_dir = dir_ / "KorvelLog/";
  const auto run = [&](const std::string& time, const std::vector<std::string>& messages) {
    std::string text = "\r\n" + time + "\t01.03.2024\r\n";
    for (const std::string& m : messages) text += time + "\t" + m + "\r\n";
    return text;
  };
  const std::string swap_start = run("12:00:00", {"Номерных скриптов 1", "БД в даун ...", "Файл " + L + " переименован в " + L + ".lst.",
                                                  "Скрипт 1201.sql ..."});
  const std::string swap_end = "12:00:01\tФайл " + L + ".new переименован в " + L + ".\r\n";
  const std::string check_ok = run("12:30:00", {"Проверка БД - OK", "Номерных скриптов 0"});
  const std::string stopped = run("13:00:00", {"Рабочий файл БД " + L + " не найден."});
  struct Case {
    std::map<std::string, std::string> logs;  // yyyymm.log -> UTF-8 text
    SwapRecord record;
    std::string outcome;  // a part of it
  };
  const std::vector<Case> cases = {
      {{}, SwapRecord::kUnknown, "there is no run log"},
      {{{"202403.log", check_ok + stopped}}, SwapRecord::kUnknown, "tell of no update that moved the live file"},
      {{{"202403.log", swap_start + stopped + stopped}}, SwapRecord::kCutOff, ""},
      {{{"202402.log", swap_start + swap_end}, {"202403.log", stopped}}, SwapRecord::kEnded, "changed file moved back"},
      {{{"202403.log", swap_start + check_ok + stopped}}, SwapRecord::kEnded, "a later run found the live file"},
      // The log ends an hour before .lst was written.
      {{{"202403.log", run("10:59:58", {"БД в даун ...", "Файлы БД восстановлены."})}}, SwapRecord::kUnknown,
       "before .lst was written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome);
    SystemHost().DeleteDirectoryTree(log_dir, false);
    SystemHost().ForceDirectoriesOrFail(log_dir);
    for (const auto& [name, text] : c.logs) WriteFile(log_dir + name, cp1251::FromUtf8(text));
    const SwapFiles files = ExamineSwap(SystemHost(), names_);
    const SwapEvidence evidence = ReadSwapEvidence(SystemHost(), log_dir, files);
    EXPECT_EQ(evidence.record, c.record) << evidence.outcome;
    EXPECT_NE(evidence.outcome.find(c.outcome), std::string::npos) << evidence.outcome;
    if (c.record != SwapRecord::kUnknown) {
      EXPECT_EQ(evidence.scripts, std::vector<std::string>{"1201.sql"});
      EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn:ss", evidence.started), "01.03.2024 12:00:00");
    }
  }
}

}  // namespace
}  // namespace korvel::tool
