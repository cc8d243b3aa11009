#include "run/korvel_data.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using testing::RunningServicesHost;

// A temporary installation: Korvel/ holds the executable's place and the
// ini file, Work/ the distribution.
class RunFixture : public testing::StepTest {
 protected:
  void SetUp() override {
    exe_dir_ = root_ / "Korvel\\";
    SystemHost().ForceDirectoriesOrFail(exe_dir_);
    SystemHost().ForceDirectoriesOrFail(root_ / "Work\\Distrib\\");
    SystemHost().ForceDirectoriesOrFail(root_ / "Work\\Apteka\\");
    SystemHost().ForceDirectoriesOrFail(root_ / "In\\");
    SystemHost().ForceDirectoriesOrFail(root_ / "Out\\");
  }

  void SetVersion(int version) { WriteFile(root_ / "Work\\Distrib\\" + modules::VersionMarkerName(version), ""); }

  // A pharmacy database on the test server (chain 12, pharmacy 5, schema
  // 700) that the ini file names from now on.
  void UseDatabase() {
    db_ = std::make_unique<fb::testing::ScratchDatabase>(fb::testing::PharmacyStatements(12, 5, 700));
  }

  void WriteIni(const std::string& extra, bool with_db = true) {
    const std::string db = db_ ? db_->Connection() : "srv/3050:D:\\Db\\base.gdb";
    WriteFile(exe_dir_ + "Korvel.ini", "[Path]\r\nWorkDir=" + root_ / "Work" + "\r\n" +
                                           (with_db ? "DB=" + db + "\r\n" : "") +
                                           "InDir=../In\r\nOutDir=" + root_ / "Out" + "\r\nModules=2;5\r\n" + extra);
  }

  std::string LogText(const TdmKorvel& dm) {
    std::string text;
    for (const std::string& line : dm.LogLines) text += line + "\n";
    return text;
  }

  std::string exe_dir_;
  std::unique_ptr<fb::testing::ScratchDatabase> db_;
};

TEST_F(RunFixture, ConfigurationFillsTheFields) {
  KORVEL_REQUIRE_FB_SERVER();
  UseDatabase();
  SetVersion(1520);
  WriteIni("Classic=1\r\n");
  RunningServicesHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.Execute();
  EXPECT_EQ(dm.DistribDir, host::IncludePathDelimiter(root_ / "Work\\Distrib"));
  EXPECT_EQ(dm.AptekaDir, host::IncludePathDelimiter(root_ / "Work\\Apteka"));
  EXPECT_EQ(dm.TmpDir, host::IncludePathDelimiter(root_ / "Work\\TMP"));
  EXPECT_TRUE(SystemHost().DirectoryExists(dm.TmpDir));
  EXPECT_EQ(dm.DbName, db_->Connection());
  EXPECT_EQ(dm.PredId, 12);
  EXPECT_EQ(dm.NodeId, 5);
  EXPECT_EQ(dm.SysVerNo, 700);
  // A relative inbox is taken relative to the executable's directory.
  EXPECT_EQ(dm.InDir, host::IncludePathDelimiter(root_ / "In"));
  EXPECT_EQ(dm.OutDir, host::IncludePathDelimiter(root_ / "Out"));
  EXPECT_EQ(dm.Modules, "2;5");
  EXPECT_TRUE(dm.Classic);
  EXPECT_EQ(dm.CurVersion, 1520);
  EXPECT_EQ(dm.OldVersion, 1520);
  // The full mode ended with its request packet.
  EXPECT_FALSE(dm.RequestPending);
  EXPECT_TRUE(SystemHost().FileExists(root_ / "Out\\0012005.UPR"));
  EXPECT_EQ(dm.LogLines.back().substr(9), "Завершение - OK"_cp);
  EXPECT_EQ(dm.LogLines[2].substr(9), "Утилита Korvel 1.2.3.4"_cp);
  EXPECT_TRUE(host.events.empty());
}

