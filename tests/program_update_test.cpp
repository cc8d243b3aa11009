// The full run applying an update package end to end, on the utility's
// test build: the package made and signed by korvel-tool lands in the
// inbox, the run deploys module 2 into a server directory while the
// database server's service (one of the test's own) is stopped, replaces
// its own executable, runs the numbered scripts on a copy of the database
// (on the Firebird test server), moves the payload into the distribution
// and reports to the office. A failure on the way leaves the package for
// the next run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "fb/database.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "sample_database.h"
#include "test_build_run.h"

namespace korvel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using V = std::vector<std::string>;

constexpr const char* kPackage = "001521.upd";
// The utility's file name, as a package brings it in Utils\AutoUpdate.
const std::string kExe = host::kWindows ? "Korvel.exe" : "Korvel";

class ProgramUpdate : public TestBuildRun {
 protected:
  void SetUp() override {
    TestBuildRun::SetUp();
    if (IsSkipped() || HasFailure()) return;
    UseSampleDatabase(12, 5, 700);
    MakeOfficeKey();
    server_ = inst_.root() / "Server\\";
    // The payload of version 1521: the database server's module 2, two
    // numbered scripts and nothing else until a test adds to it.
    Payload("distrib.xml", "<DISTRIB><MODULES><MODULE ID=\"2\" Root=\"" + inst_.root() / "Server" +
                               "\"><FILES><DIR Source=\"bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"fbserver\"/></DIR>"
                               "</FILES></MODULE></MODULES></DISTRIB>\r\n");
    Payload("bin/fbserver", "server 1521");
    Payload("Scripts/Numbers/701.sql", "create table U (B integer);\r\ncommit;\r\ninsert into U values (2);\r\ncommit;\r\n");
    Payload("Scripts/Numbers/702.sql", "update ORGANIZATION set SYSVERNO = 702;\r\ncommit;\r\n");
  }

  void Payload(const std::string& relative, const std::string& content) {
    WriteFile(inst_.root() / ("payload/" + relative), content);
  }
  // With `server_update` the manifest lists module 2, so that the run
  // updates the database server.
  void Pack(const std::string& name = kPackage, const std::string& key = "office.pem", const std::string& node = "5",
            bool server_update = true) {
    std::vector<std::string> args = {"pack", "--key", inst_.root() / key, "--type", "41", "--pred", "12", "--to", node,
                                     "--old", "1520", "--new", "1521"};
    if (server_update) args.insert(args.end(), {"--module", "2"});
    args.insert(args.end(), {inst_.root() / "payload", inst_.in_dir() + name});
    const ProgramResult result = RunProgram(ToolProgram(), args);
    ASSERT_EQ(result.exit_code, 0) << result.output << result.error;
  }

