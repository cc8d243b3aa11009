// The data module's package steps: the office key beside the executable,
// the fields they read and set, and the log lines they write.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "packages/package_intake.h"
#include "packages/package_maker.h"
#include "packages/testing/office_keys.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using ::testing::HasSubstr;

class PackageSteps : public testing::StepTest {
 protected:
  void SetUp() override {
    dm_.ExeDir = root_ / "Korvel/";
    dm_.InDir = root_ / "In/";
    dm_.TmpDir = root_ / "Work/TMP/";
    dm_.PredId = 3;
    dm_.NodeId = 44;
    dm_.CurVersion = 1520;
    MakeDirectories({dm_.ExeDir, dm_.InDir, dm_.TmpDir});
    WriteFile(root_ / "payload/Scripts/Numbers/1521.sql", "select 1;");
  }

  void InstallKey() { WriteFile(dm_.ExeDir + "Korvel.pub", packages::testing::OfficeKeys().public_pem); }

  void Pack(const std::string& name, int type, int node = 44) {
    packages::PackOptions options;
    options.type = type;
    options.pred_id = 3;
    options.to = node;
    options.old_version = 1520;
    options.new_version = 1521;
    options.modules = {"2"};
    options.payload_dir = root_ / "payload";
    options.out = dm_.InDir + name;
    packages::PackPackage(SystemHost(), packages::testing::OfficeSigner(), options);
  }

  std::string Log() const {
    std::string text;
    for (const std::string& line : dm_.LogLines) text += cp1251::ToUtf8(line.substr(line.find('\t') + 1)) + "\n";
    return text;
  }

  testing::RunTestHost host_{root_ / "Korvel/", {}};
  TdmKorvel dm_{host_};
};

TEST_F(PackageSteps, AcceptedPackageSetsTheFieldsAndStaysInTheInbox) {
  InstallKey();
  Pack("001521.upd", packages::kUpdatePackageType);
  EXPECT_EQ(dm_.FindUpdatePackage(), "001521.upd");
  EXPECT_EQ(dm_.NewVersion, 1521);
  EXPECT_TRUE(dm_.UpdateServer);
  EXPECT_TRUE(SystemHost().FileExists(dm_.InDir + "001521.upd"));
  EXPECT_TRUE(SystemHost().FileExists(host::JoinPath(dm_.TmpDir, "Scripts\\Numbers\\1521.sql")));
  EXPECT_EQ(Log(),
            "Найдено файлов обновления 1\nПроверка файла 001521.upd\n"
            "Найден правильный пакет обновления 001521.upd\n");
}

TEST_F(PackageSteps, MissingKeyIsReportedOnceAndFailsEveryPackage) {
  Pack("a.upd", packages::kUpdatePackageType);
  Pack("b.upd", packages::kUpdatePackageType);
  EXPECT_EQ(dm_.FindUpdatePackage(), "");
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("Внимание! Открытый ключ центрального офиса не загружен: Файл открытого ключа " +
                             cp1251::ToUtf8(dm_.ExeDir) + "Korvel.pub не найден\n"));
  EXPECT_THAT(log, HasSubstr("Ошибка обработки файла a.upd: Подпись не прошла проверку!\n"));
  EXPECT_THAT(log, HasSubstr("Ошибка обработки файла b.upd: Подпись не прошла проверку!\n"));
  EXPECT_EQ(log.find("Внимание!"), log.rfind("Внимание!"));
  EXPECT_FALSE(SystemHost().FileExists(dm_.InDir + "a.upd"));
  // A key installed later in the run is not looked for again.
  InstallKey();
  Pack("c.upd", packages::kUpdatePackageType);
  EXPECT_EQ(dm_.FindUpdatePackage(), "");
}

