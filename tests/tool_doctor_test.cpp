// korvel-tool doctor (its test build, on the test's own services) on
// installations of the utility's test build with their databases on the
// Firebird test server: a healthy one, which it reads without changing
// anything the utility's own check would change; one whose database cannot
// be reached; every state the safe swap of the database can be left in by
// an interrupted update, with and without --repair; the services as the run
// sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "dbservice/db_service.h"
#include "fb/database.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "sample_database.h"
#include "test_build_run.h"

namespace korvel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

void ChangeState(const std::string& path, bool shutdown) {
  dbservice::TDbService service(SystemHost(), *fb::testing::TestClient());
  service.SetDatabase(fb::testing::kServerPrefix + path);
  if (shutdown) {
    service.Shutdown();
  } else {
    service.BringOnline();
  }
}

class DoctorTool : public TestBuildRun {
 protected:
  void SetUp() override {
    TestBuildRun::SetUp();
    if (IsSkipped() || HasFailure()) return;
    UseSampleDatabase(12, 5, 700);
    dir_ = host::ExtractFilePath(path_);
    MakeOfficeKey();
  }

  ProgramResult Doctor(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"doctor", "--dir", cp1251::ToUtf8(inst_.exe_dir())};
    args.insert(args.end(), extra.begin(), extra.end());
    ProgramResult result = RunProgram(ToolTestBuildProgram(), args);
    result.output = ConsoleUtf8(result.output);
    return result;
  }

  // Every file beside the database and in its Tmp with its content; the
  // live file by name only when `live_by_name` (reading a database
  // advances counters in its header).
  std::map<std::string, std::string> DbDirectory(bool live_by_name = false) {
    std::map<std::string, std::string> files;
    for (const std::string& sub : {std::string(), std::string("Tmp") + host::kPathDelim}) {
      std::vector<std::string> names;
      SystemHost().ListFiles(dir_ + sub, "*", names);
      for (const std::string& name : names) files[sub + name] = ReadFile(dir_ + sub + name);
    }
    if (live_by_name && files.count("base.fdb")) files["base.fdb"] = "live";
    return files;
  }

  std::string Data() {
    return fb::testing::SelectValue(db_, "select list(A) from T") + " v" +
           fb::testing::SelectValue(db_, "select SYSVERNO from ORGANIZATION");
  }

  std::string dir_;
};

TEST_F(DoctorTool, AHealthyInstallationIsReadAndLeftAsItWas) {
  // What the utility's start-of-run check would change: it starts the
  // stopped server, deletes the stale shadow link, moves the Tmp copy
  // aside, and the run makes TMP.
  services_.Host().ServiceControl("FirebirdServerPelkora", false);
  WriteFile(dir_ + "base.ShadowLink", "/old/shadow\r\n");
  WriteFile(dir_ + "Tmp/base.fdb", "a copy of another tool");
  const auto before = DbDirectory(true);

  ProgramResult result = Doctor();
  EXPECT_EQ(result.exit_code, 0) << result.output;
  for (const std::string& line : std::vector<std::string>{
           "ok       the utility " + cp1251::ToUtf8(inst_.exe_path()),
        "ok       " + cp1251::ToUtf8(db_) + ": chain 12, pharmacy 5, schema version 700",
        std::string("ok       installed version 1520 (001520.ver)"), "ok       no shadow file",
        "ok       office key " + cp1251::ToUtf8(inst_.exe_dir()) + "Korvel.pub",
        "note     TMP " + cp1251::ToUtf8(inst_.work_dir()) + "TMP/ does not exist: the next run makes it",
        "  live        " + cp1251::ToUtf8(path_) + "  ",
        std::string("  .lst        ") + cp1251::ToUtf8(path_) + ".lst  missing",
        std::string("ok       live file only: the database is in place"),
        std::string("note     a copy in Tmp, left by another tool: the next start-of-run check moves it aside"),
        std::string("note     database server FirebirdServerPelkora (/bin/sleep): stopped; the next run starts it"),
        std::string("note     promotion service OrvPromos: not installed"),
        "note     no run log in " + cp1251::ToUtf8(inst_.LogDir()), std::string("doctor: no problem found")}) {
    EXPECT_THAT(result.output, HasSubstr(line)) << result.output;
  }
  EXPECT_EQ(DbDirectory(true), before);
  EXPECT_FALSE(SystemHost().DirectoryExists(inst_.work_dir() + "TMP"));
  EXPECT_FALSE(ServerServiceRuns());

  // After a run: its last lines and the packet it left.
  services_.Host().ServiceControl("FirebirdServerPelkora", true);
  Run();
  result = Doctor();
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("ok       run log " + cp1251::ToUtf8(inst_.LogFile()) +
                                       ": the last 12 of the last run's "));
  EXPECT_THAT(result.output, HasSubstr("\tЗавершение - OK\n  ok       request packet"));
  EXPECT_THAT(result.output, HasSubstr("ok       request packet " + cp1251::ToUtf8(inst_.out_dir()) +
                                       "0012005.UPR: STATUS OK, VERNO 1520, DBVERNO 700"));

  // A missing office key and a missing marker are problems with a remedy.
  SystemHost().DeleteFile(inst_.exe_dir() + "Korvel.pub");
  SystemHost().DeleteFile(inst_.work_dir() + "Distrib" + host::kPathDelim + "001520.ver");
  result = Doctor();
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("PROBLEM  office key: "));
  EXPECT_THAT(result.output, HasSubstr("Ошибка определения текущей версии ПО"));
  EXPECT_THAT(result.output, HasSubstr("doctor: 2 problem(s)"));
}