  std::string Value(const std::string& sql) { return fb::testing::SelectValue(db_, sql); }
  // Runs `statements` on the pharmacy database, committed together.
  void Execute(const std::vector<std::string>& statements) {
    fb::Database db(*fb::testing::TestClient());
    fb::testing::SetProgramParams(db);
    db.DatabaseName = db_;
    db.Open();
    fb::Transaction tr(db);
    tr.StartTransaction();
    for (const std::string& sql : statements) db.ExecuteImmediate(tr, sql);
    tr.Commit();
    db.Close();
  }
  V Files(const std::string& dir, const std::string& mask = "*") {
    V names;
    SystemHost().ListFiles(dir, mask, names);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Distrib(const std::string& relative = "") {
    return host::JoinPath(inst_.work_dir() + "Distrib" + host::kPathDelim, relative);
  }
  std::string Packet() { return ReadFile(inst_.out_dir() + "0012005.UPR"); }

  // What a failed update leaves: the distribution at 1520 without the
  // payload, the package in the inbox, the failure reported, the database
  // server's service running.
  void ExpectNothingApplied() {
    EXPECT_EQ(Files(Distrib(), "*.ver"), V{"001520.ver"});
    EXPECT_FALSE(Exists(Distrib("distrib.xml")));
    EXPECT_EQ(Files(inst_.in_dir()), V{kPackage});
    EXPECT_THAT(Packet(), HasSubstr("OLDVERNO=\"1520\" VERNO=\"1520\""));
    EXPECT_THAT(Packet(), HasSubstr("<STATUS>ERROR</STATUS>"));
    EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Завершение - OK")));
    EXPECT_TRUE(ServerServiceRuns());
  }

  std::string server_;
};

TEST_F(ProgramUpdate, AValidPackageIsAppliedAndReported) {
  // The package brings a new build of the utility: the real one, which
  // differs from the test build that runs.
  const std::string running = ReadFile(inst_.exe_path());
  const std::string fresh = ReadFile(cp1251::FromUtf8(KORVEL_EXE));
  ASSERT_NE(running, fresh);
  WriteFile(inst_.root() / ("payload/Utils/AutoUpdate/" + kExe), fresh);
  Pack();

  const V log = Run();
  const std::string L = cp1251::ToUtf8(path_);
  EXPECT_TRUE(InOrder(
      log, {"Инициализация - OK", "Найден правильный пакет обновления 001521.upd",
            "Обновление Utils\\AutoUpdate\\" + kExe + " ...",
            // The new build proved itself in its place before the old one was given up.
            "Новый исполняемый файл запускается: \"" + cp1251::ToUtf8(inst_.exe_path()) + "\" /VERSION -> " KORVEL_VERSION,
            "Обновление Utils\\AutoUpdate\\" + kExe + " - OK",
            "Обновление сервера БД ...", "Останов службы FirebirdServerPelkora ...", "Останов службы - OK",
            "Обновление модуля 2 ...", "Обновление модуля 2 - OK", "Запуск службы FirebirdServerPelkora ...",
            "Запуск службы - OK", "Обновление сервера БД - OK", "Поиск номерных скриптов ...", "Номерных скриптов 2",
            "БД в даун ...", "Файл " + L + " переименован в " + L + ".lst.", "Скрипт 701.sql - OK",
            "Скрипт 702.sql - OK", "Проверка метаданных - OK", "Файл " + L + ".new переименован в " + L + ".",
            "Обновление рабочего каталога ...", "Обновление рабочего каталога - OK",
            "Создания пакета запроса на обновление ...", "Создания пакета запроса на обновление - OK",
            "Завершение - OK"}))
      << inst_.LogUtf8();
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Ошибка")));

  // Module 2 deployed; the server's service runs again.
  EXPECT_EQ(ReadFile(server_ + host::NativeSeparators("bin\\fbserver")), "server 1521");
  EXPECT_TRUE(ServerServiceRuns());
  // The scripts changed the database; the copy from before stays as ".lst".
  EXPECT_EQ(Value("select SYSVERNO from ORGANIZATION"), "702");
  EXPECT_EQ(Value("select list(B) from U"), "2");
  EXPECT_TRUE(Exists(path_ + ".lst"));
  for (const std::string& gone : {path_ + ".new", path_ + ".tmp"}) EXPECT_FALSE(Exists(gone)) << gone;
  // The payload is the new distribution, with exactly one marker.
  EXPECT_EQ(Files(Distrib(), "*.ver"), V{"001521.ver"});
  for (const std::string& file :
       V{"distrib.xml", "bin\\fbserver", "Scripts\\Numbers\\702.sql", "Utils\\AutoUpdate\\" + kExe})
    EXPECT_TRUE(Exists(Distrib(file))) << file;
  EXPECT_EQ(Files(inst_.work_dir() + "TMP", "*"), V{});
  // The new executable takes the running one's place, which is kept.
  EXPECT_EQ(ReadFile(inst_.exe_path()), fresh);
  EXPECT_EQ(ReadFile(inst_.exe_dir() + "Korvel.old"), running);
  // It runs at the next start as the old one did, although the office
  // packed it without an execute bit (POSIX: Windows has none).
  EXPECT_EQ(SystemHost().GetAttributes(inst_.exe_path())->executable, !host::kWindows);
  EXPECT_EQ(Files(inst_.in_dir()), V{});
  EXPECT_THAT(Packet(), HasSubstr("OLDVERNO=\"1520\" VERNO=\"1521\" DBVERNO=\"702\""));
  EXPECT_THAT(Packet(), HasSubstr("<STATUS>OK</STATUS>"));
}

// The listing decides which packages are examined: those before the valid
// one, which is taken; every other one is deleted, read or not.
TEST_F(ProgramUpdate, TheFirstValidPackageIsAppliedAndTheRestCleared) {
  ASSERT_EQ(RunProgram(ToolProgram(), {"keygen", inst_.root() / "other.pem", inst_.root() / "other.pub"}).exit_code, 0);
  Pack("good.upd");
  Pack("foreign.upd", "other.pem");
  Pack("elsewhere.upd", "office.pem", "6");
  WriteFile(inst_.in_dir() + "private.upp", "not looked at by the package search");
  V order;
  SystemHost().ListFiles(inst_.in_dir(), "*.upd", order);

  Run();
  const std::string log = inst_.LogUtf8();
  EXPECT_THAT(log, HasSubstr("\tНайдено файлов обновления 3\r\n"));
  for (const std::string& name : order) {
    EXPECT_THAT(log, HasSubstr("\tПроверка файла " + name + "\r\n"));
    if (name == "good.upd") break;
    const std::string why = name == "foreign.upd" ? "Подпись не прошла проверку!"
                                                  : "Пакет предназначен для другой аптеки NODE_ID=6";
    EXPECT_THAT(log, HasSubstr("\tОшибка обработки файла " + name + ": " + why + "\r\n"));
  }
  EXPECT_THAT(log, HasSubstr("\tНайден правильный пакет обновления good.upd\r\n"));
  EXPECT_THAT(log, HasSubstr("\tЗавершение - OK\r\n"));
  EXPECT_EQ(Files(inst_.in_dir(), "*.upd"), V{});
  EXPECT_TRUE(Exists(inst_.in_dir() + "private.upp"));
  EXPECT_EQ(Files(Distrib(), "*.ver"), V{"001521.ver"});
}

TEST_F(ProgramUpdate, AFailedServerUpdateKeepsThePackageUntilItsCauseIsGone) {
  // A directory where module 2's file is to go: the copy fails.
  SystemHost().ForceDirectoriesOrFail(server_ + host::NativeSeparators("bin\\fbserver\\"));
  Pack();
  const V log = Run();
  EXPECT_TRUE(InOrder(log, {"Обновление сервера БД ...", "Останов службы FirebirdServerPelkora ...",
                            "Обновление модуля 2 ...", "Запуск службы FirebirdServerPelkora ...", "Запуск службы - OK",
                            "Ошибка Exception:"}))
      << inst_.LogUtf8();
  const std::string error = inst_.LogUtf8().substr(inst_.LogUtf8().find("Ошибка Exception:"));
  EXPECT_THAT(error, HasSubstr("Ошибка обновления модуля 2:\r\n"));
  EXPECT_THAT(error, HasSubstr("Стек обработки:"));
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Обновление сервера БД - OK")));
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Поиск номерных скриптов")));
  EXPECT_EQ(Value("select SYSVERNO from ORGANIZATION"), "700");
  ExpectNothingApplied();

  // Once the obstacle is gone, the next run applies the same package.
  SystemHost().DeleteDirectoryTree(server_ + host::NativeSeparators("bin\\fbserver"), false);
  const V again = Run();
  EXPECT_TRUE(InOrder(again, {"Обновление сервера БД - OK", "Номерных скриптов 2", "Завершение - OK"}))
      << inst_.LogUtf8();
  EXPECT_EQ(ReadFile(server_ + host::NativeSeparators("bin\\fbserver")), "server 1521");
  EXPECT_EQ(Files(Distrib(), "*.ver"), V{"001521.ver"});
  EXPECT_EQ(Files(inst_.in_dir()), V{});
  EXPECT_THAT(Packet(), HasSubstr("VERNO=\"1521\" DBVERNO=\"702\""));
}

// A truncated build of the utility is refused before the running one is
// touched, and the office sees the failure in the packet.
TEST_F(ProgramUpdate, ABrokenExecutableInThePackageLeavesTheRunningOneInPlace) {
  const std::string running = ReadFile(inst_.exe_path());
  const std::string fresh = ReadFile(cp1251::FromUtf8(KORVEL_EXE));
  WriteFile(inst_.root() / ("payload/Utils/AutoUpdate/" + kExe), fresh.substr(0, fresh.size() / 2));
  Pack();
  const V log = Run();
  EXPECT_TRUE(InOrder(log, {"Обновление Utils\\AutoUpdate\\" + kExe + " ...", "Ошибка Exception:",
                            "Файл Utils\\AutoUpdate\\" + kExe + " пакета не принят: файл обрезан"}))
      << inst_.LogUtf8();
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Обновление сервера БД")));
  EXPECT_EQ(ReadFile(inst_.exe_path()), running);
  EXPECT_FALSE(Exists(inst_.exe_dir() + "Korvel.old"));
  ExpectNothingApplied();
}

TEST_F(ProgramUpdate, ADescriptorWithoutModule2FailsTheServerUpdate) {
  Payload("distrib.xml", "<DISTRIB><MODULES><MODULE ID=\"5\"/></MODULES></DISTRIB>\r\n");
  Pack();
  Run();
  const std::string log = inst_.LogUtf8();
  EXPECT_THAT(log, HasSubstr("Ошибка обновления модуля 2:\r\n"));
  EXPECT_THAT(log, HasSubstr("Запуск службы - OK"));
  ExpectNothingApplied();
}

TEST_F(ProgramUpdate, AFailingNumberedScriptLeavesTheDatabaseAndTheDistributionAsBefore) {
  Payload("Scripts/Numbers/702.sql", "update ORGANIZATION set SYSVERNO = 702;\r\ncommit;\r\nvacuum;\r\n");
  Pack();
  const V log = Run();
  EXPECT_TRUE(InOrder(log, {"Скрипт 701.sql - OK", "Скрипт 702.sql ...", "Ошибка:",
                            "Ошибка разбора скрипта: vacuum Invalid statement", "Файлы БД восстановлены.",
                            "Ошибка Exception:"}))
      << inst_.LogUtf8();
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Обновление рабочего каталога")));
  EXPECT_EQ(Value("select SYSVERNO from ORGANIZATION"), "700");
  EXPECT_EQ(Value("select count(*) from RDB$RELATIONS where RDB$RELATION_NAME = 'U'"), "0");
  ExpectNothingApplied();
  EXPECT_THAT(Packet(), HasSubstr("DBVERNO=\"700\""));
}

// With /debug and an empty inbox the update steps run on what lies in TMP,
// as if version 1521 had arrived; no package is deleted.
TEST_F(ProgramUpdate, DebugRunsTheUpdateStepsOnWhatLiesInTmp) {
  const std::string tmp = inst_.work_dir() + "TMP" + host::kPathDelim;
  SystemHost().ForceDirectoriesOrFail(tmp);
  for (const char* file : {"distrib.xml", "bin\\fbserver", "Scripts\\Numbers\\701.sql"}) {
    WriteFile(host::JoinPath(tmp, file), ReadFile(host::JoinPath(inst_.root() / "payload\\", file)));
  }
  WriteFile(inst_.in_dir() + "other.upp", "not an update package");
  const V log = Run({"/debug"});
  EXPECT_TRUE(InOrder(log, {"Обновление сервера БД - OK", "Номерных скриптов 1", "Обновление рабочего каталога - OK",
                            "Завершение - OK"}))
      << inst_.LogUtf8();
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Найдено файлов обновления")));
  EXPECT_EQ(Files(Distrib(), "*.ver"), V{"001521.ver"});
  EXPECT_EQ(Files(inst_.in_dir(), "*.upd"), V{});
  EXPECT_TRUE(Exists(inst_.in_dir() + "other.upp"));
  EXPECT_THAT(Packet(), HasSubstr("OLDVERNO=\"1520\" VERNO=\"1521\" DBVERNO=\"700\""));
}

// Everything a full run handles at once: the update package, a private
// update that brings a private script, and a pending pricing procedure.
// The steps come in their fixed order and the office gets one packet.
TEST_F(ProgramUpdate, AFullRunWithEverythingPresentTakesTheStepsInTheirOrder) {
  WriteFile(inst_.root() / ("payload/Utils/AutoUpdate/" + kExe), ReadFile(cp1251::FromUtf8(KORVEL_EXE)));
  Pack();
  const std::string id = "{0B7D3C7E-6A1F-4A7B-9C55-1D2E3F405060}";
  WriteFile(inst_.root() / "private/Scripts/_all/x.sql",
            "/* PrivateScript " + id + " */\r\ninsert into T values (42);\r\ninsert into SCRIPT_LOG (SCRIPT_ID) values ('" +
                id + "');\r\ncommit;\r\n");
  const ProgramResult packed =
      RunProgram(ToolProgram(), {"pack", "--key", inst_.root() / "office.pem", "--type", "42", "--pred", "12", "--to",
                                 "5", inst_.root() / "private", inst_.in_dir() + "scripts.upp"});
  ASSERT_EQ(packed.exit_code, 0) << packed.output << packed.error;
  Execute({"insert into PRICING_PROCS (ID, STATUS, SCRIPT) values (1, 0, 'create procedure PRICE_OF (A integer) "
           "returns (P integer) as begin P = A * 2; suspend; end^')"});

  const V log = Run();
  EXPECT_TRUE(InOrder(
      log, {"Инициализация - OK", "Найден правильный пакет обновления 001521.upd",
            "Обновление Utils\\AutoUpdate\\" + kExe + " - OK", "Обновление сервера БД - OK", "Номерных скриптов 2",
            "Прокрутка скриптов - OK", "Обновление рабочего каталога - OK", "Поиск частных обновлений ...",
            "Найдено файлов частных обновлений 1", "Файл scripts.upp успешно обработан", "Поиск новых частных скриптов ...",
            "Найдено новых частных скриптов 1", "Скрипт x.sql - OK", "Прокрутка скриптов - OK",
            "Создания пакета запроса на обновление ...", "Создания пакета запроса на обновление - OK",
            "Проверка необходимости компиляции процедуры расценки", "Обновили процедуру", "Завершение - OK"}))
      << inst_.LogUtf8();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Создания пакета запроса на обновление ..."), 1);
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Ошибка")));
  EXPECT_EQ(Files(inst_.in_dir()), V{});
  EXPECT_TRUE(Exists(host::JoinPath(inst_.work_dir() + "Apteka" + host::kPathDelim, "Scripts\\_all\\x.sql")));
  EXPECT_EQ(Value("select list(A) from (select A from T order by A)"), "1,42");
  EXPECT_EQ(Value("select STATUS from PRICING_PROCS"), "1");
  EXPECT_THAT(Packet(), HasSubstr("OLDVERNO=\"1520\" VERNO=\"1521\" DBVERNO=\"702\""));
  EXPECT_THAT(Packet(), HasSubstr("<STATUS>OK</STATUS>"));
  EXPECT_TRUE(ServerServiceRuns());
}

// What korvel-tool check-package says of a package is what the run then
// does with it.
TEST_F(ProgramUpdate, TheVerdictOfCheckPackageAgreesWithTheRun) {
  const auto check = [this] {
    ProgramResult result = RunProgram(ToolProgram(), {"check-package", inst_.exe_dir() + "Korvel.pub",
                                                      inst_.in_dir() + kPackage, "--pred", "12", "--to", "5",
                                                      "--version", "1520", "--schema", "700"});
    result.output = ConsoleUtf8(result.output);
    return result;
  };
  // A script the run would refuse: the tool names it and the message.
  Payload("Scripts/Numbers/702.sql", "update ORGANIZATION set SYSVERNO = 702;\r\ncommit;\r\nvacuum;\r\n");
  Pack();
  ProgramResult verdict = check();
  EXPECT_EQ(verdict.exit_code, 1) << verdict.output;
  EXPECT_THAT(verdict.output, HasSubstr("verdict: the package would fail at the numbered scripts (702.sql): "
                                        "Ошибка разбора скрипта: vacuum Invalid statement"));
  Run();
  EXPECT_THAT(inst_.LogUtf8(), HasSubstr("Ошибка Exception:\r\nОшибка разбора скрипта: vacuum Invalid statement"));
  EXPECT_EQ(Files(inst_.in_dir()), V{kPackage});

  // The mended package passes the tool and the run applies it.
  Payload("Scripts/Numbers/702.sql", "update ORGANIZATION set SYSVERNO = 702;\r\ncommit;\r\n");
  Pack();
  verdict = check();
  EXPECT_EQ(verdict.exit_code, 0) << verdict.output;
  EXPECT_THAT(verdict.output, HasSubstr("verdict: the package would be applied"));
  Run();
  EXPECT_THAT(inst_.LogUtf8(), HasSubstr("Завершение - OK"));
  EXPECT_EQ(Files(inst_.in_dir()), V{});
  EXPECT_EQ(Value("select SYSVERNO from ORGANIZATION"), "702");
}

// A package that brings the converter moves a Classic installation whose
// database is older than Firebird 3 to the product's own Firebird 3
// service: the converter (a stand-in that prints its arguments) runs in its
// directory after the server update's place, and the numbered scripts
// already stop and start FirebirdServerPelkora.
TEST_F(ProgramUpdate, TheConverterInAPackageMovesAClassicInstallationToFirebird3) {
  inst_.WriteIni(inst_.StandardIni(cp1251::ToUtf8(db_), "Classic=1\r\n"));
  const std::string converter = inst_.root() / "payload/Utils/AutoUpdate/FB3_migrate/FBConvert.exe";
  WriteFile(converter, ReadFile(cp1251::FromUtf8(KORVEL_FAKE_CONVERTER)));
  // The office packs a program; the package keeps it one.
  SystemHost().MarkExecutable(converter);
  Pack(kPackage, "office.pem", "5", false);
  const V log = Run();
  const std::string dir = cp1251::ToUtf8(host::NativeSeparators(inst_.work_dir() + "TMP/Utils/AutoUpdate/FB3_migrate/"));
  V expected = {"Проверка БД " + cp1251::ToUtf8(db_) + "...", "Инициализация - OK",
                "Найден правильный пакет обновления 001521.upd", "Переход на Firebird 3...", "Конвертирование БД ...",
                "arg1=/BR", "arg2=" + cp1251::ToUtf8(db_)};
  // The directory's trailing backslash before the closing quote: the
  // stand-in's Windows runtime reads it as an escaped quote (the command
  // line itself is checked in korvel_run_fb3_tests).
  const V directory_and_flag =
      host::kWindows ? V{"arg3=" + dir.substr(0, dir.size() - 1) + "\" 1"} : V{"arg3=" + dir, "arg4=1"};
  expected.insert(expected.end(), directory_and_flag.begin(), directory_and_flag.end());
  expected.insert(expected.end(), {"cwd=" + dir.substr(0, dir.size() - 1), "Поиск номерных скриптов ...",
                                   "Останов службы FirebirdServerPelkora ...", "Скрипт 702.sql - OK", "Завершение - OK"});
  EXPECT_TRUE(InOrder(log, expected)) << inst_.LogUtf8();
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Обновление сервера БД")));
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Останов службы FirebirdServerClassic")));
  EXPECT_EQ(Value("select SYSVERNO from ORGANIZATION"), "702");

  // A database in the Firebird 3 format (schema 800 and above) is left as
  // it is, converter or not.
  Execute({"update ORGANIZATION set SYSVERNO = 800"});
  SystemHost().DeleteFile(inst_.work_dir() + "Distrib" + host::kPathDelim + "001521.ver");
  WriteFile(inst_.work_dir() + "Distrib" + host::kPathDelim + "001520.ver", "");
  Pack(kPackage, "office.pem", "5", false);
  Run();
  EXPECT_THAT(inst_.LogUtf8(), HasSubstr("Найден правильный пакет обновления 001521.upd"));
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Переход на Firebird 3")));
  EXPECT_THAT(inst_.LogUtf8(), HasSubstr("Завершение - OK"));
}

// The pricing procedure waiting in the database is applied at the end of
// a full run, with the server's service restarted around it; a broken one
// is only logged, and the run still ends well.
TEST_F(ProgramUpdate, APendingPricingProcedureIsAppliedAtTheEndOfTheRun) {
  Execute({"insert into PRICING_PROCS (ID, STATUS, SCRIPT) values (1, 0, 'create procedure PRICE_OF (A integer) "
           "returns (P integer) as begin P = A * 2; suspend; end^')",
           "insert into PRICING_PROCS (ID, STATUS, SCRIPT) values (2, 0, 'this is no procedure^')"});

  // The newest row (2) is broken: logged, STATUS stays 0, the run ends well.
  V log = Run();
  EXPECT_TRUE(InOrder(log, {"Создания пакета запроса на обновление - OK",
                            "Проверка необходимости компиляции процедуры расценки", "Получим текст процедуры",
                            "остановим сервис ФБ", "Останов службы FirebirdServerPelkora ...", "запустим сервис ФБ",
                            "Запуск службы FirebirdServerPelkora ...", "Соединимся с БД", "выполним скрипт",
                            "Сбой при обработке процедуры", "остановим сервис ФБ", "запустим сервис ФБ",
                            "Завершение - OK"}))
      << inst_.LogUtf8();
  EXPECT_EQ(Value("select STATUS from PRICING_PROCS where ID = 2"), "0");
  EXPECT_THAT(Packet(), HasSubstr("<STATUS>OK</STATUS>"));
  EXPECT_TRUE(ServerServiceRuns());

  // Mended by a newer row: applied, marked, and not applied again.
  Execute({"insert into PRICING_PROCS (ID, STATUS, SCRIPT) values (3, 0, 'create procedure PRICE_OF (A integer) "
           "returns (P integer) as begin P = A * 3; suspend; end^')"});
  log = Run();
  EXPECT_TRUE(InOrder(log, {"выполним скрипт", "Обновили процедуру", "остановим сервис ФБ", "запустим сервис ФБ",
                            "Завершение - OK"}))
      << inst_.LogUtf8();
  EXPECT_EQ(Value("select STATUS from PRICING_PROCS where ID = 3"), "1");
  EXPECT_EQ(Value("select P from PRICE_OF(5)"), "15");
  log = Run();
  EXPECT_TRUE(InOrder(log, {"Проверка необходимости компиляции процедуры расценки", "Завершение - OK"}));
  EXPECT_THAT(inst_.LogUtf8(), Not(HasSubstr("Получим текст процедуры")));
}

}  // namespace
}  // namespace korvel::testing
