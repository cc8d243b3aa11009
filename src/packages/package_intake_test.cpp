// Package intake: every message of the check in its fixed order, the
// inbox scan, and packages made by the office's packing.
#include "packages/package_intake.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"
#include "packages/package_maker.h"
#include "packages/package_signer.h"
#include "packages/testing/office_keys.h"
#include "packages/testing/raw_zip.h"
#include "packages/zip_archive.h"
#include "packages/zip_writer.h"

namespace korvel::packages {
namespace {

using korvel::testing::ReadFile;
using korvel::testing::SystemHost;
using korvel::testing::TempDir;
using korvel::testing::ArmWatchdog;
using korvel::testing::MakeFifo;
using korvel::testing::WriteFile;
using korvel::testing::WriteFileWithSystemName;
using namespace korvel::literals;
using namespace korvel::packages::testing;

constexpr const char* kHeader = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n";

// A manifest with the given root attributes and FILES content.
std::string Manifest(const std::string& attributes, const std::string& files = "<FILES/>",
                     const std::string& rest = "") {
  return kHeader + ("<PACKAGE " + attributes + ">\r\n" + files + "\r\n" + rest + "</PACKAGE>\r\n");
}

const std::string kGoodRoot = "TYPE=\"41\" PRED_ID=\"7\" TO=\"15\" OLD_VERNO=\"1520\" NEW_VERNO=\"1521\"";
const std::string kGoodFiles =
    "<FILES><FILE NAME=\"a.txt\" SIZE=\"3\"/><FILE NAME=\"Scripts\\Numbers\\1521.sql\" SIZE=\"9\"/></FILES>";
const std::map<std::string, std::string> kPayload = {{"a.txt", "abc"}, {"Scripts\\Numbers\\1521.sql", "select 1;"}};

class Intake : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cwd_ = SystemHost().CurrentDirectory();
    SystemHost().ForceDirectoriesOrFail(in());
    SystemHost().ForceDirectoriesOrFail(tmp());
  }
  void TearDown() override { SystemHost().SetCurrentDirectory(saved_cwd_); }

  std::string in() const { return root_ / "In/"; }
  std::string tmp() const { return root_ / "TMP/"; }

  PackageIntake MakeIntake(host::Host& host = SystemHost()) {
    PackageIntake intake(host, OfficeVerifier(), [this](std::string_view line) { log_.emplace_back(line); });
    intake.InDir = in();
    intake.TmpDir = tmp();
    intake.PredId = 7;
    intake.NodeId = 15;
    intake.CurVersion = 1520;
    return intake;
  }

  // A signed package in the inbox holding `manifest` (unless empty) and
  // the files.
  void Package(const std::string& name, const std::string& manifest,
               const std::map<std::string, std::string>& files = kPayload,
               const SignatureSigner& signer = OfficeSigner()) {
    {
      ZipWriter zip(SystemHost(), in() + name);
      if (!manifest.empty()) zip.AddData("contents.xml", manifest);
      for (const auto& [file, data] : files) zip.AddData(file, data);
      zip.Close();
    }
    SignFile(SystemHost(), signer, in() + name);
  }

  // The message CheckPackage fails with, or "passed".
  std::string Outcome(const std::string& name, int type = kUpdatePackageType, host::Host& host = SystemHost()) {
    PackageIntake intake = MakeIntake(host);
    try {
      intake.CheckPackage(name, type);
      return "passed";
    } catch (const Exception& e) {
      return cp1251::ToUtf8(e.Message());
    }
  }

  std::string Outcome(const std::string& manifest, const std::map<std::string, std::string>& files) {
    Package("p.upd", manifest, files);
    return Outcome("p.upd");
  }