TEST_F(RunFixture, ClassicFlagForms) {
  SetVersion(1520);
  struct Case {
    const char* value;
    bool classic;
  };
  for (const Case& c : {Case{"1", true}, Case{"0x1", true}, Case{" 1 ", true}, Case{"yes", false}, Case{"2", false},
                        Case{"", false}}) {
    WriteIni(std::string("Classic=") + c.value + "\r\n");
    RunTestHost host(exe_dir_, {});
    TdmKorvel dm(host);
    dm.Execute();
    EXPECT_EQ(dm.Classic, c.classic) << c.value;
  }
}

// The /INI name is joined to the executable's directory, whatever it looks
// like: a subdirectory name reads the file there, an absolute path does not
// leave the executable's directory.
TEST_F(RunFixture, IniSwitchNameIsJoinedToTheExecutableDirectory) {
  SetVersion(1520);
  SystemHost().ForceDirectoriesOrFail(exe_dir_ + "conf");
  const std::string ini = "[Path]\r\nWorkDir=" + root_ / "Work" + "\r\nDB=srv/3050:D:\\Db\\base.gdb\r\n" +
                          "InDir=" + root_ / "In" + "\r\nOutDir=" + root_ / "Out" + "\r\nModules=7\r\n";
  WriteFile(exe_dir_ + "conf" + host::kPathDelim + "other.ini", ini);
  {
    RunTestHost host(exe_dir_, {"/INI", std::string("conf") + host::kPathDelim + "other.ini"});
    TdmKorvel dm(host);
    dm.Execute();
    EXPECT_EQ(dm.Modules, "7") << LogText(dm);
  }
  WriteFile(root_ / "elsewhere.ini", ini);
  {
    RunTestHost host(exe_dir_, {"/INI", root_ / "elsewhere.ini"});
    TdmKorvel dm(host);
    dm.Execute();
    EXPECT_EQ(dm.Modules, "");
    EXPECT_NE(LogText(dm).find("Не найден файл "_cp + root_ / "elsewhere.ini"), std::string::npos) << LogText(dm);
  }
}

TEST_F(RunFixture, VersionAbove1520ClearsClassic) {
  WriteIni("Classic=1\r\n");
  SetVersion(1521);
  RunTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.Execute();
  EXPECT_EQ(dm.OldVersion, 1521);
  EXPECT_FALSE(dm.Classic);
}

TEST_F(RunFixture, PosModeUsesTheLocalDatabaseWithoutTheDbKey) {
  KORVEL_REQUIRE_FB_EMBEDDED();
  SystemHost().ForceDirectoriesOrFail(exe_dir_ + "DB");
  fb::testing::CreateDatabase(host::JoinPath(exe_dir_, "DB\\orvpos.gdb"),
                              fb::testing::OrganizationStatements(12, 7, 650));
  SetVersion(1520);
  WriteIni("", false);
  RunTestHost host(exe_dir_, {"/pos"});
  TdmKorvel dm(host);
  dm.Execute();
  EXPECT_TRUE(dm.PosMode);
  EXPECT_EQ(dm.DbName, host::JoinPath(exe_dir_, "DB\\orvpos.gdb"));
  EXPECT_EQ(dm.NodeId, 7);
  EXPECT_EQ(dm.LogLines.back().substr(9), "Завершение - OK"_cp);
}

TEST_F(RunFixture, ModePrecedence) {
  struct Case {
    std::vector<std::string> args;
    RunMode mode;
  };
  for (const Case& c : {Case{{"-REQUEST"}, RunMode::kRequest}, Case{{"/request"}, RunMode::kRequest},
                        Case{{"/Request=1"}, RunMode::kFull}, Case{{"/Scripts", "/POS", "/Request"}, RunMode::kRequest},
                        Case{{"/Scripts", "/POS"}, RunMode::kPos}, Case{{"/scripts", "/debug"}, RunMode::kScripts},
                        Case{{"/debug"}, RunMode::kFull}, Case{{}, RunMode::kFull}}) {
    RunTestHost host(exe_dir_, c.args);
    TdmKorvel dm(host);
    dm.PosMode = host.FindSwitch("POS") > 0;
    EXPECT_EQ(dm.ChooseMode(), c.mode) << (c.args.empty() ? "" : c.args[0]);
  }
}

