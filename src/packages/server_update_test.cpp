// Moving the payload into place and the version marker, on real files in
// temporary directories; a target held by another program (which a test
// cannot make a POSIX file system show) comes from the host's move.
#include "packages/server_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <map>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"

namespace korvel::packages {
namespace {

using korvel::testing::ReadFile;
using korvel::testing::SystemHost;
using korvel::testing::TempDir;
using korvel::testing::WriteFile;
using ::testing::HasSubstr;
using namespace korvel::literals;
using V = std::vector<std::string>;

const int kSharingCode = host::kWindows ? 32 : EBUSY;
const int kAccessCode = host::kWindows ? 5 : EACCES;
const int kOtherCode = host::kWindows ? 1117 : EIO;

// Refuses moves onto chosen targets a given number of times with a given
// system error; counts the waits.
class RefusingHost : public host::ForwardingHost {
 public:
  RefusingHost() : ForwardingHost(SystemHost()) {}
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    auto it = refusals.find(to);
    if (it != refusals.end() && it->second.times > 0) {
      --it->second.times;
      throw EOSError(SysError{it->second.code, SysErrorKind::kOther, "refused"});
    }
    ForwardingHost::MoveFile(from, to, allow_copy);
  }
  void Sleep(unsigned ms) override { slept_ms += ms; }
  std::string ExecutablePath() override { return exe_path.empty() ? ForwardingHost::ExecutablePath() : exe_path; }

  std::string exe_path;
  struct Refusal {
    int code;
    int times;
  };
  std::map<std::string, Refusal> refusals;
  unsigned long long slept_ms = 0;
};

class MovePayloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = root_ / "TMP\\";
    dest_ = root_ / "Distrib\\";
    SystemHost().ForceDirectoriesOrFail(tmp_);
    SystemHost().ForceDirectoriesOrFail(dest_);
  }
  void Move() {
    MovePayload(host_, tmp_, dest_, [this](std::string_view line) { log_.emplace_back(line); });
  }
  std::string MoveError() {
    try {
      Move();
    } catch (const Exception& e) {
      return e.Message();
    }
    ADD_FAILURE() << "no failure";
    return "";
  }
  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  TempDir root_;
  std::string tmp_, dest_;
  RefusingHost host_;
  V log_;
};

TEST_F(MovePayloadTest, MovesTheWholeTreeReplacingReadOnlyTargets) {
  WriteFile(tmp_ + "a.txt", "new a");
  WriteFile(host::JoinPath(tmp_, "sub\\b.txt"), "new b");
  WriteFile(host::JoinPath(tmp_, "sub\\deep\\c.txt"), "new c");
  WriteFile(dest_ + "a.txt", "old a");
  auto attributes = *SystemHost().GetAttributes(dest_ + "a.txt");
  attributes.read_only = true;
  SystemHost().SetAttributes(dest_ + "a.txt", attributes);

  Move();
  EXPECT_EQ(ReadFile(dest_ + "a.txt"), "new a");
  EXPECT_EQ(ReadFile(host::JoinPath(dest_, "sub\\b.txt")), "new b");
  EXPECT_EQ(ReadFile(host::JoinPath(dest_, "sub\\deep\\c.txt")), "new c");
  EXPECT_TRUE(log_.empty());
  // Moved, not copied: only the empty directories are left.
  V left;
  SystemHost().ListFiles(tmp_, "*", left);
  SystemHost().ListFiles(host::JoinPath(tmp_, "sub\\"), "*", left);
  EXPECT_TRUE(left.empty());
  EXPECT_TRUE(SystemHost().DirectoryExists(host::JoinPath(tmp_, "sub\\deep")));
}