  std::vector<std::string> Inbox() {
    std::vector<std::string> names;
    SystemHost().ListFiles(in(), "*", names);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir root_;
  std::string saved_cwd_;
  std::vector<std::string> log_;
};

TEST_F(Intake, ValidUpdatePackageIsUnpackedAndSetsTheVersion) {
  Package("p.upd", Manifest(kGoodRoot, kGoodFiles, "<MODULES><MODULE ID=\"5\"/><MODULE ID=\"2\"/></MODULES>\r\n"));
  WriteFile(host::JoinPath(tmp(), "old\\left.txt"), "from before");
  PackageIntake intake = MakeIntake();
  EXPECT_TRUE(intake.CheckPackage("p.upd", kUpdatePackageType));
  EXPECT_EQ(intake.NewVersion, 1521);
  EXPECT_TRUE(intake.UpdateServer);
  EXPECT_FALSE(SystemHost().FileExists(tmp() + "contents.xml"));
  EXPECT_FALSE(SystemHost().FileExists(host::JoinPath(tmp(), "old\\left.txt")));
  EXPECT_EQ(ReadFile(tmp() + "a.txt"), "abc");
  EXPECT_EQ(ReadFile(host::JoinPath(tmp(), "Scripts\\Numbers\\1521.sql")), "select 1;");
  EXPECT_EQ(host::IncludePathDelimiter(SystemHost().CurrentDirectory()), tmp());
  EXPECT_TRUE(SystemHost().FileExists(in() + "p.upd"));
  // The private copy the payload came from is gone; one a power cut left
  // behind is replaced.
  EXPECT_FALSE(SystemHost().FileExists(root_ / "TMP.package"));
  WriteFile(root_ / "TMP.package", "stale");
  EXPECT_EQ(Outcome("p.upd"), "passed");
  EXPECT_FALSE(SystemHost().FileExists(root_ / "TMP.package"));
}

TEST_F(Intake, ModuleTwoDecidesTheServerUpdate) {
  for (const auto& [modules, expected] : std::vector<std::pair<std::string, bool>>{
           {"", false},
           {"<MODULES><MODULE ID=\"20\"/></MODULES>", false},
           {"<MODULES><MODULE ID=\" 2\"/></MODULES>", false},
           {"<MODULES><MODULE ID=\"2\"/></MODULES>", true}}) {
    Package("p.upd", Manifest(kGoodRoot, kGoodFiles, modules));
    PackageIntake intake = MakeIntake();
    intake.UpdateServer = !expected;
    intake.CheckPackage("p.upd", kUpdatePackageType);
    EXPECT_EQ(intake.UpdateServer, expected) << modules;
  }
}

TEST_F(Intake, PrivateUpdateNeedsNoVersionsAndLeavesThemAlone) {
  Package("p.upp", Manifest("TYPE=\"42\" PRED_ID=\"7\" TO=\"15\"", kGoodFiles,
                            "<MODULES><MODULE ID=\"2\"/></MODULES>"));
  PackageIntake intake = MakeIntake();
  intake.NewVersion = 99;
  EXPECT_TRUE(intake.CheckPackage("p.upp", kPrivateUpdateType));
  EXPECT_EQ(intake.NewVersion, 99);
  EXPECT_FALSE(intake.UpdateServer);
  EXPECT_EQ(Outcome("p.upp", kUpdatePackageType), "Не верный тип пакета (должен быть 41)");
}

TEST_F(Intake, SignatureFailsFirstAndLeavesTmpAlone) {
  WriteFile(tmp() + "keep.txt", "x");
  Package("a.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  EXPECT_EQ(Outcome("a.upd"), "Подпись не прошла проверку!");
  EXPECT_TRUE(SystemHost().FileExists(tmp() + "keep.txt"));
  EXPECT_FALSE(SystemHost().FileExists(root_ / "TMP.package"));

  Package("b.upd", "<not even xml");
  host::FileAttributes read_only;
  read_only.read_only = true;
  SystemHost().SetAttributes(in() + "b.upd", read_only);
  EXPECT_EQ(Outcome("b.upd"), "Подпись не прошла проверку!");
  EXPECT_TRUE(SystemHost().FileExists(tmp() + "keep.txt"));

  EXPECT_THAT(Outcome("missing.upd"), ::testing::StartsWith("Невозможно открыть файл \""));
}

// The checks in their fixed order: each case breaks one thing, and also
// every later one, so that only the order decides which message comes.
TEST_F(Intake, ManifestMessagesInTheirFixedOrder) {
  const std::string bad_root = "TYPE=\"42\" PRED_ID=\"8\" TO=\"16\" OLD_VERNO=\"1\"";
  struct Case {
    std::string manifest;
    std::map<std::string, std::string> files;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", kPayload, "В архиве отсутсвует файл contents.xml"},
      {"<?xml version=\"1.0\"?>\r\n<PACKAGE TYPE=\"41\"", kPayload, ""},  // the parser's own message, below
      {Manifest("PRED_ID=\"8\""), kPayload, "Атрибут \"TYPE\" не задан или имеет неверный формат.\r\n"},
      {Manifest("TYPE=\"x\" PRED_ID=\"8\""), kPayload, "Атрибут \"TYPE\" не задан или имеет неверный формат.\r\n"},
      {Manifest(bad_root), kPayload, "Не верный тип пакета (должен быть 41)"},
      {Manifest("TYPE=\"41\" PRED_ID=\"008\" TO=\"16\""), kPayload,
       "Пакет предназначен для другой аптечной сети PRED_ID=008"},
      {Manifest("TYPE=\"41\" PRED_ID=\"7\" TO=\"16\" OLD_VERNO=\"1\""), kPayload,
       "Пакет предназначен для другой аптеки NODE_ID=16"},
      {Manifest("TYPE=\"41\" PRED_ID=\"7\""), kPayload, "Атрибут \"TO\" не задан или имеет неверный формат.\r\n"},
      {Manifest("TYPE=\"41\" PRED_ID=\"7\" TO=\"15\" OLD_VERNO=\"1500\"", "<X/>"), kPayload,
       "Версия обновления OLD_VERNO=1500 не соответствует текущей версии 1520"},
      {Manifest("TYPE=\"41\" PRED_ID=\"7\" TO=\"15\"", "<X/>"), kPayload,
       "Атрибут \"OLD_VERNO\" не задан или имеет неверный формат.\r\n"},
      {Manifest(kGoodRoot, "<X/>"), kPayload, "Раздел \"FILES\" не найден!"},
  };
  for (const Case& c : cases) {
    const std::string outcome = Outcome(c.manifest, c.files);
    if (c.message.empty()) {
      EXPECT_THAT(outcome, ::testing::StartsWith("Ошибка разбора XML: ")) << c.manifest;
    } else {
      EXPECT_THAT(outcome, ::testing::StartsWith(c.message)) << c.manifest;
      if (c.message.find("Атрибут") == std::string::npos) {
        EXPECT_EQ(outcome, c.message);
      }
    }
  }
}

TEST_F(Intake, IntegrityMessagesNameTheRowAndTheFile) {
  const std::string integrity = "Нарушена целостность пакета. Строка ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<FILES><F NAME=\"a.txt\" SIZE=\"3\"/><F NAME=\"Scripts\\Numbers\\1521.sql\" SIZE=\"9\"/>"
       "<F NAME=\"b.txt\" SIZE=\"1\"/></FILES>",
       integrity + "2 файл b.txt:\r\nФайл не найден"},
      {"<FILES><F NAME=\"a.txt\" SIZE=\"4\"/></FILES>", integrity + "0 файл a.txt:\r\nНе совпадает размер"},
      {"<FILES><F NAME=\"a.txt\" SIZE=\"3\"/><F NAME=\"a.txt\" SIZE=\"2147483648\"/></FILES>",
       integrity + "1 файл a.txt:\r\nАтрибут \"SIZE\" не задан или имеет неверный формат.\r\n"},
      {"<FILES><F SIZE=\"3\"/></FILES>", integrity + "0 файл :\r\nАтрибут \"NAME\" не задан или имеет неверный формат.\r\n"},
      {"<FILES><F NAME=\"\" SIZE=\"3\"/></FILES>", integrity + "0 файл :\r\nАтрибут \"NAME\" не задан"},
      {"<FILES><F NAME=\"a.txt\" SIZE=\"3\"/><!-- note --></FILES>", integrity + "1 файл :\r\nАтрибут \"NAME\""},
      {"<FILES><F NAME=\"a.txt\" SIZE=\"3\"/>text</FILES>", integrity + "1 файл :\r\nАтрибут \"NAME\""},
      {"<FILES><F NAME=\"a.txt\"/></FILES>", integrity + "0 файл a.txt:\r\nАтрибут \"SIZE\""},
      // A directory is not a file.
      {"<FILES><F NAME=\"Scripts\" SIZE=\"0\"/></FILES>", integrity + "0 файл Scripts:\r\nФайл не найден"},
      // Names are relative to the unpacked root and never leave it, though
      // the package itself lies right there.
      {"<FILES><F NAME=\"..\\In\\p.upd\" SIZE=\"1\"/></FILES>",
       integrity + "0 файл ..\\In\\p.upd:\r\nНедопустимое имя файла \"..\\In\\p.upd\": путь выходит за пределы "
                   "каталога распаковки"},
      {"<FILES><F NAME=\"" + root_.path() + "In/p.upd\" SIZE=\"1\"/></FILES>", integrity + "0 файл "},
      {"<FILES><F NAME=\"C:\\Windows\\win.ini\" SIZE=\"1\"/></FILES>",
       integrity + "0 файл C:\\Windows\\win.ini:\r\nНедопустимое имя файла \"C:\\Windows\\win.ini\": буква диска"},
  };
  for (const auto& [files, message] : cases) {
    EXPECT_THAT(Outcome(Manifest(kGoodRoot, files), kPayload), ::testing::StartsWith(message)) << files;
  }
  // Whitespace between the entries is no entry; an empty FILES passes.
  EXPECT_EQ(Outcome(Manifest(kGoodRoot, "<FILES>\r\n  <F NAME=\"a.txt\" SIZE=\"3\"/>\r\n</FILES>"), kPayload), "passed");
  EXPECT_EQ(Outcome(Manifest(kGoodRoot, "<FILES></FILES>"), kPayload), "passed");
  // NEW_VERNO is read only after every check has passed.
  EXPECT_THAT(Outcome(Manifest("TYPE=\"41\" PRED_ID=\"7\" TO=\"15\" OLD_VERNO=\"1520\"",
                               "<FILES><F NAME=\"b.txt\" SIZE=\"1\"/></FILES>"),
                      kPayload),
              ::testing::StartsWith(integrity));
  EXPECT_THAT(Outcome(Manifest("TYPE=\"41\" PRED_ID=\"7\" TO=\"15\" OLD_VERNO=\"1520\"", kGoodFiles), kPayload),
              ::testing::StartsWith("Атрибут \"NEW_VERNO\""));
}