TEST_F(RunFixture, ScriptsModeWritesNoPacket) {
  KORVEL_REQUIRE_FB_SERVER();
  UseDatabase();
  SetVersion(1520);
  WriteIni("");
  RunningServicesHost host(exe_dir_, {"/Scripts"});
  TdmKorvel dm(host);
  dm.Execute();
  EXPECT_FALSE(dm.RequestPending);
  EXPECT_EQ(dm.LogLines.back().substr(9), "Завершение - OK"_cp);
  std::vector<std::string> outbox;
  SystemHost().ListFiles(root_ / "Out\\", "*", outbox);
  EXPECT_TRUE(outbox.empty());
}

TEST_F(RunFixture, UnwritableLogFallsBackToTheEventLog) {
  WriteFile(exe_dir_ + "KorvelLog", "a file in the way");
  RunTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.Execute();
  // The first line ends the run; it and the error's line reach the event
  // log and stay in the run's lines.
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.events[0].rfind("Korvel: "_cp + "Ошибка WriteLog:\r\nОшибка создания каталога "_cp, 0), 0u)
      << host.events[0];
  EXPECT_NE(host.events[0].find("\r\nПараметр WriteLog:\r\n"_cp), std::string::npos);
  ASSERT_EQ(dm.LogLines.size(), 2u);
  EXPECT_EQ(dm.LogLines[0], "");
  EXPECT_NE(host.events[1].find("\tОшибка Exception:\r\nОшибка WriteLog:\r\n"_cp), std::string::npos);
}

TEST_F(RunFixture, WriteLogEntriesWithLineBreaksStayOneEntry) {
  RunTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.ExeDir = exe_dir_;
  dm.WriteLog("");
  dm.WriteLog("first\r\nsecond");
  ASSERT_EQ(dm.LogLines.size(), 2u);
  EXPECT_EQ(dm.LogLines[0], "");
  EXPECT_EQ(dm.LogLines[1].substr(8), "\tfirst\r\nsecond");
  const std::string file = korvel::testing::ReadFile(dm.LogFileName);
  EXPECT_EQ(file, "\r\n" + dm.LogLines[1] + "\r\n");
  EXPECT_EQ(host::ExtractFileName(dm.LogFileName), FormatDateTime("yyyymm", host.Now()) + ".log");
}

TEST_F(RunFixture, ReadOnlyLogFileReportsWriteLogFailure) {
  RunTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.ExeDir = exe_dir_;
  dm.WriteLog("one");
  SystemHost().SetAttributes(dm.LogFileName, host::FileAttributes{.read_only = true});
  try {
    dm.WriteLog("two");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка WriteLog:\r\n"_cp, 0), 0u);
    EXPECT_EQ(e.Message().substr(e.Message().size() - 4), "\ttwo");
  }
  EXPECT_EQ(dm.LogLines.size(), 2u);
}

// Runs that write the same monthly log at once (a refused second instance
// while the first one logs): every entry arrives whole, none is lost or
// written over.
TEST_F(RunFixture, ConcurrentWritersLoseNoLogLine) {
  constexpr int kWriters = 8;
  constexpr int kLines = 250;
  RunTestHost first_host(exe_dir_, {});
  TdmKorvel first(first_host);
  first.ExeDir = exe_dir_;
  first.WriteLog("");  // makes the log directory before the writers start
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([this, w] {
      RunTestHost host(exe_dir_, {});
      TdmKorvel dm(host);
      dm.ExeDir = exe_dir_;
      for (int i = 0; i < kLines; ++i) {
        dm.WriteLog("Утилита writer "_cp + std::to_string(w) + " line " + std::to_string(i));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::set<std::string> seen;
  int count = 0;
  for (const std::string& line : SplitString(korvel::testing::ReadFile(first.LogFileName), '\n')) {
    if (line.find("writer ") == std::string::npos) continue;
    ++count;
    EXPECT_EQ(line.back(), '\r') << line;
    seen.insert(line.substr(9));
  }
  EXPECT_EQ(count, kWriters * kLines);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kWriters * kLines));
}

}  // namespace
}  // namespace korvel::run