// Beside the utility the doctor needs no --dir, from whatever directory it
// is started; relative directories of the configuration are the utility's.
TEST_F(DoctorTool, BesideTheUtilityItReadsTheConfigurationAsTheUtilityDoes) {
  std::string ini = inst_.StandardIni(cp1251::ToUtf8(db_));
  ini.replace(ini.find("InDir="), ini.find("\r\n", ini.find("InDir=")) - ini.find("InDir="), "InDir=../In");
  inst_.WriteIni(ini);
  const std::string beside = inst_.exe_dir() + "korvel-tool";
  SystemHost().CopyFile(cp1251::FromUtf8(ToolTestBuildProgram()), beside);
  SystemHost().MarkExecutable(beside);
  const std::string elsewhere = inst_.work_dir() + "Apteka";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"doctor"}, std::vector<std::string>{"doctor", "--dir", "../../Korvel"}}) {
    ProgramResult result = RunProgram(cp1251::ToUtf8(beside), args, elsewhere);
    result.output = ConsoleUtf8(result.output);
    EXPECT_EQ(result.exit_code, 0) << result.output << result.error;
    EXPECT_THAT(result.output, HasSubstr("ok       inbox " + cp1251::ToUtf8(inst_.in_dir()) + "\n"));
    EXPECT_THAT(result.output, HasSubstr("ok       " + cp1251::ToUtf8(inst_.exe_dir()) + "Korvel.ini: DB="));
  }

  // --ini as the utility's /INI: a name beside the utility.
  inst_.WriteIni(inst_.StandardIni(cp1251::ToUtf8(db_), "Classic=1\r\n"), "other.ini");
  ProgramResult result = Doctor({"--ini", "other.ini"});
  EXPECT_THAT(result.output, HasSubstr("other.ini: DB=")) << result.output;
  EXPECT_THAT(result.output, HasSubstr("database server FirebirdServerClassic"));
}