TEST_F(Intake, ArchiveMessages) {
  // Signed, but not an archive, or an archive of directories only.
  WriteFile(in() + "a.upd", "PK not really an archive");
  SignFile(SystemHost(), OfficeSigner(), in() + "a.upd");
  EXPECT_EQ(Outcome("a.upd"), "Файл не является ZIP архивом или не содержит ни одного файла");
  RawEntry dir;
  dir.name = "Scripts/";
  WriteFile(in() + "b.upd", BuildZip({dir}));
  SignFile(SystemHost(), OfficeSigner(), in() + "b.upd");
  EXPECT_EQ(Outcome("b.upd"), "Файл не является ZIP архивом или не содержит ни одного файла");
  // The extractor's own refusal, with nothing written outside TmpDir.
  RawEntry evil;
  evil.name = "../In/evil.txt";
  evil.data = "x";
  WriteFile(in() + "c.upd", BuildZip({evil}));
  SignFile(SystemHost(), OfficeSigner(), in() + "c.upd");
  EXPECT_EQ(Outcome("c.upd"),
            "Недопустимое имя файла в архиве \"../In/evil.txt\": путь выходит за пределы каталога распаковки");
  EXPECT_FALSE(SystemHost().FileExists(in() + "evil.txt"));
  // A signed text file is no archive either.
  WriteFile(in() + "d.upd", "<?xml?>\r\n<PACKAGE TYPE=\"41\">\r\n</PACKAGE>\r\n");
  SignFile(SystemHost(), OfficeSigner(), in() + "d.upd");
  EXPECT_EQ(Outcome("d.upd"), "Файл не является ZIP архивом или не содержит ни одного файла");
}

