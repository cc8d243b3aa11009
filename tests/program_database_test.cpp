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

using ::testing::HasSubstr;

// The messages after the four start-up lines and "Инициализация ...".
std::vector<std::string> AfterStartup(const std::vector<std::string>& lines) {
  return lines.size() > 5 ? std::vector<std::string>(lines.begin() + 5, lines.end()) : std::vector<std::string>{};
}

std::vector<std::string> OutboxFiles(const Installation& inst) {
  std::vector<std::string> files;
  SystemHost().ListFiles(inst.out_dir(), "*", files);
  return files;
}

TEST(ProgramDatabase, UnreachableDatabaseStopsInitialisationWithoutPacket) {
  KORVEL_REQUIRE_FB_SERVER();
  Installation inst;
  inst.MakeDirectories(1520);
  struct Case {
    std::string db;
    std::string second_line;  // the client's own first line
  };
  const std::string missing = inst.root() / "db\\missing.fdb";
  const std::vector<Case> cases = {
      // Nothing listens on port 1.
      {"127.0.0.1/1:" + missing, "Unable to complete network request to host \"127.0.0.1\"."},
      {fb::testing::kServerPrefix + missing, "I/O error during \"open\" operation for file \"" + missing + "\""},
  };
  for (const Case& c : cases) {
    SystemHost().DeleteDirectoryTree(inst.LogDir(), false);
    inst.WriteIni(inst.StandardIni(cp1251::ToUtf8(c.db)));
    EXPECT_EQ(inst.Run().exit_code, 0);
    const std::vector<std::string> after = AfterStartup(inst.LogMessages());
    ASSERT_GE(after.size(), 5u) << inst.LogUtf8();
    EXPECT_EQ(after[2], "Ошибка EIBInterBaseError:");
    EXPECT_EQ(after[3], "Ошибка открытия БД.");
    EXPECT_EQ(after[4], cp1251::ToUtf8(c.second_line));
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

}  // namespace
}  // namespace korvel::testing
