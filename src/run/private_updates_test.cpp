// The data module's private updates on real packages made by the office's
// packing: the key beside the executable, the payload moved into the
// application directory, and what stays in the inbox.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "host/cp1251.h"
#include "packages/package_intake.h"
#include "packages/package_maker.h"
#include "packages/testing/office_keys.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using Payload = std::map<std::string, std::string>;

class PrivateUpdates : public testing::StepFixture<> {
 protected:
  void SetUp() override {
    dm_.ExeDir = root_ / "Korvel\\";
    dm_.InDir = root_ / "In\\";
    dm_.TmpDir = root_ / "Work\\TMP\\";
    dm_.AptekaDir = root_ / "Apteka\\";
    dm_.PredId = 3;
    dm_.NodeId = 44;
    dm_.CurVersion = 1520;
    MakeDirectories({dm_.ExeDir, dm_.InDir, dm_.TmpDir, dm_.AptekaDir});
  }

  void InstallKey() { WriteFile(dm_.ExeDir + "Korvel.pub", packages::testing::OfficeKeys().public_pem); }

  // A private update InDir + `name` bringing `payload` (backslash-separated
  // relative names).
  void Pack(const std::string& name, const Payload& payload, int node = 44,
            const packages::SignatureSigner& signer = packages::testing::OfficeSigner()) {
    const std::string dir = root_ / ("payload-" + name);
    for (const auto& [file, data] : payload) WriteFile(host::JoinPath(dir + host::kPathDelim, file), data);
    packages::PackOptions options;
    options.type = packages::kPrivateUpdateType;
    options.pred_id = 3;
    options.to = node;
    options.payload_dir = dir;
    options.out = dm_.InDir + name;
    packages::PackPackage(SystemHost(), signer, options);
  }

  std::string Apteka(const std::string& relative) { return host::JoinPath(dm_.AptekaDir, relative); }
  V Inbox() {
    V names;
    SystemHost().ListFiles(dm_.InDir, "*", names);
    std::sort(names.begin(), names.end());
    return names;
  }
  V TakeLog() {
    V lines;
    for (const std::string& line : testing::LogMessages(dm_.LogLines)) lines.push_back(cp1251::ToUtf8(line));
    dm_.LogLines.clear();
    return lines;
  }

};

TEST_F(PrivateUpdates, EveryValidOneIsAppliedInListingOrderAndDeletedTheOthersStay) {
  InstallKey();
  Pack("a.upp", {{"Scripts\\_all\\x.sql", "from a"}, {"a.txt", "a"}});
  Pack("b.upp", {{"Scripts\\_all\\x.sql", "from b"}, {"Bin\\b.dll", "b"}});
  Pack("foreign.upp", {{"f.txt", "f"}}, 44, packages::testing::StrangerSigner());
  Pack("other.upp", {{"o.txt", "o"}}, 45);
  V order;
  SystemHost().ListFiles(dm_.InDir, "*.upp", order);
  // What an accepted update package set before.
  dm_.NewVersion = 1521;
  dm_.UpdateServer = true;

  dm_.RunPrivateUpdates();

  V expected = {"Поиск частных обновлений ...", "Найдено файлов частных обновлений 4"};
  for (const std::string& name : order) {
    if (name == "foreign.upp") {
      expected.push_back("Ошибка обработки файла foreign.upp: Подпись не прошла проверку!");
    } else if (name == "other.upp") {
      expected.push_back("Ошибка обработки файла other.upp: Пакет предназначен для другой аптеки NODE_ID=45");
    } else {
      expected.push_back("Файл " + name + " успешно обработан");
    }
  }
  EXPECT_EQ(TakeLog(), expected);
  // The later of the two in the listing wrote x.sql last.
  const bool a_last = std::find(order.begin(), order.end(), "a.upp") > std::find(order.begin(), order.end(), "b.upp");
  EXPECT_EQ(ReadFile(Apteka("Scripts\\_all\\x.sql")), a_last ? "from a" : "from b");
  EXPECT_EQ(ReadFile(Apteka("a.txt")), "a");
  EXPECT_EQ(ReadFile(Apteka("Bin\\b.dll")), "b");
  for (const char* absent : {"contents.xml", "f.txt", "o.txt"}) EXPECT_FALSE(SystemHost().FileExists(Apteka(absent)));
  EXPECT_EQ(Inbox(), (V{"foreign.upp", "other.upp"}));
  EXPECT_EQ(dm_.NewVersion, 1521);
  EXPECT_TRUE(dm_.UpdateServer);

  // The kept ones are tried again in the next run.
  dm_.RunPrivateUpdates();
  EXPECT_EQ(TakeLog().size(), 4u);
  EXPECT_EQ(Inbox(), (V{"foreign.upp", "other.upp"}));
}

// A payload that cannot be moved fails its package, which stays; what was
// moved before the failure stays moved.
TEST_F(PrivateUpdates, AFailedMoveKeepsThePackage) {
  InstallKey();
  WriteFile(Apteka("Scripts"), "a file where a directory belongs");
  Pack("c.upp", {{"c.txt", "c"}, {"Scripts\\_all\\y.sql", "y"}});
  dm_.RunPrivateUpdates();
  EXPECT_EQ(TakeLog(), (V{"Поиск частных обновлений ...", "Найдено файлов частных обновлений 1",
                          "Ошибка обработки файла c.upp: Ошибка создания каталога " +
                              cp1251::ToUtf8(host::IncludePathDelimiter(Apteka("Scripts\\_all")))}));
  EXPECT_EQ(ReadFile(Apteka("c.txt")), "c");
  EXPECT_EQ(Inbox(), V{"c.upp"});
}

// The key is read when the first private update needs it: an empty inbox
// needs none, and without it every private update stays in the inbox.
TEST_F(PrivateUpdates, WithoutTheKeyNothingIsAppliedAndNothingLost) {
  dm_.RunPrivateUpdates();
  EXPECT_EQ(TakeLog(), (V{"Поиск частных обновлений ...", "Найдено файлов частных обновлений 0"}));
  Pack("a.upp", {{"a.txt", "a"}});
  dm_.RunPrivateUpdates();
  const V log = TakeLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_THAT(log[2], ::testing::StartsWith("Внимание! Открытый ключ центрального офиса не загружен: "));
  EXPECT_EQ(log[3], "Ошибка обработки файла a.upp: Подпись не прошла проверку!");
  EXPECT_FALSE(SystemHost().FileExists(Apteka("a.txt")));
  EXPECT_EQ(Inbox(), V{"a.upp"});
}

}  // namespace
}  // namespace korvel::run