TEST_F(MovePayloadTest, HeldTargetIsMovedAsideAndTheSecondAttemptSucceeds) {
  for (int code : {kSharingCode, kAccessCode}) {
    SCOPED_TRACE(code);
    log_.clear();
    WriteFile(tmp_ + "Korvel.exe", "new");
    WriteFile(dest_ + "Korvel.exe", "running");
    host_.refusals[dest_ + "Korvel.exe"] = {code, 1};
    Move();
    ASSERT_EQ(log_.size(), 3u);
    EXPECT_THAT(log_[0], HasSubstr("Ошибка переименования файла "_cp + tmp_ + "Korvel.exe"));
    EXPECT_THAT(log_[0], HasSubstr(LastErrorText(SysError{code, SysErrorKind::kOther, "refused"})));
    EXPECT_EQ(log_[1], "Вторая попытка ..."_cp);
    EXPECT_EQ(log_[2], "Вторая попытка ОК"_cp);
    EXPECT_EQ(ReadFile(dest_ + "Korvel.exe"), "new");
    EXPECT_EQ(ReadFile(dest_ + "Korvel.old"), "running");
    EXPECT_EQ(host_.slept_ms, 0u);
  }
}

TEST_F(MovePayloadTest, WaitsThirtySecondsWhenTheTargetCannotBeMovedAside) {
  WriteFile(tmp_ + "lib.so", "new");
  WriteFile(dest_ + "lib.so", "old");
  host_.refusals[dest_ + "lib.so"] = {kSharingCode, 1};
  host_.refusals[dest_ + "lib.old"] = {kSharingCode, 1};
  Move();
  EXPECT_EQ(host_.slept_ms, 30000u);
  EXPECT_EQ(log_.back(), "Вторая попытка ОК"_cp);
  EXPECT_EQ(ReadFile(dest_ + "lib.so"), "new");
  EXPECT_FALSE(SystemHost().FileExists(dest_ + "lib.old"));
}

TEST_F(MovePayloadTest, FailuresOfEveryFileAreCollectedOneMessagePerLine) {
  WriteFile(tmp_ + "a.dat", "new a");
  WriteFile(tmp_ + "b.dat", "new b");
  WriteFile(tmp_ + "c.dat", "new c");
  WriteFile(dest_ + "c.dat", "old c");
  host_.refusals[dest_ + "a.dat"] = {kOtherCode, 2};
  host_.refusals[dest_ + "b.dat"] = {kOtherCode, 2};
  const std::string error = MoveError();
  // Two attempts of two files, each message of its own ("...:\r\n" + code).
  EXPECT_EQ(Count(error, "Ошибка переименования файла "_cp), 4);
  EXPECT_EQ(Count(error, "Ошибка переименования файла "_cp + tmp_ + "a.dat"), 2);
  EXPECT_EQ(Count(error, "Ошибка переименования файла "_cp + tmp_ + "b.dat"), 2);
  EXPECT_EQ(error.find("\r\n\r\n"), std::string::npos);
  EXPECT_TRUE(log_.empty());
  // The file that could be moved was moved.
  EXPECT_EQ(ReadFile(dest_ + "c.dat"), "new c");
  EXPECT_TRUE(SystemHost().FileExists(tmp_ + "a.dat"));

  // An error recorded in the first attempt fails the move even when the
  // second attempt succeeds.
  host_.refusals[dest_ + "a.dat"] = {kOtherCode, 1};
  host_.refusals[dest_ + "b.dat"] = {kOtherCode, 0};
  EXPECT_EQ(Count(MoveError(), "Ошибка переименования файла "_cp), 1);
  EXPECT_EQ(ReadFile(dest_ + "a.dat"), "new a");
  EXPECT_EQ(log_.back(), "Вторая попытка ОК"_cp);
}

TEST_F(MovePayloadTest, AHeldTargetThatStaysHeldReportsOnlyTheSecondAttemptAndKeepsTheOldFile) {
  WriteFile(tmp_ + "a.dll", "new");
  WriteFile(dest_ + "a.dll", "old");
  host_.refusals[dest_ + "a.dll"] = {kSharingCode, 2};
  const std::string error = MoveError();
  EXPECT_EQ(Count(error, "Ошибка переименования файла "_cp), 1);
  EXPECT_EQ(log_.size(), 2u);
  // The installation keeps its file under its own name.
  EXPECT_EQ(ReadFile(dest_ + "a.dll"), "old");
  EXPECT_FALSE(SystemHost().FileExists(dest_ + "a.old"));
  EXPECT_EQ(ReadFile(tmp_ + "a.dll"), "new");
}

