// korvel-tool doctor (its test build, on the test's own services) on
// installations of the utility's test build with their databases on the
// Firebird test server: a healthy one, one whose database cannot be
// reached, and every state the safe swap of the database can be left in
// by an interrupted update, with and without --repair.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "dbservice/db_service.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "sample_database.h"
#include "test_build_run.h"

namespace korvel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class DoctorTool : public TestBuildRun {
 protected:
  void SetUp() override {
    TestBuildRun::SetUp();
    if (IsSkipped() || HasFailure()) return;
    UseSampleDatabase(12, 5, 700);
    dir_ = host::ExtractFilePath(path_);
    MakeOfficeKey();
  }

  ProgramResult RunDoctor(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"doctor", "--dir", cp1251::ToUtf8(inst_.exe_dir())};
    args.insert(args.end(), extra.begin(), extra.end());
    ProgramResult result = RunProgram(ToolTestBuildProgram(), args);
    result.output = ConsoleUtf8(result.output);
    return result;
  }

  // Every file beside the database with its content.
  std::map<std::string, std::string> DbDirectory() {
    std::map<std::string, std::string> files;
    std::vector<std::string> names;
    SystemHost().ListFiles(dir_, "*", names);
    for (const std::string& name : names) files[name] = ReadFile(dir_ + name);
    if (SystemHost().DirectoryExists(dir_ + "Tmp")) {
      names.clear();
      SystemHost().ListFiles(dir_ + "Tmp" + host::kPathDelim, "*", names);
      for (const std::string& name : names) files["Tmp/" + name] = ReadFile(dir_ + "Tmp" + host::kPathDelim + name);
    }
    return files;
  }

  std::string Tables() {
    return fb::testing::SelectValue(db_, "select list(A) from T") + " v" +
           fb::testing::SelectValue(db_, "select SYSVERNO from ORGANIZATION");
  }

  std::string dir_;
};

TEST_F(DoctorTool, AHealthyInstallationAndItsLastRun) {
  ProgramResult result = RunDoctor();
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("chain 12, pharmacy 5, schema 700"));
  EXPECT_THAT(result.output, HasSubstr("installed version 1520 (001520.ver)"));
  EXPECT_THAT(result.output, HasSubstr("ok       the live database file; no update has left a copy yet"));
  EXPECT_THAT(result.output, HasSubstr("database server FirebirdServerPelkora: running"));
  EXPECT_THAT(result.output, HasSubstr("no run log in "));
  EXPECT_THAT(result.output, HasSubstr("doctor: no problem found"));
  // A diagnosis makes nothing, not even the TMP the utility would make.
  EXPECT_FALSE(SystemHost().DirectoryExists(inst_.work_dir() + "TMP"));

  // After a run: its last lines and the packet it left.
  Run();
  result = RunDoctor();
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Завершение - OK\n"));
  EXPECT_THAT(result.output, HasSubstr("request packet " + cp1251::ToUtf8(inst_.out_dir()) +
                                       "0012005.UPR: STATUS OK, VERNO 1520, DBVERNO 700"));

  // A missing office key and a missing marker are problems with a remedy.
  SystemHost().DeleteFile(inst_.exe_dir() + "Korvel.pub");
  SystemHost().DeleteFile(inst_.work_dir() + "Distrib" + host::kPathDelim + "001520.ver");
  result = RunDoctor();
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("PROBLEM  office key: "));
  EXPECT_THAT(result.output, HasSubstr("Ошибка определения текущей версии ПО"));
  EXPECT_THAT(result.output, HasSubstr("doctor: 2 problem(s)"));
}

TEST_F(DoctorTool, AnUnreachableDatabaseAndABrokenConfiguration) {
  inst_.WriteIni(inst_.StandardIni("127.0.0.1/1:" + cp1251::ToUtf8(path_)));
  ProgramResult result = RunDoctor();
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("PROBLEM  the database cannot be read:"));
  EXPECT_THAT(result.output, HasSubstr("Unable to complete network request"));
  // The file is in place all the same.
  EXPECT_THAT(result.output, HasSubstr("ok       the live database file"));

  inst_.WriteIni("[Path]\r\nWorkDir=" + cp1251::ToUtf8(inst_.work_dir()) + "\r\n");
  result = RunDoctor();
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Не найден параметр DB в файле Korvel.ini"));
  EXPECT_EQ(RunProgram(ToolTestBuildProgram(), {"doctor", "--bogus"}).exit_code, 2);
}

