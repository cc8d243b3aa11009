// The built utility in temporary installations: start-up lines, the
// configuration's messages, the single-instance rule and the run log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "host/cp1251.h"
#include "host/text.h"
#include "installation.h"
#include "sample_database.h"
#include "modules/dir_helpers.h"

namespace korvel::testing {
namespace {

using ::testing::HasSubstr;

std::string Version() { return KORVEL_VERSION; }

TEST(ProgramStart, NoIniFileStopsAfterTheStartupLines) {
  Installation inst;
  const ProgramResult result = inst.Run();
  EXPECT_EQ(result.exit_code, 0);
  const std::vector<std::string> lines = inst.LogMessages();
  ASSERT_EQ(lines.size(), 7u) << inst.LogUtf8();
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], FormatDateTime("dd.mm.yyyy", SystemHost().Now()));
  EXPECT_EQ(lines[2], "Утилита " + host::ExtractFileName(inst.exe_path()) + " " + Version());
  EXPECT_THAT(lines[3], HasSubstr("Команда запуска: "));
  EXPECT_THAT(lines[3], HasSubstr(host::ExtractFileName(inst.exe_path())));
  EXPECT_EQ(lines[4], "Инициализация ...");
  EXPECT_EQ(lines[5], "Ошибка Exception:");
  EXPECT_EQ(lines[6], "Не найден файл Korvel.ini");
  EXPECT_EQ(ReadFile(inst.LogFile()).substr(ReadFile(inst.LogFile()).size() - 2), "\r\n");
  // Nothing else was written: the executable and its log directory only.
  std::vector<std::string> entries;
  SystemHost().ListFiles(inst.exe_dir(), "*", entries);
  SystemHost().ListSubdirectories(inst.exe_dir(), entries);
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{host::ExtractFileName(inst.exe_path()),
                                               host::ExtractFileNameWithoutExt(inst.exe_path()) + "Log"}));
  EXPECT_FALSE(SystemHost().DirectoryExists(inst.root() / "Work"));
}

TEST(ProgramStart, LogLinesHaveTimeTabAndCrLf) {
  Installation inst;
  inst.Run();
  const std::string raw = ReadFile(inst.LogFile());
  EXPECT_EQ(raw.substr(0, 2), "\r\n");  // the empty separator line
  const std::string second = raw.substr(2, raw.find("\r\n", 2) - 2);
  ASSERT_EQ(second.size(), 9u + 10u);
  EXPECT_EQ(second[2], ':');
  EXPECT_EQ(second[5], ':');
  EXPECT_EQ(second[8], '\t');
  // Windows-1251 bytes, no byte-order mark.
  EXPECT_NE(raw.find("\xC8\xED\xE8\xF6\xE8\xE0\xEB\xE8\xE7\xE0\xF6\xE8\xFF ..."), std::string::npos);
}

TEST(ProgramStart, RenamedExecutableLogsIntoItsOwnDirectory) {
  // Windows runs only what has the extension of a program.
  const std::string name = host::kWindows ? "Other.exe" : "Other";
  Installation inst(name);
  inst.Run();
  EXPECT_TRUE(SystemHost().DirectoryExists(inst.exe_dir() + "OtherLog"));
  EXPECT_THAT(inst.LogUtf8(), HasSubstr("Утилита " + name + " " + Version()));
}

TEST(ProgramStart, OldLogFilesAreRemovedAndRunsAppend) {
  Installation inst;
  host::Host& host = SystemHost();
  const std::string dir = inst.LogDir();
  host.ForceDirectoriesOrFail(dir);
  WriteFile(dir + "200001.log", "old");
  WriteFile(dir + "notes.txt", "recent");
  host.SetFileWriteTime(dir + "200001.log", DateOf(host.Now()) - 91);
  inst.Run();
  inst.Run();
  EXPECT_FALSE(host.FileExists(dir + "200001.log"));
  EXPECT_TRUE(host.FileExists(dir + "notes.txt"));
  const std::vector<std::string> lines = inst.LogMessages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Инициализация ..."), 2);
}

TEST(ProgramStart, UnwritableLogDirectoryStillEndsCleanly) {
  Installation inst;
  // A file where the log directory should be: the log cannot be written,
  // the run reports to the system log and still exits with 0.
  WriteFile(inst.exe_dir() + "KorvelLog", "in the way");
  const ProgramResult result = inst.Run();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(ReadFile(inst.exe_dir() + "KorvelLog"), "in the way");
}