TEST_F(DoctorTool, AnUnreachableOrShutDownDatabaseAndABrokenConfiguration) {
  struct Case {
    std::string name;
    std::function<void()> make;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"unreachable server",
       [&] { inst_.WriteIni(inst_.StandardIni("127.0.0.1/1:" + cp1251::ToUtf8(path_))); },
       {"PROBLEM  the database 127.0.0.1/1:" + cp1251::ToUtf8(path_) + " cannot be read:",
        "Unable to complete network request",
        "-> check that the server's service FirebirdServerPelkora runs and that DB names the server and file",
        "ok       live file only"}},
      {"shut down",
       [&] { ChangeState(path_, true); },
       {"PROBLEM  the database " + cp1251::ToUtf8(db_) + " cannot be read:", "shutdown",
        "-> it is shut down, as an update leaves it when cut off; the next run's start-of-run check brings it online"}},
      {"no server in the name",
       [&] { inst_.WriteIni(inst_.StandardIni(cp1251::ToUtf8(path_))); },
       {"PROBLEM  the database name stops every run during its initialisation:",
        "В имени БД " + cp1251::ToUtf8(path_) + " не указан сервер"}},
      // The configuration stops every run; the services and the log can
      // still be told.
      {"no DB key",
       [&] { inst_.WriteIni("[Path]\r\nWorkDir=" + cp1251::ToUtf8(inst_.work_dir()) + "\r\n"); },
       {"PROBLEM  the configuration Korvel.ini stops every run", "Не найден параметр DB в файле Korvel.ini",
        "[services]", "ok       database server FirebirdServerPelkora", "[last run]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inst_.WriteIni(inst_.StandardIni(cp1251::ToUtf8(db_)));
    c.make();
    const ProgramResult result = Doctor();
    EXPECT_EQ(result.exit_code, 1) << result.output;
    for (const std::string& line : c.expected) EXPECT_THAT(result.output, HasSubstr(line)) << result.output;
  }
  ChangeState(path_, false);

  EXPECT_THAT(Doctor({"--ini", "missing.ini"}).output, HasSubstr("Не найден файл missing.ini"));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"doctor", "--bogus"},
                                               std::vector<std::string>{"doctor", "--dir", "/no/such/dir"},
                                               std::vector<std::string>{"doctor", "--ini"}}) {
    const ProgramResult result = RunProgram(ToolTestBuildProgram(), args);
    EXPECT_EQ(result.exit_code, 2) << args.back();
    EXPECT_THAT(result.error, HasSubstr("Usage: korvel-tool doctor [--dir DIR] [--ini FILE] [--pos] [--repair [--restore-previous]]"));
  }
}

// A workstation (no DB key, its database DB/orvpos.gdb beside the utility,
// as /POS takes it) is recognised, or named by --pos, and gets what applies
// to it; the advice for a configuration that stops every run names its
// cause.
TEST_F(DoctorTool, AWorkstationAndTheCauseOfABrokenConfiguration) {
  const std::string pos_db = host::JoinPath(inst_.exe_dir(), "DB\\orvpos.gdb");
  const std::string pos_db_utf8 = cp1251::ToUtf8(pos_db);
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::function<void()> make;
    std::vector<std::string> expected, absent;
  };
  const std::vector<Case> cases = {
      {"recognised", {}, [&] { WriteFile(pos_db, "no database"); },
       {"a workstation (/POS): its database " + pos_db_utf8, "the workstation's database " + pos_db_utf8 +
        " cannot be read:", "promotion service OrvPromos"},
       {"Не найден параметр DB", "database server", "launcher service", "[database files]"}},
      {"named", {"--pos"}, [] {}, {"the workstation's database " + pos_db_utf8 + " is missing"}, {"database server"}},
      {"a server without DB", {}, [] {},
       {"Не найден параметр DB в файле Korvel.ini", "-> write DB=server/port:path under [Path] in Korvel.ini; a "
        "workstation"}, {}},
      {"no Distrib", {}, [&] { SystemHost().DeleteDirectoryTree(inst_.work_dir() + "Distrib", false); },
       {"an installer makes Distrib (with the marker of the installed version, an empty NNNNNN.ver)"}, {}},
  };
  inst_.WriteIni(inst_.StandardIni(""));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    const ProgramResult result = Doctor(c.args);
    EXPECT_EQ(result.exit_code, 1) << result.output;
    for (const std::string& line : c.expected) EXPECT_THAT(result.output, HasSubstr(line)) << result.output;
    for (const std::string& line : c.absent) EXPECT_THAT(result.output, Not(HasSubstr(line)));
    if (SystemHost().FileExists(pos_db)) SystemHost().DeleteFile(pos_db);
  }
}

