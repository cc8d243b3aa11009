// The built utility against real databases: the pharmacy's identity read
// during initialisation, the failures of the connection, and the request
// packet it leaves in the outbox.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "host/cp1251.h"
#include "host/text.h"
#include "installation.h"
#include "sample_database.h"

namespace korvel::testing {
namespace {

using namespace korvel::literals;
using ::testing::HasSubstr;

std::vector<std::string> OutboxFiles(const Installation& inst) {
  std::vector<std::string> files;
  SystemHost().ListFiles(inst.out_dir(), "*", files);
  return files;
}

TEST(ProgramDatabase, UnreachableDatabaseStopsInitialisationWithoutPacket) {
  KORVEL_REQUIRE_FB_SERVER();
  Installation inst;
  inst.MakeDirectories(1520);
  SystemHost().ForceDirectoriesOrFail(inst.root() / "db");
  const std::string missing = inst.root() / "db\\missing.fdb";
  const std::string present = inst.root() / "db\\present.fdb";
  WriteFile(present, "a file the server is never asked about");
  struct Case {
    std::string db;
    std::vector<std::string> lines;  // after "Рабочий каталог ..."
  };
  const std::vector<Case> cases = {
      // The database check finds no live file: nothing else is tried.
      {fb::testing::kServerPrefix + missing,
       {"Проверка БД " + cp1251::ToUtf8(fb::testing::kServerPrefix + missing) + "...",
        "Рабочий файл БД " + cp1251::ToUtf8(missing) + " не найден.", "Ошибка Exception:",
        "БД находится в нерабочем состоянии!"}},
      // Nothing listens on port 1: bringing the database online is allowed
      // to fail, reading its files is not.
      {"127.0.0.1/1:" + present,
       {"Проверка БД 127.0.0.1/1:" + cp1251::ToUtf8(present) + "...", "БД в онлайн ...", "БД в онлайне",
        "Ошибка EIBInterBaseError:", "Unable to complete network request to host \"127.0.0.1\"."}},
  };
  for (const Case& c : cases) {
    SystemHost().DeleteDirectoryTree(inst.LogDir(), false);
    inst.WriteIni(inst.StandardIni(cp1251::ToUtf8(c.db)));
    EXPECT_EQ(inst.Run().exit_code, 0);
    const std::vector<std::string> after = AfterStartup(inst.LogMessages());
    ASSERT_GE(after.size(), 2 + c.lines.size()) << inst.LogUtf8();
    EXPECT_EQ(std::vector<std::string>(after.begin() + 2, after.begin() + 2 + c.lines.size()), c.lines)
        << inst.LogUtf8();
    EXPECT_THAT(inst.LogUtf8(), ::testing::Not(HasSubstr("Инициализация - OK")));
    EXPECT_THAT(inst.LogUtf8(), ::testing::Not(HasSubstr("Создания пакета")));
    EXPECT_TRUE(OutboxFiles(inst).empty());
  }
}

TEST(ProgramDatabase, DatabaseWithoutOrganizationStopsInitialisationWithoutPacket) {
  KORVEL_REQUIRE_FB_SERVER();
  Installation inst;
  inst.MakeDirectories(1520);
  SystemHost().ForceDirectoriesOrFail(inst.root() / "db");
  fb::testing::MakeServerAccessible(inst.root() / "db");
  const std::string db = fb::testing::kServerPrefix + SampleDatabasePath(inst);
  fb::testing::CreateDatabase(db, {"create table OTHER (A integer)"});
  inst.WriteIni(inst.StandardIni(cp1251::ToUtf8(db)));
  inst.Run();
  const std::vector<std::string> after = AfterStartup(inst.LogMessages());
  EXPECT_EQ(after, (std::vector<std::string>{
                       "БД " + cp1251::ToUtf8(db),
                       "Рабочий каталог " + cp1251::ToUtf8(inst.work_dir()) + "Distrib" +
                           std::string(1, host::kPathDelim),
                       "Проверка БД " + cp1251::ToUtf8(db) + "...",
                       "БД в онлайн ...",
                       "БД в онлайне",
                       "Проверка БД - OK",
                       "Ошибка EIBInterBaseError:",
                       "Ошибка чтения параметров из БД.",
                       "Dynamic SQL Error",
                       "-SQL error code = -204",
                       "-Table unknown",
                       "-ORGANIZATION",
                       "-At line 2, column 6",
                   }))
      << inst.LogUtf8();
  EXPECT_TRUE(OutboxFiles(inst).empty());
}

// The packet's text with the DATE value replaced by "*", after checking that
// it is the time of the run.
std::string PacketWithoutDate(const std::string& packet, TDateTime before, TDateTime after) {
  const std::size_t at = packet.find("DATE=\"");
  if (at == std::string::npos) return packet;
  const std::string date = packet.substr(at + 6, 16);
  EXPECT_TRUE(date == FormatDateTime("dd.mm.yyyy hh:nn", before) || date == FormatDateTime("dd.mm.yyyy hh:nn", after))
      << date;
  return packet.substr(0, at + 6) + "*" + packet.substr(at + 6 + 16);
}

std::string ModulesIni(const Installation& inst, const std::string& db, const std::string& modules,
                       const std::string& extra = "") {
  std::string ini = inst.StandardIni(cp1251::ToUtf8(db), extra);
  ReplaceFirst(ini, "Modules=2;5", "Modules=" + modules);
  return ini;
}

TEST(ProgramRequestPacket, RequestModeWritesThePacketByteForByte) {
  KORVEL_REQUIRE_FB_SERVER();
  Installation inst;
  inst.MakeDirectories(1520);
  const std::string db = MakeSampleDatabase(inst, 12, 5, 700);
  inst.WriteIni(inst.StandardIni(cp1251::ToUtf8(db)));
  const TDateTime before = SystemHost().Now();
  EXPECT_EQ(inst.Run({"/Request"}).exit_code, 0);
  const TDateTime after = SystemHost().Now();

  EXPECT_EQ(OutboxFiles(inst), std::vector<std::string>{"0012005.UPR"});
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\" ?>\r\n"
      "<PACKET TYPE=\"40\" NAME=\"" + cp1251::FromUtf8("Запрос обновления ПО") +
      "\" PRED_ID=\"12\" FROM=\"005\" TO=\"000\" OLDVERNO=\"1520\" VERNO=\"1520\" DBVERNO=\"700\" DATE=\"*\" EXE=\"" +
      inst.exe_path() + "\" EXE_VERSION=\"" + KORVEL_VERSION + "\">\r\n"
      "  <MODULES>\r\n"
      "    <MODULE ID=\"2\"/>\r\n"
      "    <MODULE ID=\"5\"/>\r\n"
      "  </MODULES>\r\n"
      "  <STATUS>OK</STATUS>\r\n"
      "</PACKET>\r\n";
  EXPECT_EQ(PacketWithoutDate(ReadFile(inst.out_dir() + "0012005.UPR"), before, after), expected);

  const std::vector<std::string> after_startup = AfterStartup(inst.LogMessages());
  ASSERT_GE(after_startup.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(after_startup.end() - 4, after_startup.end()),
            (std::vector<std::string>{"Инициализация - OK", "Создания пакета запроса на обновление ...",
                                      "Создания пакета запроса на обновление - OK", "Завершение - OK"}));
}

TEST(ProgramRequestPacket, RequestModeKeepsAnUnsentPacketAndTheFullModeReplacesIt) {
  KORVEL_REQUIRE_FB_SERVER();
  Installation inst;
  inst.MakeDirectories(1520);
  inst.WriteIni(inst.StandardIni(cp1251::ToUtf8(MakeSampleDatabase(inst, 12, 5, 700))));
  const std::string packet = inst.out_dir() + "0012005.UPR";
  WriteFile(packet, "unsent packet");
  inst.Run({"/Request"});
  EXPECT_EQ(ReadFile(packet), "unsent packet");
  EXPECT_THAT(inst.LogUtf8(), HasSubstr("Создания пакета запроса на обновление ..."));
  EXPECT_THAT(inst.LogUtf8(), HasSubstr("Создания пакета запроса на обновление - OK"));

  inst.Run();
  EXPECT_EQ(ReadFile(packet).rfind("<?xml", 0), 0u);
  EXPECT_EQ(OutboxFiles(inst), std::vector<std::string>{"0012005.UPR"});
}

TEST(ProgramRequestPacket, ModulesListsAndPharmacyNumbers) {
  KORVEL_REQUIRE_FB_SERVER();
  struct Case {
    int version;
    int node;
    std::string modules;
    std::string classic;
    std::string file;
    std::string from;
    std::string modules_xml;
  };
  // The Classic server's cases need its service, which this machine has
  // not: they are in program_services_test.cpp.
  const std::vector<Case> cases = {
      // Above version 1520 the Classic flag is cleared.
      {1521, 5, "2;5", "1", "0012005.UPR", "005",
       "  <MODULES>\r\n    <MODULE ID=\"2\"/>\r\n    <MODULE ID=\"5\"/>\r\n  </MODULES>\r\n"},
      {1520, 1234, ";", "0", "00121234.UPR", "1234", "  <MODULES/>\r\n"},
  };
  for (const Case& c : cases) {
    Installation inst;
    inst.MakeDirectories(c.version);
    inst.WriteIni(ModulesIni(inst, MakeSampleDatabase(inst, 12, c.node, 700), c.modules, "Classic=" + c.classic + "\r\n"));
    inst.Run({"/Request"});
    ASSERT_EQ(OutboxFiles(inst), std::vector<std::string>{c.file}) << inst.LogUtf8();
    const std::string text = ReadFile(inst.out_dir() + c.file);
    EXPECT_THAT(text, HasSubstr(" FROM=\"" + c.from + "\" ")) << c.modules;
    EXPECT_THAT(text, HasSubstr(">\r\n" + c.modules_xml + "  <STATUS>OK</STATUS>\r\n</PACKET>\r\n")) << c.modules;
  }
}

TEST(ProgramRequestPacket, WorkstationModeUsesTheLocalDatabase) {
  KORVEL_REQUIRE_FB_EMBEDDED();
  Installation inst;
  inst.MakeDirectories(1520);
  SystemHost().ForceDirectoriesOrFail(inst.exe_dir() + "DB");
  fb::testing::CreateDatabase(host::JoinPath(inst.exe_dir(), "DB\\orvpos.gdb"),
                              fb::testing::OrganizationStatements(12, 9, 650));
  std::string ini = inst.StandardIni("");
  ReplaceFirst(ini, "DB=\r\n", "");
  inst.WriteIni(ini);
  inst.Run({"/POS"});
  EXPECT_EQ(OutboxFiles(inst), std::vector<std::string>{"0012009.UPR"}) << inst.LogUtf8();
  EXPECT_THAT(ReadFile(inst.out_dir() + "0012009.UPR"), HasSubstr(" DBVERNO=\"650\" "));
  EXPECT_THAT(inst.LogUtf8(), HasSubstr("Завершение - OK"));
}

// A database whose path has Cyrillic letters opens, as isql-fb opens it: the
// name reaches the client in the file system's encoding.
TEST(ProgramRequestPacket, DatabaseUnderACyrillicDirectory) {
  KORVEL_REQUIRE_FB_SERVER();
  Installation inst;
  inst.MakeDirectories(1520);
  const std::string dir = inst.root() / "Аптека 5"_cp;
  SystemHost().ForceDirectoriesOrFail(dir);
  fb::testing::MakeServerAccessible(inst.root().path());
  fb::testing::MakeServerAccessible(dir);
  const std::string path = host::JoinPath(dir, "база.fdb"_cp);
  fb::testing::CreateDatabase(fb::testing::kServerPrefix + path, fb::testing::OrganizationStatements(12, 5, 700));
  inst.WriteIni(inst.StandardIni(cp1251::ToUtf8(fb::testing::kServerPrefix + path)));
  EXPECT_EQ(inst.Run({"/Request"}).exit_code, 0);
  EXPECT_EQ(OutboxFiles(inst), std::vector<std::string>{"0012005.UPR"}) << inst.LogUtf8();
  EXPECT_THAT(inst.LogUtf8(), HasSubstr("Завершение - OK"));
}

}  // namespace
}  // namespace korvel::testing