TEST_F(MovePayloadTest, ADirectoryThatCannotBeMadeStopsAtOnce) {
  WriteFile(tmp_ + "a.txt", "a");
  WriteFile(host::JoinPath(tmp_, "sub\\b.txt"), "b");
  WriteFile(host::JoinPath(tmp_, "sub\\c.txt"), "c");
  WriteFile(dest_ + "sub", "a file where the directory goes");
  EXPECT_EQ(MoveError(), "Ошибка создания каталога "_cp + dest_ + "sub" + host::kPathDelim);
  EXPECT_EQ(ReadFile(dest_ + "a.txt"), "a");
  EXPECT_TRUE(SystemHost().FileExists(host::JoinPath(tmp_, "sub\\c.txt")));
}

class UpdateWorkDirTest : public MovePayloadTest {
 protected:
  void Update(std::int32_t new_version) {
    UpdateWorkDir(host_, tmp_, dest_, new_version, cur_version_,
                  [this](std::string_view line) { log_.emplace_back(line); });
  }
  V Markers() {
    V markers;
    SystemHost().ListFiles(dest_, "*.ver", markers);
    std::sort(markers.begin(), markers.end());
    return markers;
  }
  std::int32_t cur_version_ = 1520;
};

TEST_F(UpdateWorkDirTest, LeavesExactlyTheNewMarker) {
  WriteFile(dest_ + "001519.ver", "");
  WriteFile(dest_ + "001520.VER", "");
  WriteFile(tmp_ + "distrib.xml", "<X/>");
  Update(1522);
  EXPECT_EQ(cur_version_, 1522);
  EXPECT_EQ(Markers(), V{"001522.ver"});
  EXPECT_EQ(ReadFile(dest_ + "distrib.xml"), "<X/>");
  EXPECT_EQ(log_, (V{"Обновление рабочего каталога ..."_cp, "Обновление рабочего каталога - OK"_cp}));

  Update(1234567);
  EXPECT_EQ(Markers(), V{"1234567.ver"});
}

TEST_F(UpdateWorkDirTest, AFailedMoveLeavesTheOldMarkerAndVersion) {
  WriteFile(dest_ + "001520.ver", "");
  WriteFile(dest_ + "001400.ver", "");
  WriteFile(tmp_ + "a.txt", "a");
  WriteFile(tmp_ + "b.txt", "b");
  host_.refusals[dest_ + "b.txt"] = {kOtherCode, 2};
  try {
    Update(1521);
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_THAT(e.Message(), HasSubstr("Ошибка переименования файла "_cp + tmp_ + "b.txt"));
  }
  EXPECT_EQ(cur_version_, 1520);
  EXPECT_EQ(Markers(), V{"001520.ver"});
  EXPECT_EQ(ReadFile(dest_ + "a.txt"), "a");
  EXPECT_EQ(log_, V{"Обновление рабочего каталога ..."_cp});

  // Once the cause is gone the same payload goes through.
  Update(1521);
  EXPECT_EQ(Markers(), V{"001521.ver"});
  EXPECT_EQ(ReadFile(dest_ + "b.txt"), "b");

  // The payload moved but its marker cannot be written: the version and
  // marker stay the old ones, and the message names the file.
  ASSERT_TRUE(SystemHost().ForceDirectoriesOrFail(dest_ + "001522.ver"));
  WriteFile(tmp_ + "c.txt", "c");
  try {
    Update(1522);
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_THAT(e.Message(), HasSubstr("Ошибка записи файла "_cp + dest_ + "001522.ver :\r\n"));
  }
  EXPECT_EQ(cur_version_, 1521);
  EXPECT_EQ(Markers(), V{"001521.ver"});
  EXPECT_EQ(ReadFile(dest_ + "c.txt"), "c");
}

