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
#include "host/text.h"
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

// Refuses moves and copies onto chosen targets a given number of times
// with a given system error; counts the waits.
class RefusingHost : public host::ForwardingHost {
 public:
  RefusingHost() : ForwardingHost(SystemHost()) {}
  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    Refuse(to);
    ForwardingHost::MoveFile(from, to, allow_copy);
  }
  void CopyFile(const std::string& from, const std::string& to) override {
    Refuse(to);
    ForwardingHost::CopyFile(from, to);
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

 private:
  void Refuse(const std::string& target) {
    auto it = refusals.find(target);
    if (it != refusals.end() && it->second.times > 0) {
      --it->second.times;
      throw EOSError(SysError{it->second.code, SysErrorKind::kOther, "refused"});
    }
  }
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
    return FailureOf([this] { Move(); });
  }
  // The message of the failure `call` raises.
  static std::string FailureOf(const std::function<void()>& call) {
    try {
      call();
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
    build_ = ReadFile(KORVEL_FAKE_UPDATE);
  }
  void Update() {
    UpdateOwnExecutable(host_, tmp_, dest_, exe_dir_, [this](std::string_view line) { log_.emplace_back(line); });
  }
  std::string UpdateError() {
    return FailureOf([this] { Update(); });
  }
  std::string New() { return host::JoinPath(tmp_, "Utils\\AutoUpdate\\" + name_); }
  std::string Copy() { return host::JoinPath(dest_, "Utils\\AutoUpdate\\" + name_); }
  bool Exists(const std::string& path) { return SystemHost().FileExists(path); }

  std::string exe_dir_, name_, old_;
  std::string build_;  // a whole executable of this system that knows /VERSION
};

TEST_F(OwnExecutableTest, ReplacesTheExecutableAndKeepsTheOneThatRan) {
  EXPECT_EQ(OwnExecutableName(host_), name_);
  Update();
  EXPECT_TRUE(log_.empty());
  EXPECT_FALSE(Exists(exe_dir_ + name_));

  // Bytes after the image tell the builds apart; the loader ignores them.
  WriteFile(exe_dir_ + name_, "build 1");
  WriteFile(New(), build_ + "build 2");
  Update();
  ASSERT_EQ(log_.size(), 3u);
  EXPECT_EQ(log_[0], "Обновление Utils\\AutoUpdate\\"_cp + name_ + " ...");
  EXPECT_EQ(log_[1], "Новый исполняемый файл запускается: \""_cp + exe_dir_ + name_ + "\" /VERSION -> 9.8.7.6");
  EXPECT_EQ(log_[2], "Обновление Utils\\AutoUpdate\\"_cp + name_ + " - OK");
  EXPECT_EQ(ReadFile(exe_dir_ + name_), build_ + "build 2");
  EXPECT_EQ(ReadFile(exe_dir_ + old_), "build 1");
  EXPECT_EQ(ReadFile(Copy()), build_ + "build 2");
  EXPECT_FALSE(Exists(New()));

  // The next package's executable replaces the ".old" again.
  WriteFile(New(), build_ + "build 3");
  Update();
  EXPECT_EQ(ReadFile(exe_dir_ + name_), build_ + "build 3");
  EXPECT_EQ(ReadFile(exe_dir_ + old_), build_ + "build 2");

  // An older build, without the marker, is installed without being
  // started: this one would end with code 3.
  log_.clear();
  WriteFile(New(), ReadFile(KORVEL_FAKE_CONVERTER));
  Update();
  EXPECT_EQ(log_.size(), 2u);
  EXPECT_EQ(ReadFile(exe_dir_ + name_), ReadFile(KORVEL_FAKE_CONVERTER));
}

// A file that is no executable of this system is refused before anything
// is moved.
TEST_F(OwnExecutableTest, AFileThatIsNoExecutableOfThisSystemChangesNothing) {
  const std::string other_system = host::kWindows ? std::string("\x7f" "ELF\2\1\1", 7) + std::string(100, '\0')
                                                  : "MZ" + std::string(100, '\0');
  const struct {
    const char* what;
    std::string image;
    std::string reason;
  } cases[] = {
      {"random bytes", "\x13\x57\x9b\xdf random bytes", "не является исполняемым файлом"_cp},
      {"a script", "#!/bin/sh\nexit 0\n", "не является исполняемым файлом"_cp},
      {"the other system's", other_system,
       "исполняемый файл другой системы ("_cp + (host::kWindows ? "ELF)" : "Windows)")},
      {"a truncated build", build_.substr(0, build_.size() * 2 / 3), "файл обрезан"_cp},
  };
  WriteFile(exe_dir_ + name_, "running");
  WriteFile(Copy(), "distributed");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log_.clear();
    WriteFile(New(), c.image);
    EXPECT_EQ(UpdateError(), "Файл Utils\\AutoUpdate\\"_cp + name_ + " пакета не принят: "_cp + c.reason);
    EXPECT_EQ(log_.size(), 1u);
    EXPECT_EQ(ReadFile(exe_dir_ + name_), "running");
    EXPECT_FALSE(Exists(exe_dir_ + old_));
    EXPECT_EQ(ReadFile(Copy()), "distributed");
  }
}