// The states an interrupted update leaves (made here as the crash test of
// the swap leaves them, from a database shut down as the swap shuts it
// down): the doctor names each and changes nothing; --repair brings the
// database back where a complete copy from before the update is there, and
// leaves every other state as it found it.
TEST_F(DoctorTool, EachStateOfAnInterruptedSwapAndItsRepair) {
  {
    dbservice::TDbService service(SystemHost(), *fb::testing::TestClient());
    service.SetDatabase(db_);
    service.Shutdown();
  }
  const std::string pristine = inst_.root() / "pristine.fdb";
  SystemHost().CopyFile(path_, pristine);
  struct Case {
    std::string name;
    std::function<void()> make;
    std::string finding;
    bool repairable;
  };
  host::Host& fs = SystemHost();
  const std::vector<Case> cases = {
      {"moved away", [&] { fs.MoveFile(path_, path_ + ".lst", false); },
       "PROBLEM  no live database file: an update was interrupted after the database was moved to .lst", true},
      {"between the renames",
       [&] {
         fs.MoveFile(path_, path_ + ".new", false);
         fs.CopyFile(path_ + ".new", path_ + ".tmp");
       },
       "PROBLEM  no live database file and no .lst: an update was interrupted between its two renames", true},
      {"a newer copy in Tmp",
       [&] {
         fs.MoveFile(path_, path_ + ".lst", false);
         fs.ForceDirectoriesOrFail(dir_ + "Tmp");
         fs.CopyFile(path_ + ".lst", dir_ + "Tmp" + host::kPathDelim + "base.fdb");
         fs.SetFileWriteTime(dir_ + "Tmp" + host::kPathDelim + "base.fdb", fs.GetFileDateTime(path_ + ".lst") + 1);
       },
       "the copy in Tmp is newer than .lst", false},
      {"only .new", [&] { fs.MoveFile(path_, path_ + ".new", false); },
       "PROBLEM  no live database file and no complete copy", false},
      {"nothing", [&] { fs.DeleteFile(path_); }, "PROBLEM  no database file at all", false},
      {"leftovers", [&] { fs.CopyFile(path_, path_ + ".new"); },
       "note     leftovers of an interrupted or failed update", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs.DeleteDirectoryTree(dir_, true);
    fs.CopyFile(pristine, path_);
    c.make();
    const auto before = DbDirectory();
    ProgramResult result = RunDoctor();
    EXPECT_THAT(result.output, HasSubstr(c.finding)) << result.output;
    EXPECT_EQ(DbDirectory(), before);

    result = RunDoctor({"--repair"});
    if (c.repairable) {
      EXPECT_EQ(result.exit_code, 1) << result.output;  // the problem was found, then mended
      EXPECT_THAT(result.output, HasSubstr("Файлы БД восстановлены.")) << result.output;
      EXPECT_THAT(result.output, HasSubstr("ok       repaired: the database is back under its live name"));
      EXPECT_THAT(result.output, HasSubstr("ok       the database answers (schema 700)"));
      EXPECT_TRUE(fs.FileExists(path_));
      EXPECT_EQ(Tables(), "1 v700");
      EXPECT_TRUE(ServerServiceRuns());
      // The utility's start-of-run check passes now.
      Run({"/Request"});
      EXPECT_THAT(inst_.LogUtf8(), HasSubstr("Проверка БД - OK")) << inst_.LogUtf8();
      result = RunDoctor();
      EXPECT_THAT(result.output, Not(HasSubstr("PROBLEM  no live database file"))) << result.output;
    } else {
      EXPECT_THAT(result.output, HasSubstr("nothing to repair here: the doctor changed nothing")) << result.output;
      EXPECT_EQ(DbDirectory(), before);
    }
  }
}

}  // namespace
}  // namespace korvel::testing