TEST_F(Intake, PackedPackageIsAccepted) {
  WriteFile(root_ / "payload/Scripts/Numbers/1521.sql", "select 1;");
  WriteFile(root_ / "payload/Отчёты/бланк.frx"_cp, std::string(70000, 'z'));
  WriteFile(root_ / "payload/distrib.xml", "<DISTRIB/>");
  PackOptions options;
  options.type = kUpdatePackageType;
  options.pred_id = 7;
  options.to = 15;
  options.old_version = 1520;
  options.new_version = 1521;
  options.modules = {"2"};
  options.payload_dir = root_ / "payload";
  options.out = in() + "001521.upd";
  EXPECT_EQ(PackPackage(SystemHost(), OfficeSigner(), options), 3);
  EXPECT_FALSE(SystemHost().FileExists(in() + "001521.upd.part"));
  PackageIntake intake = MakeIntake();
  EXPECT_EQ(intake.FindUpdatePackage(), "001521.upd");
  EXPECT_EQ(intake.NewVersion, 1521);
  EXPECT_TRUE(intake.UpdateServer);
  EXPECT_EQ(ReadFile(tmp() + "Отчёты/бланк.frx"_cp), std::string(70000, 'z'));

  options.type = 42;
  options.out = in() + "private.upp";
  options.modules.clear();
  PackPackage(SystemHost(), OfficeSigner(), options);
  EXPECT_TRUE(MakeIntake().CheckPackage("private.upp", kPrivateUpdateType));

  options.type = 41;
  options.old_version.reset();
  EXPECT_THROW(PackPackage(SystemHost(), OfficeSigner(), options), Exception);
  WriteFile(root_ / "payload/contents.xml", "<R/>");
  options.old_version = 1520;
  EXPECT_THROW(PackPackage(SystemHost(), OfficeSigner(), options), Exception);
}

// The clock moves at every look and SOURCE_DATE_EPOCH is what the test
// says: pack must depend on neither but the epoch.
class ReproducibleHost : public host::ForwardingHost {
 public:
  ReproducibleHost() : ForwardingHost(SystemHost()) {}
  TDateTime Now() override { return now_ += 1.0 / 24; }
  std::string GetEnvironmentVariable(const std::string& name) override {
    return name == "SOURCE_DATE_EPOCH" ? epoch : ForwardingHost::GetEnvironmentVariable(name);
  }
  std::string epoch;

 private:
  TDateTime now_ = 45000;
};

TEST_F(Intake, PackIsReproducibleAndForPharmaciesEqualsOnePackEach) {
  WriteFile(root_ / "payload/Scripts/Numbers/1521.sql", "select 1;");
  WriteFile(root_ / "payload/bin/Korvel.exe", std::string(300000, 'k'));
  SystemHost().SetFileWriteTime(root_ / "payload/bin/Korvel.exe", EncodeDateTime({2024, 5, 6, 7, 8, 10, 0}));
  SystemHost().SetFileWriteTime(root_ / "payload/Scripts/Numbers/1521.sql", EncodeDateTime({2024, 1, 2, 3, 4, 6, 0}));
  PackOptions options;
  options.old_version = 1520;
  options.new_version = 1521;
  options.payload_dir = root_ / "payload";
  ReproducibleHost host;
  const auto pack = [&](int chain, int pharmacy, const std::string& out) {
    options.pred_id = chain;
    options.to = pharmacy;
    options.out = out;
    PackPackage(host, OfficeSigner(), options);
    return ReadFile(out);
  };
  const std::string first = pack(7, 15, root_ / "one.upd");
  EXPECT_EQ(pack(7, 15, root_ / "again.upd"), first);
  // contents.xml is dated by the newest file, or by the epoch in UTC.
  const auto manifest_time = [&](const std::string& path) {
    auto file = SystemHost().OpenFile(path, host::OpenMode::kRead, host::ShareMode::kRead);
    return FormatDateTime("dd.mm.yyyy hh:nn:ss", ZipReader::Open(*file)->Entries().at(0).time);
  };
  EXPECT_EQ(manifest_time(root_ / "one.upd"), "06.05.2024 07:08:10");
  host.epoch = "1700000000";
  EXPECT_NE(pack(7, 15, root_ / "epoch.upd"), first);
  EXPECT_EQ(manifest_time(root_ / "epoch.upd"), "14.11.2023 22:13:20");
  host.epoch = "yesterday";
  EXPECT_THROW(pack(7, 15, root_ / "bad.upd"), Exception);
  host.epoch.clear();

  const std::vector<Pharmacy> chain = {{7, 15}, {7, 1}, {12, 1234}};
  EXPECT_EQ(PackForPharmacies(host, OfficeSigner(), options, chain, root_ / "chain"), 2);
  std::vector<std::string> files;
  SystemHost().ListFiles(root_ / "chain", "*", files);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"0007001.upd", "0007015.upd", "00121234.upd"}));
  for (const Pharmacy& p : chain) {
    const std::string name = PharmacyFileName(p, ".upd");
    EXPECT_EQ(ReadFile(root_ / ("chain/" + name)), pack(p.chain, p.pharmacy, root_ / name)) << name;
  }
  SystemHost().CopyFile(root_ / "chain/0007015.upd", in() + "0007015.upd");
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "0007015.upd");
  EXPECT_EQ(ReadFile(tmp() + "bin/Korvel.exe"), std::string(300000, 'k'));
}