TEST(ProgramStart, SecondInstanceTouchesNothing) {
  Installation inst;
  inst.MakeDirectories();
  inst.WriteIni(inst.StandardIni());
  host::NamedMutex held = SystemHost().CreateNamedMutex("KorvelStarted");
  ASSERT_TRUE(held.handle);
  ASSERT_FALSE(held.already_existed);
  EXPECT_EQ(inst.Run().exit_code, 0);
  const std::vector<std::string> lines = inst.LogMessages();
  ASSERT_EQ(lines.size(), 6u) << inst.LogUtf8();
  EXPECT_EQ(lines[4], "Ошибка Exception:");
  EXPECT_EQ(lines[5], "Мьютекс KorvelStarted занят другим процессом");
  EXPECT_FALSE(SystemHost().DirectoryExists(inst.work_dir() + "TMP"));
  held.handle.reset();
  inst.Run();
  EXPECT_TRUE(SystemHost().DirectoryExists(inst.work_dir() + "TMP"));
}

TEST(ProgramStart, OutputSwitchEchoesEveryLine) {
  Installation inst;
  const std::string output = ConsoleUtf8(inst.Run({"/OUTPUT"}).output);
  EXPECT_THAT(output, HasSubstr("Инициализация ..."));
  EXPECT_THAT(output, HasSubstr("Не найден файл Korvel.ini"));
  EXPECT_THAT(output, HasSubstr("\tУтилита"));
  EXPECT_TRUE(inst.Run({"/output"}).output.size() > 0);
  EXPECT_EQ(inst.Run({"/OUTPUT=1"}).output, "");
}

TEST(ProgramStart, ConfigurationMessages) {
  struct Case {
    std::string ini;
    std::vector<std::string> args;
    std::string message;
  };
  Installation inst;
  inst.MakeDirectories();
  const std::string work = cp1251::ToUtf8(inst.work_dir());
  const std::string in = cp1251::ToUtf8(inst.in_dir());
  const std::string out = cp1251::ToUtf8(inst.out_dir());
  const std::string kDefaultDistrib = host::kWindows ? "C:\\OrvDistrib\\Distrib\\" : "/srv/OrvDistrib/Distrib/";
  const std::vector<Case> cases = {
      {"[Path]\r\nDB=x\r\n", {"/INI", "other.ini"}, "Не найден файл other.ini"},
      // The default name may leave WorkDir out.
      {"[Path]\r\nDB=x\r\n", {"/INI", "Korvel.ini"}, "Каталог " + kDefaultDistrib + " не найден"},
      {"[Path]\r\nWorkDir=" + work + "\r\n", {}, "Не найден параметр DB в файле Korvel.ini"},
      {"[Path]\r\nWorkDir=" + work + "\r\nDB=x\r\n", {}, "Не найден параметр InDir в файле Korvel.ini"},
      {"[Path]\r\nWorkDir=" + work + "\r\nDB=x\r\nInDir=" + in + "\r\n", {}, "Не найден параметр OutDir в файле Korvel.ini"},
      {"[Path]\r\nWorkDir=" + work + "\r\nDB=x\r\nInDir=" + in + "\r\nOutDir=" + out + "\r\n", {},
       "Не найден параметр Modules в файле Korvel.ini"},
      {"[Path]\r\nWorkDir=" + work + "\r\nDB=x\r\nInDir=" + in + "\r\nOutDir=" + out + "\r\nModules= ;\r\n", {}, ""},
      {"[Other]\r\nWorkDir=" + work + "\r\n", {}, "Каталог " + kDefaultDistrib + " не найден"},
      {"[Path]\r\nWorkDir=" + work + "Missing\r\n", {},
       "Каталог " + work + "Missing" + std::string(1, host::kPathDelim) + "Distrib" +
           std::string(1, host::kPathDelim) + " не найден"},
      {"[Path]\r\nWorkDir=" + work + "\r\nDB=x\r\nInDir=" + work + "NoInbox\r\n", {},
       "Каталог " + work + "NoInbox" + std::string(1, host::kPathDelim) + " не найден"},
  };
  for (const Case& c : cases) {
    SystemHost().DeleteDirectoryTree(inst.LogDir(), false);
    inst.WriteIni(c.ini);
    inst.Run(c.args);
    const std::vector<std::string> after = AfterStartup(inst.LogMessages());
    if (c.message.empty()) {
      // The configuration is complete: the run goes on to the database
      // check, which refuses a name without a server.
      ASSERT_GE(after.size(), 4u) << inst.LogUtf8();
      EXPECT_EQ(after[0], "БД x");
      EXPECT_EQ(after[2], "Ошибка Exception:") << inst.LogUtf8();
      EXPECT_EQ(after[3], "В имени БД x не указан сервер") << inst.LogUtf8();
      continue;
    }
    ASSERT_GE(after.size(), 2u) << inst.LogUtf8();
    EXPECT_EQ(after[0], "Ошибка Exception:") << c.ini;
    EXPECT_EQ(after[1], c.message) << c.ini;
  }
}