TEST_F(PackageSteps, KeyThatCannotCheckPackagesIsReportedOnceWithTheReason) {
  // Not a key, and a valid key of a kind the signatures do not use.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not a key\n", "Файл не содержит открытого ключа в формате PEM"},
      {packages::testing::kRsaPublicPem, "Открытый ключ не является ключом Ed25519 (ключ RSA, 1024 бит)"},
  };
  for (const auto& [content, why] : cases) {
    TdmKorvel dm{host_};
    dm.ExeDir = dm_.ExeDir;
    dm.InDir = dm_.InDir;
    dm.TmpDir = dm_.TmpDir;
    dm.PredId = 3;
    dm.NodeId = 44;
    dm.CurVersion = 1520;
    WriteFile(dm.ExeDir + "Korvel.pub", content);
    Pack("a.upd", packages::kUpdatePackageType);
    Pack("b.upd", packages::kUpdatePackageType);
    EXPECT_EQ(dm.FindUpdatePackage(), "");
    std::string log;
    for (const std::string& line : dm.LogLines) log += cp1251::ToUtf8(line.substr(line.find('\t') + 1)) + "\n";
    const std::string warning = "Внимание! Открытый ключ центрального офиса не загружен: Ошибка чтения открытого ключа " +
                                cp1251::ToUtf8(dm.ExeDir) + "Korvel.pub: " + why + "\n";
    EXPECT_THAT(log, HasSubstr(warning));
    EXPECT_EQ(log.find("Внимание!"), log.rfind("Внимание!"));
    EXPECT_THAT(log, HasSubstr("Ошибка обработки файла a.upd: Подпись не прошла проверку!\n"));
    EXPECT_THAT(log, HasSubstr("Ошибка обработки файла b.upd: Подпись не прошла проверку!\n"));
  }
}

TEST_F(PackageSteps, EmptyInboxNeedsNoKey) {
  EXPECT_EQ(dm_.FindUpdatePackage(), "");
  EXPECT_EQ(Log(), "Найдено файлов обновления 0\n");
}

// A package that lands in the inbox right after it was listed.
class ArrivalAfterListingHost : public testing::RunTestHost {
 public:
  ArrivalAfterListingHost(std::string exe_dir, std::string staged, std::string arrived)
      : RunTestHost(std::move(exe_dir), {}), staged_(std::move(staged)), arrived_(std::move(arrived)) {}
  std::vector<host::DirEntry> FindEntries(const std::string& pattern) override {
    std::vector<host::DirEntry> entries = RunTestHost::FindEntries(pattern);
    if (pattern.ends_with("*.upd")) {
      ++listings;
      if (FileExists(staged_)) MoveFile(staged_, arrived_, false);
    }
    return entries;
  }
  int listings = 0;

 private:
  std::string staged_, arrived_;
};

// The inbox is listed once: a package arriving during the search waits for
// the next run instead of being checked without the key and deleted.
TEST_F(PackageSteps, InboxIsListedOnceAndALatePackageWaitsForTheNextRun) {
  InstallKey();
  Pack("late.staged", packages::kUpdatePackageType);
  ArrivalAfterListingHost host(dm_.ExeDir, dm_.InDir + "late.staged", dm_.InDir + "late.upd");
  TdmKorvel dm(host);
  dm.ExeDir = dm_.ExeDir, dm.InDir = dm_.InDir, dm.TmpDir = dm_.TmpDir;
  dm.PredId = dm_.PredId, dm.NodeId = dm_.NodeId, dm.CurVersion = dm_.CurVersion;
  EXPECT_EQ(dm.FindUpdatePackage(), "");
  EXPECT_EQ(host.listings, 1);
  ASSERT_EQ(dm.LogLines.size(), 1u);
  EXPECT_TRUE(SystemHost().FileExists(dm_.InDir + "late.upd"));
  EXPECT_EQ(dm.FindUpdatePackage(), "late.upd");
  EXPECT_EQ(host.listings, 2);
}

TEST_F(PackageSteps, CheckPackageOfAPrivateUpdate) {
  InstallKey();
  Pack("p.upp", packages::kPrivateUpdateType);
  dm_.NewVersion = 7;
  EXPECT_TRUE(dm_.CheckPackage("p.upp", packages::kPrivateUpdateType));
  EXPECT_EQ(dm_.NewVersion, 7);
  EXPECT_FALSE(dm_.UpdateServer);
  Pack("q.upp", packages::kPrivateUpdateType, 45);
  try {
    dm_.CheckPackage("q.upp", packages::kPrivateUpdateType);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Пакет предназначен для другой аптеки NODE_ID=45"_cp);
  }
}

}  // namespace
}  // namespace korvel::run