TEST(PharmacyList, LinesAndTheirFaults) {
  EXPECT_EQ(ReadPharmacyList("# chain 12\r\n12;1\r\n\r\n 12 ; 005 \n7;100", "l.txt"),
            (std::vector<Pharmacy>{{12, 1}, {12, 5}, {7, 100}}));
  EXPECT_TRUE(ReadPharmacyList("", "l.txt").empty());
  for (const auto& [text, message] : std::initializer_list<std::pair<const char*, const char*>>{
           {"12;1\n12", "l.txt:2: not CHAIN;PHARMACY (two numbers): 12"},
           {"12;1;3", "l.txt:1: not CHAIN;PHARMACY (two numbers): 12;1;3"},
           {"a;1", "l.txt:1: not CHAIN;PHARMACY (two numbers): a;1"},
           {"12;-1", "l.txt:1: not CHAIN;PHARMACY (two numbers): 12;-1"},
           {"12;$1F", "l.txt:1: not CHAIN;PHARMACY (two numbers): 12;$1F"},
           {"12;99999999999", "l.txt:1: not CHAIN;PHARMACY (two numbers): 12;99999999999"},
           {"12;1\n#\n12;001", "l.txt:3: pharmacy 12;001 is listed already on line 1"},
       }) {
    try {
      ReadPharmacyList(text, "l.txt");
      ADD_FAILURE() << text;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST_F(Intake, ManifestOfPackListsEveryFileWithBackslashes) {
  PackOptions options;
  options.type = 41;
  options.pred_id = 1;
  options.to = 2;
  options.old_version = 3;
  options.new_version = 4;
  options.modules = {"2", "200"};
  EXPECT_EQ(MakeManifest(options, {{"a.txt", 3}, {"Scripts\\Numbers\\5.sql", 0}}),
            "<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\" ?>\r\n"
            "<PACKAGE TYPE=\"41\" PRED_ID=\"1\" TO=\"2\" OLD_VERNO=\"3\" NEW_VERNO=\"4\">\r\n"
            "  <FILES>\r\n"
            "    <FILE NAME=\"a.txt\" SIZE=\"3\"/>\r\n"
            "    <FILE NAME=\"Scripts\\Numbers\\5.sql\" SIZE=\"0\"/>\r\n"
            "  </FILES>\r\n"
            "  <MODULES>\r\n"
            "    <MODULE ID=\"2\"/>\r\n"
            "    <MODULE ID=\"200\"/>\r\n"
            "  </MODULES>\r\n"
            "</PACKAGE>\r\n");
}

// ---- The inbox scan ----

TEST_F(Intake, EmptyInboxLogsTheCountAndNothingElse) {
  WriteFile(in() + "private.upp", "x");
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "");
  EXPECT_EQ(log_, std::vector<std::string>{"Найдено файлов обновления 0"_cp});
  EXPECT_EQ(Inbox(), std::vector<std::string>{"private.upp"});
}

TEST_F(Intake, FirstValidPackageWinsTheOthersAreDeletedUnread) {
  Package("one.upd", Manifest(kGoodRoot, kGoodFiles));
  Package("two.upd", Manifest(kGoodRoot, kGoodFiles));
  Package("bad.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  WriteFile(in() + "keep.upp", "private");
  std::vector<std::string> order;
  SystemHost().ListFiles(in(), "*.upd", order);
  // The listing decides: the first valid name in it is taken.
  std::string first_valid;
  for (const std::string& name : order) {
    if (first_valid.empty() && name != "bad.upd") first_valid = name;
  }
  PackageIntake intake = MakeIntake();
  EXPECT_EQ(intake.FindUpdatePackage(), first_valid);
  EXPECT_EQ(intake.NewVersion, 1521);
  std::vector<std::string> kept = {first_valid, "keep.upp"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(Inbox(), kept);
  EXPECT_FALSE(SystemHost().FileExists(tmp() + "contents.xml"));

  std::vector<std::string> expected = {"Найдено файлов обновления 3"_cp};
  for (const std::string& name : order) {
    expected.push_back("Проверка файла "_cp + name);
    if (name == "bad.upd") {
      expected.push_back("Ошибка обработки файла bad.upd: "_cp + "Подпись не прошла проверку!"_cp);
      continue;
    }
    expected.push_back("Найден правильный пакет обновления "_cp + name);
    break;
  }
  EXPECT_EQ(log_, expected);
}

TEST_F(Intake, InvalidPackagesAreLoggedAndDeletedEvenReadOnly) {
  Package("a.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  Package("b.upd", Manifest("TYPE=\"41\" PRED_ID=\"7\" TO=\"15\" OLD_VERNO=\"1519\" NEW_VERNO=\"1520\"", kGoodFiles));
  host::FileAttributes read_only;
  read_only.read_only = true;
  SystemHost().SetAttributes(in() + "b.upd", read_only);
  WriteFile(in() + "c.UPD", "junk");
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "");
  EXPECT_EQ(Inbox(), std::vector<std::string>{});
  ASSERT_EQ(log_.size(), 8u);
  EXPECT_EQ(log_.front(), "Найдено файлов обновления 3"_cp);
  EXPECT_EQ(log_.back(), "Нет ни одного правильного пакета обновления"_cp);
  std::string all;
  for (const std::string& line : log_) all += cp1251::ToUtf8(line) + "\n";
  EXPECT_THAT(all, ::testing::HasSubstr("Ошибка обработки файла a.upd: Подпись не прошла проверку!\n"));
  // b.upd is read-only, so its signature check fails before the version.
  EXPECT_THAT(all, ::testing::HasSubstr("Ошибка обработки файла b.upd: Подпись не прошла проверку!\n"));
  EXPECT_THAT(all, ::testing::HasSubstr("Ошибка обработки файла c.UPD: Подпись не прошла проверку!\n"));
}

TEST_F(Intake, WrongVersionIsReportedAndDeleted) {
  Package("b.upd", Manifest("TYPE=\"41\" PRED_ID=\"7\" TO=\"15\" OLD_VERNO=\"1519\" NEW_VERNO=\"1520\"", kGoodFiles));
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "");
  EXPECT_EQ(cp1251::ToUtf8(log_[2]),
            "Ошибка обработки файла b.upd: Версия обновления OLD_VERNO=1519 не соответствует текущей версии 1520");
  EXPECT_EQ(Inbox(), std::vector<std::string>{});
}

// Only regular files are packages: a FIFO would block the run for ever.
TEST_F(Intake, WhatIsNotARegularFileFailsItsPackageAndTheScanGoesOn) {
  if (!MakeFifo(in() + "a.upd")) GTEST_SKIP() << "no FIFOs here";
  ASSERT_TRUE(MakeFifo(in() + "x.upp"));
  Package("b.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  ArmWatchdog(60);
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "");
  std::string all;
  for (const std::string& line : log_) all += cp1251::ToUtf8(line) + "\n";
  EXPECT_THAT(all, ::testing::HasSubstr("Ошибка обработки файла a.upd: Невозможно открыть файл \"" +
                                        cp1251::ToUtf8(in()) + "a.upd\". Код: 22: Не является обычным файлом\n"));
  EXPECT_THAT(all, ::testing::HasSubstr("Ошибка обработки файла b.upd: Подпись не прошла проверку!\n"));
  // The FIFO is cleared like any refused package.
  EXPECT_EQ(Inbox(), (std::vector<std::string>{"x.upp"}));
  // A private update goes through the same opening.
  EXPECT_EQ(Outcome("x.upp", kPrivateUpdateType),
            "Невозможно открыть файл \"" + cp1251::ToUtf8(in()) + "x.upp\". Код: 22: Не является обычным файлом");
  ArmWatchdog(0);
}

// On POSIX "twin.upd" and "TWIN.upd" are two files: both are examined or
// cleared, none is left behind unseen.
TEST_F(Intake, NamesDifferingInCaseAreTwoPackagesOnPosix) {
  if (host::kWindows) GTEST_SKIP() << "one file on Windows";
  Package("twin.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  Package("TWIN.upd", Manifest(kGoodRoot, kGoodFiles));
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "TWIN.upd");
  EXPECT_EQ(log_.front(), "Найдено файлов обновления 2"_cp);
  EXPECT_EQ(Inbox(), std::vector<std::string>{"TWIN.upd"});
}

// A name Windows-1251 cannot carry cannot be opened by the name the
// program knows: it is refused with a message saying why and deleted, not
// left in the inbox for ever.
TEST_F(Intake, NamesWindows1251CannotCarryAreRefusedAndDeleted) {
  Package("p.upd", Manifest(kGoodRoot, kGoodFiles));
  const std::string bytes = ReadFile(in() + "p.upd");
  SystemHost().DeleteFile(in() + "p.upd");
  WriteFileWithSystemName(in(), "\xE4\xB8\xAD.upd", bytes);  // U+4E2D
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "");
  EXPECT_EQ(log_, (std::vector<std::string>{"Найдено файлов обновления 1"_cp, "Проверка файла ?.upd"_cp,
                                            "Ошибка обработки файла ?.upd: "_cp + UnreachableNameMessage(),
                                            "Нет ни одного правильного пакета обновления"_cp}));
  EXPECT_EQ(Inbox(), std::vector<std::string>{});
}