// The states an interrupted update leaves, made here as the crash test of
// the swap leaves them (from a database shut down as the swap shuts it
// down; the changed copy with a row more). The utility stops at its check
// in each state without the live file; the doctor names the state, shows
// that run's failure and changes nothing; --repair brings the database
// back where a whole copy from before the update is there, after which
// the utility's check passes and the data is the data before the update,
// and leaves every other state as it found it.
TEST_F(DoctorTool, EachStateOfAnInterruptedSwapAndItsRepair) {
  host::Host& fs = SystemHost();
  const std::string online = inst_.root() / "online.fdb", down = inst_.root() / "down.fdb",
                    changed = inst_.root() / "changed.fdb";
  fs.CopyFile(path_, online);
  fs.CopyFile(path_, changed);
  fb::testing::ExecuteStatements(fb::testing::kServerPrefix + changed, {"insert into T values (2)"});
  ChangeState(changed, true);
  ChangeState(path_, true);
  fs.CopyFile(path_, down);
  const std::string half = ReadFile(down).substr(0, ReadFile(down).size() / 2);
  const std::string L = path_, tmp_copy = dir_ + "Tmp" + host::kPathDelim + "base.fdb";

  // The run log the doctor reads where .lst is left alone: the last swap
  // in it, cut off after the move away or ended by the move back.
  const std::string today = FormatDateTime("dd.mm.yyyy", fs.Now()), now = FormatDateTime("hh:nn:ss", fs.Now());
  const std::string cut_off = "\r\n" + now + "\t" + today + "\r\n" + now + "\tБД в даун ...\r\n" + now +
                              "\tФайл " + cp1251::ToUtf8(L) + " переименован в " + cp1251::ToUtf8(L) + ".lst.\r\n";
  const std::string ended = cut_off + now + "\tФайл " + cp1251::ToUtf8(L) + ".new переименован в " +
                            cp1251::ToUtf8(L) + ".\r\n";
  struct Case {
    std::string name;
    std::function<void()> make;
    std::string finding;  // the state line
    bool repairable;
    std::string log = "";  // the run log --repair finds (UTF-8)
  };
  const std::vector<Case> cases = {
      // The live file in place.
      {"live only", [&] { fs.CopyFile(online, L); }, "ok       live file only:", false},
      {"live and .lst", [&] {
         fs.CopyFile(online, L);
         fs.CopyFile(down, L + ".lst");
       },
       "ok       live file and .lst: the database is in place; .lst is the database as it was before", false},
      {"live and a leftover .new", [&] {
         fs.CopyFile(online, L);
         fs.CopyFile(changed, L + ".new");
       },
       "note     live file with leftovers: the database is in place; .new is the changed copy", false},
      // Cut off with a whole copy from before the update.
      {"moved away", [&] { fs.CopyFile(down, L + ".lst"); },
       "PROBLEM  no live file, .lst present: an update was cut off just after it moved the live file to .lst", true,
       cut_off},
      // The same files, lost after an update that ended, or with no log to
      // tell: --repair leaves them unless --restore-previous.
      {"lost after the update", [&] { fs.CopyFile(down, L + ".lst"); }, "PROBLEM  no live file, .lst present:", false,
       ended},
      {"moved away, no log", [&] { fs.CopyFile(down, L + ".lst"); }, "PROBLEM  no live file, .lst present:", false},
      {"copying", [&] {
         fs.CopyFile(down, L + ".lst");
         WriteFile(L + ".tmp", half);
       },
       "PROBLEM  no live file, .lst and .tmp: an update was cut off while it copied .lst to .tmp", true},
      {"working", [&] {
         fs.CopyFile(down, L + ".lst");
         fs.CopyFile(changed, L + ".new");
       },
       "PROBLEM  no live file, .lst and .new: an update was cut off while it worked on .new", true},
      // ".new" as a power cut may leave the file the server wrote: torn (its
      // header page lost); the flushed ".tmp" is whole.
      {"between the renames", [&] {
         WriteFile(L + ".new", std::string(4096, '\0') + ReadFile(down).substr(4096));
         fs.CopyFile(down, L + ".tmp");
       },
       "PROBLEM  no live file, no .lst, .new and a complete .tmp: an update was cut off between its two renames",
       true},
      // Nothing the recovery may put back.
      {"a newer copy in Tmp", [&] {
         fs.CopyFile(down, L + ".lst");
         fs.ForceDirectoriesOrFail(dir_ + "Tmp");
         fs.CopyFile(down, tmp_copy);
         fs.SetFileWriteTime(tmp_copy, fs.GetFileDateTime(L + ".lst") + 1);
       },
       "PROBLEM  no live file, a newer copy in Tmp: an update was cut off, and the copy in Tmp was written after",
       false},
      {".new alone", [&] { fs.CopyFile(down, L + ".new"); },
       "PROBLEM  no live file, no copy the update leaves: no live file and no .lst; what is there (.new)", false},
      {".new and a shorter .tmp", [&] {
         fs.CopyFile(down, L + ".new");
         WriteFile(L + ".tmp", half);
       },
       "PROBLEM  no live file, no copy the update leaves: no live file and no .lst; what is there (.new, .tmp)", false},
      {"nothing", [] {}, "PROBLEM  no file at all: no file of the database at all", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs.DeleteDirectoryTree(dir_, true);
    c.make();
    const bool live = Exists(L);
    if (!live) {
      // The utility stops at its check and changes nothing either.
      EXPECT_TRUE(InOrder(Run({"/Request"}), {"Ошибка Exception:", "БД находится в нерабочем состоянии!"}));
    }
    const auto before = DbDirectory(live);

    ProgramResult result = Doctor();
    EXPECT_EQ(result.exit_code, live ? 0 : 1) << result.output;
    EXPECT_THAT(result.output, HasSubstr(c.finding)) << result.output;
    if (!live) {
      EXPECT_THAT(result.output, HasSubstr("\tОшибка Exception:\n           | БД находится в нерабочем состоянии!\n"))
          << result.output;
      EXPECT_THAT(result.output, HasSubstr("PROBLEM  the last run failed"));
    }
    EXPECT_EQ(DbDirectory(live), before);
    EXPECT_TRUE(ServerServiceRuns());

    fs.DeleteDirectoryTree(inst_.LogDir(), false);
    if (!c.log.empty()) {
      fs.ForceDirectoriesOrFail(inst_.LogDir());
      WriteFile(inst_.LogFile(), cp1251::FromUtf8(c.log));
    }
    result = Doctor({"--repair"});
    if (c.name == "moved away" || !c.log.empty() || c.name.ends_with("no log")) {
      EXPECT_THAT(result.output, HasSubstr(c.repairable    ? "the run log shows the update of "
                                           : c.log.empty() ? "the run log cannot tell"
                                                           : "the live file was lost after it"))
          << result.output;
    }
    // Where the log does not show an update cut off, only the deliberate
    // option puts .lst back.
    if (!c.repairable && c.finding.find(".lst present") != std::string::npos) {
      EXPECT_THAT(result.output, HasSubstr("--repair leaves it without --restore-previous")) << result.output;
      EXPECT_EQ(DbDirectory(live), before);
      result = Doctor({"--repair", "--restore-previous"});
      EXPECT_THAT(result.output, HasSubstr("| Файлы БД восстановлены.")) << result.output;
      EXPECT_EQ(Data(), "1 v700");
      continue;
    }
    if (c.repairable) {
      EXPECT_EQ(result.exit_code, 0) << result.output;
      EXPECT_THAT(result.output, HasSubstr("| Файлы БД восстановлены.")) << result.output;
      EXPECT_THAT(result.output, HasSubstr("ok       the next run's start-of-run check will pass"));
      EXPECT_THAT(result.output, HasSubstr("doctor: no problem found, 2 mended by the repair"));
      EXPECT_EQ(Data(), "1 v700");
      EXPECT_FALSE(Exists(L + ".lst"));
      EXPECT_TRUE(ServerServiceRuns());
      EXPECT_TRUE(InOrder(Run({"/Request"}), {"Проверка БД - OK", "Завершение - OK"})) << inst_.LogUtf8();
    } else {
      EXPECT_EQ(result.exit_code, live ? 0 : 1) << result.output;
      EXPECT_THAT(result.output, HasSubstr(": nothing --repair undoes; the doctor changed nothing")) << result.output;
      EXPECT_EQ(DbDirectory(live), before);
      EXPECT_TRUE(ServerServiceRuns());
    }
  }
}

// The shadow the last check recorded comes back with the database: its
// copy from before the update over the shadow the work had changed.
TEST_F(DoctorTool, TheRepairPutsTheShadowBackWithTheDatabase) {
  const std::string shadow = dir_ + "base.shd";
  fb::testing::ExecuteStatements(db_, {"create shadow 1 '" + shadow + "'"});
  EXPECT_TRUE(InOrder(Run({"/Request"}), {"Файл тени " + cp1251::ToUtf8(shadow), "Проверка БД - OK"}));
  ProgramResult result = Doctor();
  EXPECT_THAT(result.output, HasSubstr("ok       shadow file " + cp1251::ToUtf8(shadow) + "\n")) << result.output;

  ChangeState(path_, true);
  SystemHost().MoveFile(path_, path_ + ".lst", false);
  SystemHost().CopyFile(shadow, shadow + ".lst");
  SystemHost().CopyFile(path_ + ".lst", path_ + ".new");
  const std::int64_t shadow_size = SystemHost().GetFileSize64(shadow + ".lst");
  WriteFile(shadow, "the shadow of the changed copy");

  result = Doctor();
  EXPECT_THAT(result.output, HasSubstr("  shadow      " + cp1251::ToUtf8(shadow) + "  30 bytes")) << result.output;
  EXPECT_THAT(result.output, HasSubstr("  shadow .lst " + cp1251::ToUtf8(shadow) + ".lst  "));
  result = Doctor({"--repair"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("| Файл " + cp1251::ToUtf8(shadow) + ".lst переименован в " +
                                       cp1251::ToUtf8(shadow) + "."));
  // The server writes the shadow again as soon as the database is online.
  EXPECT_EQ(SystemHost().GetFileSize64(shadow), shadow_size);
  EXPECT_FALSE(Exists(shadow + ".lst"));
  EXPECT_EQ(Data(), "1 v700");
  EXPECT_TRUE(InOrder(Run({"/Request"}), {"Файл тени " + cp1251::ToUtf8(shadow), "Проверка БД - OK"}))
      << inst_.LogUtf8();
}

// The services as the run chooses and uses them, read and left as found.
TEST_F(DoctorTool, TheServicesAsTheRunSeesThem) {
  services_.Install("OrvPromos");
  services_.Install("OrvPromGuard");
  services_.Host().ServiceControl("OrvPromGuard", true);
  services_.Install("TarnelService", "/opt/tarnel/Tarnel.exe");
  ProgramResult result = Doctor();
  EXPECT_EQ(result.exit_code, 1) << result.output;
  for (const std::string& line : std::vector<std::string>{
           "ok       database server FirebirdServerPelkora (/bin/sleep): running",
        "PROBLEM  promotion service OrvPromos (/bin/sleep): stopped; every run stops it and starts it again",
        "ok       promotion service OrvPromGuard (/bin/sleep): running",
        "PROBLEM  launcher service TarnelService (/opt/tarnel/Tarnel.exe): its program is not TarnelSrv.exe"}) {
    EXPECT_THAT(result.output, HasSubstr(line)) << result.output;
  }
  EXPECT_THAT(result.output, HasSubstr("OrvPromos start\n")) << result.output;  // the command that starts it
  EXPECT_EQ(services_.DaemonPid("OrvPromos"), 0u);
  EXPECT_NE(services_.DaemonPid("OrvPromGuard"), 0u);

  // The server's service by the run's rules: the legacy server by its
  // database name, the Classic one by the configuration up to 1520.
  struct Case {
    std::string db, extra, expected;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1/3051:/srv/db/base.GDB", "",
       "PROBLEM  database server YaffilSQLServer(SS): not installed; the run stops and starts the server by this name"},
      {cp1251::ToUtf8(db_), "Classic=1\r\n", "ok       database server FirebirdServerClassic (/bin/sleep): running"},
  };
  for (const Case& c : cases) {
    inst_.WriteIni(inst_.StandardIni(c.db, c.extra));
    EXPECT_THAT(Doctor().output, HasSubstr(c.expected));
  }
  SystemHost().WriteFileText(inst_.work_dir() + "Distrib" + host::kPathDelim + "001521.ver", "");
  EXPECT_THAT(Doctor().output, HasSubstr("ok       database server FirebirdServerPelkora"));
}

}  // namespace
}  // namespace korvel::testing
