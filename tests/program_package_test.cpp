// The built utility taking in packages that korvel-tool made: the
// workstation mode applies one to the distribution, and without the office
// key every package is refused. (The full run applying a package, which
// stops the database server's service, runs on the test build:
// program_update_test.cpp.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "installation.h"
#include "sample_database.h"

namespace korvel::testing {
namespace {

using ::testing::HasSubstr;

class ProgramPackages : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.MakeDirectories(1520);
    ASSERT_EQ(RunProgram(ToolProgram(), {"keygen", inst_.root() / "office.pem", inst_.root() / "office.pub"}).exit_code, 0);
    ASSERT_EQ(RunProgram(ToolProgram(), {"keygen", inst_.root() / "other.pem", inst_.root() / "other.pub"}).exit_code, 0);
    WriteFile(inst_.root() / "payload/Scripts/Numbers/1521.sql", "select 1 from rdb$database;\r\n");
    WriteFile(inst_.root() / "payload/distrib.xml", "<DISTRIB/>\r\n");
  }

  void InstallKey() { SystemHost().CopyFileOrFail(inst_.root() / "office.pub", inst_.exe_dir() + "Korvel.pub"); }

  void Pack(const std::string& name, const std::string& key, const std::string& node) {
    const ProgramResult result =
        RunProgram(ToolProgram(), {"pack", "--key", inst_.root() / key, "--type", "41", "--pred", "12", "--to", node,
                                 "--old", "1520", "--new", "1521", "--module", "2", inst_.root() / "payload",
                                 inst_.in_dir() + name});
    ASSERT_EQ(result.exit_code, 0) << result.output;
  }

  std::vector<std::string> Inbox() {
    std::vector<std::string> names;
    SystemHost().ListFiles(inst_.in_dir(), "*", names);
    std::sort(names.begin(), names.end());
    return names;
  }

  Installation inst_;
};

TEST_F(ProgramPackages, WorkstationModeMovesThePayloadIntoTheDistributionAndKeepsThePackage) {
  KORVEL_REQUIRE_FB_EMBEDDED();
  SystemHost().ForceDirectoriesOrFail(inst_.exe_dir() + "DB");
  fb::testing::CreateDatabase(host::JoinPath(inst_.exe_dir(), "DB\\orvpos.gdb"),
                              fb::testing::OrganizationStatements(12, 5, 650));
  std::string ini = inst_.StandardIni("");
  ini.replace(ini.find("DB=\r\n"), 5, "");
  inst_.WriteIni(ini);
  InstallKey();
  Pack("good.upd", "office.pem", "5");

  EXPECT_EQ(inst_.Run({"/POS"}).exit_code, 0);
  const std::string distrib = inst_.work_dir() + "Distrib" + host::kPathDelim;
  std::string log = inst_.LogUtf8();
  EXPECT_THAT(log, HasSubstr("\tОбновление рабочего каталога ...\r\n"));
  EXPECT_THAT(log, HasSubstr("\tОбновление рабочего каталога - OK\r\n"));
  EXPECT_TRUE(SystemHost().FileExists(distrib + host::NativeSeparators("Scripts\\Numbers\\1521.sql")));
  EXPECT_TRUE(SystemHost().FileExists(distrib + "distrib.xml"));
  std::vector<std::string> markers;
  SystemHost().ListFiles(distrib, "*.ver", markers);
  EXPECT_EQ(markers, std::vector<std::string>{"001521.ver"});
  EXPECT_EQ(Inbox(), std::vector<std::string>{"good.upd"});

  // The next run finds the package out of date and clears it away.
  EXPECT_EQ(inst_.Run({"/POS"}).exit_code, 0);
  log = inst_.LogUtf8();
  EXPECT_THAT(log, HasSubstr("\tОшибка обработки файла good.upd: "));
  EXPECT_THAT(log.substr(log.rfind("Команда запуска")), ::testing::Not(HasSubstr("Обновление рабочего каталога")));
  EXPECT_EQ(Inbox(), std::vector<std::string>{});
  markers.clear();
  SystemHost().ListFiles(distrib, "*.ver", markers);
  EXPECT_EQ(markers, std::vector<std::string>{"001521.ver"});
}

TEST_F(ProgramPackages, WithoutTheOfficeKeyEveryPackageIsRefused) {
  KORVEL_REQUIRE_FB_SERVER();
  inst_.WriteIni(inst_.StandardIni(cp1251::ToUtf8(MakeSampleDatabase(inst_, 12, 5, 700))));
  Pack("good.upd", "office.pem", "5");
  EXPECT_EQ(inst_.Run().exit_code, 0);
  const std::string log = inst_.LogUtf8();
  EXPECT_THAT(log, HasSubstr("\tВнимание! Открытый ключ центрального офиса не загружен: Файл открытого ключа " +
                             cp1251::ToUtf8(inst_.exe_dir()) + "Korvel.pub не найден\r\n"));
  EXPECT_THAT(log, HasSubstr("\tОшибка обработки файла good.upd: Подпись не прошла проверку!\r\n"));
  EXPECT_THAT(log, HasSubstr("\tНет ни одного правильного пакета обновления\r\n"));
  EXPECT_THAT(log, HasSubstr("\tЗавершение - OK\r\n"));
  EXPECT_EQ(Inbox(), std::vector<std::string>{});
}

// A FIFO where a package is expected once held the run for ever (and the
// lock with it): it fails as a package and is cleared, and the run goes on.
TEST_F(ProgramPackages, FifoInTheInboxFailsAsAPackageAndTheRunGoesOn) {
  KORVEL_REQUIRE_FB_SERVER();
  if (!MakeFifo(inst_.in_dir() + "a.upd")) GTEST_SKIP() << "no FIFOs here";
  inst_.WriteIni(inst_.StandardIni(cp1251::ToUtf8(MakeSampleDatabase(inst_, 12, 5, 700))));
  InstallKey();
  Pack("elsewhere.upd", "office.pem", "6");
  EXPECT_EQ(inst_.Run().exit_code, 0);
  const std::string log = inst_.LogUtf8();
  EXPECT_THAT(log, HasSubstr("\tОшибка обработки файла a.upd: Невозможно открыть файл \"" +
                             cp1251::ToUtf8(inst_.in_dir()) + "a.upd\". Код: 22: Не является обычным файлом\r\n"));
  EXPECT_THAT(log, HasSubstr("\tОшибка обработки файла elsewhere.upd: Пакет предназначен для другой аптеки NODE_ID=6\r\n"));
  EXPECT_THAT(log, HasSubstr("\tЗавершение - OK\r\n"));
  EXPECT_EQ(Inbox(), std::vector<std::string>{});
}

}  // namespace
}  // namespace korvel::testing