// Tells the intake that the volume of TMP has `free` bytes left.
class FreeSpaceHost : public host::ForwardingHost {
 public:
  explicit FreeSpaceHost(std::int64_t free) : ForwardingHost(SystemHost()), free_(free) {}
  std::int64_t DiskFreeBytes(const std::string&) override { return free_; }

 private:
  std::int64_t free_;
};

// The package's private copy and its payload must both fit with room to
// spare before a byte is read: a sparse terabyte is refused at once.
TEST_F(Intake, PackageThatCouldFillTheVolumeIsRefusedUnread) {
  Package("p.upd", Manifest(kGoodRoot, kGoodFiles));
  const std::int64_t size = SystemHost().FileSize(in() + "p.upd");
  FreeSpaceHost tight(2 * size + kSpaceMargin - 1), enough(2 * size + kSpaceMargin);
  EXPECT_EQ(Outcome("p.upd", kUpdatePackageType, tight),
            "Недостаточно места на диске для пакета p.upd: размер пакета " + std::to_string(size) +
                " байт, свободно " + std::to_string(2 * size + kSpaceMargin - 1) +
                " байт, нужно не меньше двух размеров пакета и 134217728 байт");
  EXPECT_FALSE(SystemHost().FileExists(root_ / "TMP.package"));
  EXPECT_EQ(Outcome("p.upd", kUpdatePackageType, enough), "passed");

  WriteFile(in() + "huge.upd", "PK");
  std::error_code error;
  std::filesystem::resize_file(in() + "huge.upd", std::uintmax_t{1} << 40, error);
  if (error || SystemHost().DiskFreeBytes(tmp()) > (std::int64_t{1} << 41)) GTEST_SKIP() << "no sparse terabyte here";
  EXPECT_THAT(Outcome("huge.upd"),
              ::testing::StartsWith("Недостаточно места на диске для пакета huge.upd: размер пакета 1099511627776 байт"));
}