class OwnExecutableTest : public MovePayloadTest {
 protected:
  void SetUp() override {
    MovePayloadTest::SetUp();
    exe_dir_ = root_ / "Korvel\\";
    SystemHost().ForceDirectoriesOrFail(exe_dir_);
    // Started under another name: on Windows the installed name stays
    // Korvel.exe, on POSIX the program's own name is the one it updates.
    host_.exe_path = exe_dir_ + (host::kWindows ? "korvel-started.exe" : "korvel");
    name_ = host::kWindows ? "Korvel.exe" : "korvel";
    old_ = host::kWindows ? "Korvel.old" : "korvel.old";
  }
  void Update() {
    UpdateOwnExecutable(host_, tmp_, dest_, exe_dir_, [this](std::string_view line) { log_.emplace_back(line); });
  }
  std::string exe_dir_, name_, old_;
};

TEST_F(OwnExecutableTest, ReplacesTheExecutableAndKeepsTheOneThatRan) {
  EXPECT_EQ(OwnExecutableName(host_), name_);
  Update();
  EXPECT_TRUE(log_.empty());
  EXPECT_FALSE(SystemHost().FileExists(exe_dir_ + name_));

  WriteFile(exe_dir_ + name_, "build 1");
  WriteFile(host::JoinPath(tmp_, "Utils\\AutoUpdate\\" + name_), "build 2");
  Update();
  EXPECT_EQ(log_, (V{"Обновление Utils\\AutoUpdate\\"_cp + name_ + " ...", "Обновление Utils\\AutoUpdate\\"_cp + name_ + " - OK"}));
  EXPECT_EQ(ReadFile(exe_dir_ + name_), "build 2");
  EXPECT_EQ(ReadFile(exe_dir_ + old_), "build 1");
  EXPECT_EQ(ReadFile(host::JoinPath(dest_, "Utils\\AutoUpdate\\" + name_)), "build 2");
  EXPECT_FALSE(SystemHost().FileExists(host::JoinPath(tmp_, "Utils\\AutoUpdate\\" + name_)));

  // The next package's executable replaces the ".old" again.
  WriteFile(host::JoinPath(tmp_, "Utils\\AutoUpdate\\" + name_), "build 3");
  Update();
  EXPECT_EQ(ReadFile(exe_dir_ + name_), "build 3");
  EXPECT_EQ(ReadFile(exe_dir_ + old_), "build 2");
}

TEST_F(OwnExecutableTest, ADistributionDirectoryThatCannotBeMadeFails) {
  WriteFile(host::JoinPath(tmp_, "Utils\\AutoUpdate\\" + name_), "build 2");
  WriteFile(dest_ + "Utils", "a file");
  try {
    Update();
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка создания каталога "_cp + host::JoinPath(dest_, "Utils\\AutoUpdate\\"));
  }
  EXPECT_EQ(log_.size(), 1u);
}

}  // namespace
}  // namespace korvel::packages

namespace korvel::packages {
namespace {

// What the service layer reports cannot be made to fail on cue; the
// server update's own guarantee is checked through its control.
TEST(ServerUpdateControl, TheServerIsStartedAgainAfterAFailedStopAndAFailedStartIsAdded) {
  TempDir root;
  const ServerUpdateDirs dirs{root.path(), root.path(), root.path()};
  V calls;
  ServerControl control;
  control.StopServer = [&] {
    calls.push_back("stop");
    throw Exception("Не удается остановить сервис X"_cp);
  };
  control.StartServer = [&] { calls.push_back("start"); };
  V log;
  const LogLineFn to_log = [&](std::string_view line) { log.emplace_back(line); };
  EXPECT_THROW(UpdateServerModules(SystemHost(), dirs, false, control, to_log), Exception);
  EXPECT_EQ(calls, (V{"stop", "start"}));
  EXPECT_EQ(log, V{"Обновление сервера БД ..."_cp});

  // No descriptor at all: the deployment fails; a start that fails too is
  // reported under it.
  control.StopServer = [] {};
  control.StartServer = [] { throw Exception("Не удается запустить сервис X"_cp); };
  try {
    UpdateServerModules(SystemHost(), dirs, false, control, to_log);
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка обновления модуля 2:\r\n"_cp, 0), 0u) << e.Message();
    EXPECT_THAT(e.Message(), HasSubstr("\r\nНе удается запустить сервис X"_cp));
  }
}

}  // namespace
}  // namespace korvel::packages