TEST(ProgramStart, NonDefaultIniNeedsWorkDirWithExactLetterCase) {
  Installation inst;
  for (const std::string name : {"other.ini", "KORVEL.INI"}) {
    SystemHost().DeleteDirectoryTree(inst.LogDir(), false);
    inst.WriteIni("[Path]\r\nDB=x\r\n", name);
    inst.Run({"/INI", name});
    const std::vector<std::string> after = AfterStartup(inst.LogMessages());
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[1], "Не найден параметр WorkDir в файле " + name);
  }
}

TEST(ProgramStart, GarbageIniFileGivesTheMissingKeyMessage) {
  Installation inst;
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
  WriteFile(inst.exe_dir() + "Korvel.ini", garbage + "\n[Path]\n" + std::string(70000, 'W') + "\n");
  EXPECT_EQ(inst.Run().exit_code, 0);
  const std::vector<std::string> after = AfterStartup(inst.LogMessages());
  ASSERT_GE(after.size(), 2u);
  // The default directory is missing on a test machine, or the key is.
  EXPECT_EQ(after[0], "Ошибка Exception:");
}

TEST(ProgramRun, ValidConfigurationGoesStraightToTheEnd) {
  KORVEL_REQUIRE_FB_SERVER();
  Installation inst;
  inst.MakeDirectories(1519);
  const std::string db = MakeSampleDatabase(inst, 12, 5, 700);
  inst.WriteIni(inst.StandardIni(db));
  EXPECT_EQ(inst.Run().exit_code, 0);
  // The distribution carries no Firebird client to put beside the
  // executable: the run says so and goes on with the one it has.
  ASSERT_GT(inst.LogMessages().size(), 5u);
  EXPECT_EQ(inst.LogMessages()[5], kNoClientWarning);
  const std::vector<std::string> after = AfterStartup(inst.LogMessages());
  EXPECT_EQ(after, (std::vector<std::string>{"БД " + cp1251::ToUtf8(db),
                                             "Рабочий каталог " + cp1251::ToUtf8(inst.work_dir()) + "Distrib" +
                                                 std::string(1, host::kPathDelim),
                                             "Проверка БД " + cp1251::ToUtf8(db) + "...", "БД в онлайн ...",
                                             "БД в онлайне", "Проверка БД - OK",
                                             "Инициализация - OK", "Найдено файлов обновления 0",
                                             "Поиск частных обновлений ...", "Найдено файлов частных обновлений 0",
                                             "Поиск новых частных скриптов ...", "Найдено новых частных скриптов 0",
                                             "Создания пакета запроса на обновление ...",
                                             "Создания пакета запроса на обновление - OK",
                                             "Проверка необходимости компиляции процедуры расценки",
                                             "Завершение - OK"}));
  EXPECT_TRUE(SystemHost().DirectoryExists(inst.work_dir() + "TMP"));
}

TEST(ProgramRun, MissingVersionMarker) {
  Installation inst;
  inst.MakeDirectories(-1);
  inst.WriteIni(inst.StandardIni());
  inst.Run();
  const std::vector<std::string> after = AfterStartup(inst.LogMessages());
  ASSERT_GE(after.size(), 4u);
  EXPECT_EQ(after[3], "Ошибка определения текущей версии ПО (файл NNNNNN.ver в каталоге " +
                          cp1251::ToUtf8(inst.work_dir()) + "Distrib" + std::string(1, host::kPathDelim) + ")");
}

}  // namespace
}  // namespace korvel::testing