// A writer of the inbox (the mail agent's account) changes the package at
// one moment of its intake: before a byte is read, during the one pass of
// the check, after it. On POSIX its writes land (the lock on the handle is
// advisory); Windows refuses them while the handle is open. Either way
// only the office's bytes are ever unpacked: the check reads the package
// once and the archive is unpacked from the private copy of what it read.
class TamperingHost : public host::ForwardingHost {
 public:
  TamperingHost(std::string package, int at_read, std::function<void()> tamper)
      : ForwardingHost(SystemHost()), package_(std::move(package)), at_read_(at_read), tamper_(std::move(tamper)) {}

  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override {
    auto file = ForwardingHost::OpenFile(path, mode, share);
    if (path != package_) return file;
    return std::make_unique<Watched>(std::move(file), *this);
  }
  // The check is over and the payload not yet unpacked.
  void SetCurrentDirectory(const std::string& path) override {
    if (at_read_ == 0) Tamper();
    ForwardingHost::SetCurrentDirectory(path);
  }

 private:
  class Watched : public host::ForwardingFile {
   public:
    Watched(std::unique_ptr<host::File> file, TamperingHost& owner) : ForwardingFile(std::move(file)), owner_(owner) {}
    std::size_t Read(void* buffer, std::size_t size) override {
      if (++owner_.reads_ == owner_.at_read_) owner_.Tamper();
      return ForwardingFile::Read(buffer, size);
    }

   private:
    TamperingHost& owner_;
  };

  void Tamper() {
    if (!tampered_) tamper_();
    tampered_ = true;
  }

  std::string package_;
  int at_read_;
  std::function<void()> tamper_;
  int reads_ = 0;
  bool tampered_ = false;
};