// A host whose start of programs can be refused, and whose clock runs as
// fast as its waits are asked for once the child has said something (so
// that a slow start of the child never looks like a hang).
class StartRefusingHost : public RefusingHost {
 public:
  std::unique_ptr<host::CapturedProcess> StartCapturedProcess(const std::string& command_line,
                                                              const std::string& working_dir) override {
    if (refuse_start) throw Exception("Ошибка запуска программы \""_cp + command_line + "\":\r\nrefused");
    heard_at_ms.reset();
    return std::make_unique<Heard>(*this, RefusingHost::StartCapturedProcess(command_line, working_dir));
  }
  TDateTime Now() override {
    const bool running = fast_clock && heard_at_ms;
    return RefusingHost::Now() + (running ? (slept_ms - *heard_at_ms) / 86400000.0 : 0);
  }
  bool refuse_start = false;
  bool fast_clock = false;

 private:
  // The child's process, noting when its first output arrives.
  class Heard : public host::CapturedProcess {
   public:
    Heard(StartRefusingHost& host, std::unique_ptr<host::CapturedProcess> child)
        : host_(host), child_(std::move(child)) {}
    std::optional<std::string> ReadOutput() override { return Note(child_->ReadOutput()); }
    std::uint32_t ExitCode() override { return child_->ExitCode(); }
    std::optional<std::string> ReadAvailableOutput() override { return Note(child_->ReadAvailableOutput()); }
    bool HasEnded() override { return child_->HasEnded(); }
    void Terminate() override { child_->Terminate(); }

   private:
    std::optional<std::string> Note(std::optional<std::string> output) {
      if (!host_.heard_at_ms && (!output || !output->empty())) host_.heard_at_ms = host_.slept_ms;
      return output;
    }
    StartRefusingHost& host_;
    std::unique_ptr<host::CapturedProcess> child_;
  };
  std::optional<unsigned long long> heard_at_ms;
};

// Once the executable that ran has been moved aside, every failure puts
// it back before it is raised.
TEST_F(OwnExecutableTest, TheExecutableThatRanIsPutBackWhenTheNewOneFails) {
  StartRefusingHost host;
  host.exe_path = host_.exe_path;
  const std::string command = "\"" + exe_dir_ + name_ + "\" /VERSION";
  const struct {
    const char* what;
    std::string order;  // for the fake build's fake_update.txt
    bool refuse_copy, refuse_start, fast_clock;
    std::string message;  // the start of the failure's message
    std::string output;   // the first lines of the program's output in it
  } cases[] = {
      {"the copy fails", "", true, false, false, "Ошибка копирования файла "_cp, ""},
      {"it cannot be started", "", false, true, false,
       "Новый исполняемый файл не запускается:\r\nОшибка запуска программы \""_cp + command, "\r\nrefused"},
      {"it exits with 3", "exit 3", false, false, false, "Новый исполняемый файл завершился с кодом 3: "_cp + command,
       "\r\nfailing?at start"},
      {"it hangs", "hang", false, false, true, "Новый исполняемый файл не завершился за 60 секунд: "_cp + command,
       "\r\nwaiting"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log_.clear();
    WriteFile(exe_dir_ + name_, "running");
    WriteFile(exe_dir_ + "fake_update.txt", c.order);
    WriteFile(New(), build_);
    host.refusals[exe_dir_ + name_] = {kOtherCode, c.refuse_copy ? 1 : 0};
    host.refuse_start = c.refuse_start;
    host.fast_clock = c.fast_clock;
    host.slept_ms = 0;
    try {
      UpdateOwnExecutable(host, tmp_, dest_, exe_dir_, [this](std::string_view line) { log_.emplace_back(line); });
      ADD_FAILURE() << "no failure";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message().rfind(c.message, 0), 0u) << e.Message();
      EXPECT_TRUE(EndsText(c.output, e.Message())) << e.Message();
    }
    EXPECT_EQ(log_.back(), "Прежний исполняемый файл восстановлен"_cp);
    EXPECT_EQ(ReadFile(exe_dir_ + name_), "running");
    EXPECT_FALSE(Exists(exe_dir_ + old_));
  }
}

TEST_F(OwnExecutableTest, ADistributionDirectoryThatCannotBeMadeFails) {
  WriteFile(New(), build_);
  WriteFile(dest_ + "Utils", "a file");
  EXPECT_EQ(UpdateError(), "Ошибка создания каталога "_cp + host::JoinPath(dest_, "Utils\\AutoUpdate\\"));
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