TEST_F(Intake, WhatIsUnpackedIsWhatWasCheckedWhateverTheInboxWritersDo) {
  const auto archive = [](char fill) {
    RawEntry manifest;
    manifest.name = "contents.xml";
    manifest.data = Manifest(kGoodRoot, "<FILES><F NAME=\"big.bin\" SIZE=\"3000000\"/></FILES>");
    RawEntry big;
    big.name = "big.bin";
    big.data = std::string(3000000, fill);
    return BuildZip({manifest, big});
  };
  const std::string office = archive('A');
  const std::string package = in() + "p.upd";
  WriteFile(package, office);
  SignFile(SystemHost(), OfficeSigner(), package);
  const std::string signed_bytes = ReadFile(package);
  // The same length, a valid archive of other content, the office's trailer.
  const std::string twin = archive('B') + signed_bytes.substr(office.size());
  ASSERT_EQ(twin.size(), signed_bytes.size());
  const auto overwrite = [&] {
    std::ofstream out(package, std::ios::in | std::ios::out | std::ios::binary);
    out.write(twin.data(), static_cast<std::streamsize>(twin.size()));
  };
  // Reads 1 and 2 are the headers, 3 the trailer, 4 on the content's
  // blocks; 0 is after the check.
  int refused = 0;
  for (int at_read : {1, 2, 3, 4, 5, 6, 0}) {
    WriteFile(package, signed_bytes);
    bool private_copy_owner_only = host::kWindows || at_read != 0;
    TamperingHost host(package, at_read, [&] {
      overwrite();
      if (!host::kWindows && at_read == 0) {
        const auto perms = std::filesystem::status(root_ / "TMP.package").permissions();
        private_copy_owner_only = perms == (std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
      }
    });
    SystemHost().DeleteDirectoryTree(tmp(), true);
    const std::string outcome = Outcome("p.upd", kUpdatePackageType, host);
    if (outcome == "passed") {
      EXPECT_EQ(ReadFile(tmp() + "big.bin"), std::string(3000000, 'A')) << at_read;
    } else {
      EXPECT_EQ(outcome, "Подпись не прошла проверку!") << at_read;
      EXPECT_FALSE(SystemHost().FileExists(tmp() + "big.bin")) << at_read;
      ++refused;
    }
    if (at_read == 0) {
      EXPECT_EQ(outcome, "passed");
    }
    EXPECT_TRUE(private_copy_owner_only) << at_read;
    EXPECT_FALSE(SystemHost().FileExists(root_ / "TMP.package")) << at_read;
  }
  // The writes that land before the content is read make it a package the
  // office never signed.
  if (!host::kWindows) {
    EXPECT_GT(refused, 0);
  }

  // A text-signed file replaced by an unsigned archive right after its
  // check: the copy of the text is what is unpacked (nothing).
  if (host::kWindows) return;
  WriteFile(in() + "t.upd", "<?xml?>\r\n<PACKAGE TYPE=\"41\">\r\n</PACKAGE>\r\n");
  SignFile(SystemHost(), OfficeSigner(), in() + "t.upd");
  WriteFile(root_ / "unsigned.zip", office);
  TamperingHost swapper(in() + "t.upd", 0, [&] { SystemHost().MoveFile(root_ / "unsigned.zip", in() + "t.upd", false); });
  EXPECT_EQ(Outcome("t.upd", kUpdatePackageType, swapper), "Файл не является ZIP архивом или не содержит ни одного файла");
}

// Names from outside never start a log line of their own.
TEST_F(Intake, ControlCharactersOfInboxNamesAreShownEscaped) {
  if (host::kWindows) GTEST_SKIP() << "no such names on Windows";
  Package("a\r\n12:00:00 forged.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  EXPECT_EQ(MakeIntake().FindUpdatePackage(), "");
  EXPECT_EQ(log_[1], "Проверка файла a\\x0D\\x0A12:00:00 forged.upd"_cp);
  EXPECT_EQ(log_[2], "Ошибка обработки файла a\\x0D\\x0A12:00:00 forged.upd: Подпись не прошла проверку!"_cp);
}

// An error that is not a package's own ends the scan, and the inbox is
// still cleared of the others.
class FailingHost : public host::ForwardingHost {
 public:
  FailingHost() : ForwardingHost(SystemHost()) {}
  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override {
    if (path.find("boom") != std::string::npos) throw std::runtime_error("out of something");
    return ForwardingHost::OpenFile(path, mode, share);
  }
};

TEST_F(Intake, AnyOtherErrorPropagatesAfterTheInboxIsCleared) {
  Package("a.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  Package("boom.upd", Manifest(kGoodRoot, kGoodFiles));
  Package("c.upd", Manifest(kGoodRoot, kGoodFiles), kPayload, StrangerSigner());
  FailingHost host;
  PackageIntake intake = MakeIntake(host);
  EXPECT_THROW(intake.FindUpdatePackage(), std::runtime_error);
  EXPECT_EQ(Inbox(), std::vector<std::string>{});
}

// Private updates: every valid one is applied, in listing order, and
// deleted; an invalid one is logged and stays for the next run, also one
// that is no regular file or whose name Windows-1251 cannot carry.
TEST_F(Intake, EveryValidPrivateUpdateIsAppliedAndEveryInvalidOneKept) {
  const std::string kPrivateRoot = "TYPE=\"42\" PRED_ID=\"7\" TO=\"15\"";
  const auto files = [](const std::string& data) {
    return "<FILES><FILE NAME=\"Scripts\\_all\\x.sql\" SIZE=\"" + std::to_string(data.size()) + "\"/></FILES>";
  };
  Package("a.upp", Manifest(kPrivateRoot, files("first")), {{"Scripts\\_all\\x.sql", "first"}});
  Package("b.upp", Manifest(kPrivateRoot, files("second")), {{"Scripts\\_all\\x.sql", "second"}});
  Package("foreign.upp", Manifest(kPrivateRoot, files("x")), {{"Scripts\\_all\\x.sql", "x"}}, StrangerSigner());
  Package("other.upp", Manifest("TYPE=\"42\" PRED_ID=\"7\" TO=\"16\"", files("x")), {{"Scripts\\_all\\x.sql", "x"}});
  // An update package is no private update.
  Package("update.upp", Manifest(kGoodRoot, kGoodFiles));
  Package("skipped.upd", Manifest(kPrivateRoot, files("x")), {{"Scripts\\_all\\x.sql", "x"}});
  Package("valid.bin", Manifest(kPrivateRoot, files("x")), {{"Scripts\\_all\\x.sql", "x"}});
  WriteFileWithSystemName(in(), "\xE4\xB8\xAD.upp", ReadFile(in() + "valid.bin"));  // U+4E2D
  SystemHost().DeleteFile(in() + "valid.bin");
  const bool fifo = MakeFifo(in() + "pipe.upp");
  ASSERT_TRUE(fifo || host::kWindows);
  std::vector<host::DirEntry> order = SystemHost().ListFileEntries(in(), "*.upp");

  std::vector<std::string> applied;  // what the payload held at each move
  PackageIntake intake = MakeIntake();
  intake.NewVersion = 1521;
  intake.UpdateServer = true;
  ArmWatchdog(60);
  intake.RunPrivateUpdates([&] { applied.push_back(ReadFile(host::JoinPath(tmp(), "Scripts\\_all\\x.sql"))); });
  ArmWatchdog(0);

  std::vector<std::string> expected_log = {"Поиск частных обновлений ..."_cp,
                                           "Найдено файлов частных обновлений "_cp + std::to_string(order.size())};
  std::vector<std::string> expected_applied;
  for (const host::DirEntry& entry : order) {
    const std::string& name = entry.name;
    if (name == "a.upp" || name == "b.upp") {
      expected_log.push_back("Файл "_cp + name + " успешно обработан"_cp);
      expected_applied.push_back(name == "a.upp" ? "first" : "second");
      continue;
    }
    const std::string why = !entry.reachable()    ? UnreachableNameMessage()
                            : name == "foreign.upp" ? "Подпись не прошла проверку!"_cp
                            : name == "other.upp"   ? "Пакет предназначен для другой аптеки NODE_ID=16"_cp
                            : name == "update.upp"  ? "Не верный тип пакета (должен быть 42)"_cp
                                                    : "Невозможно открыть файл \""_cp + in() + name +
                                                        "\". Код: 22: Не является обычным файлом"_cp;
    expected_log.push_back("Ошибка обработки файла "_cp + name + ": " + why);
  }
  EXPECT_EQ(log_, expected_log);
  EXPECT_EQ(applied, expected_applied);
  std::vector<std::string> kept = {"?.upp", "foreign.upp", "other.upp", "skipped.upd", "update.upp"};
  if (fifo) kept.insert(kept.begin() + 3, "pipe.upp");
  EXPECT_EQ(Inbox(), kept);
  // An accepted update package's results stay as they were.
  EXPECT_EQ(intake.NewVersion, 1521);
  EXPECT_TRUE(intake.UpdateServer);
}

}  // namespace
}  // namespace korvel::packages
