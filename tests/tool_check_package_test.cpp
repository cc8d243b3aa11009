// korvel-tool check-package on packages made here: what it says of a good
// package, of each fault the utility refuses, of a descriptor and a script
// that would fail, and its exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "installation.h"
#include "packages/package_signer.h"
#include "packages/testing/office_keys.h"
#include "packages/zip_writer.h"

namespace korvel::testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using Files = std::map<std::string, std::string>;

constexpr const char* kVerdictGood = "verdict: the package would be applied\n";

// A module 2 that deploys bin\fbserver into <root>/Server.
std::string Descriptor(const std::string& root, const std::string& files = "<FILE Name=\"fbserver\"/>",
                       const std::string& rest = "") {
  return "<DISTRIB><MODULES><MODULE ID=\"2\" Root=\"" + root + "\"><FILES><DIR Source=\"bin\" Dest=\"%ROOT\\bin\">" +
         files + "</DIR></FILES></MODULE></MODULES>" + rest + "</DISTRIB>";
}

class CheckPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "office.pub", packages::testing::OfficeKeys().public_pem);
    payload_ = {{"distrib.xml", Descriptor(dir_ / "Server")},
                {"bin\\fbserver", "server 1521"},
                {"Scripts\\Numbers\\700.sql", "select 1 from rdb$database;\r\n"},
                {"Scripts\\Numbers\\701.sql", "create table U (B integer);\r\ncommit;\r\n"},
                {"Scripts\\Numbers\\702.sql", "update ORGANIZATION set SYSVERNO = 702;\r\ncommit;\r\n"}};
  }

  // The manifest korvel-tool pack would write for `files`, with `root`
  // attributes; `listed` overrides what FILES says.
  static std::string Manifest(const Files& files, const std::string& root =
                                                      "TYPE=\"41\" PRED_ID=\"12\" TO=\"5\" OLD_VERNO=\"1520\" "
                                                      "NEW_VERNO=\"1521\"",
                              const std::string& modules = "<MODULES><MODULE ID=\"2\"/></MODULES>") {
    std::string list;
    for (const auto& [name, data] : files) {
      list += "<FILE NAME=\"" + name + "\" SIZE=\"" + std::to_string(data.size()) + "\"/>";
    }
    return "<PACKAGE " + root + "><FILES>" + list + "</FILES>" + modules + "</PACKAGE>";
  }

  // A package signed by `signer` holding `manifest` (none when empty) and
  // `files`.
  std::string Package(const std::string& manifest, const Files& files,
                      const packages::SignatureSigner& signer = packages::testing::OfficeSigner(),
                      const std::string& extension = ".upd") {
    // Each package a file of its own: a test may make several first.
    const std::string path = dir_ / ("p" + std::to_string(++packages_) + extension);
    {
      packages::ZipWriter zip(SystemHost(), path);
      if (!manifest.empty()) zip.AddData("contents.xml", manifest);
      for (const auto& [file, data] : files) zip.AddData(file, data);
      zip.Close();
    }
    packages::SignFile(SystemHost(), signer, path);
    return path;
  }
  std::string Good() { return Package(Manifest(payload_), payload_); }

  ProgramResult Check(const std::string& package, std::vector<std::string> extra = {"--schema", "700"}) {
    std::vector<std::string> args = {"check-package", dir_ / "office.pub", package, "--pred", "12", "--to", "5",
                                     "--version", "1520"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProgramResult result = RunProgram(ToolProgram(), args);
    result.output = ConsoleUtf8(result.output);
    return result;
  }

  TempDir dir_;
  Files payload_;
  int packages_ = 0;
};

TEST_F(CheckPackage, AGoodPackageWouldBeAppliedAndNothingIsLeftBehind) {
  const std::string package = Good();
  const std::string bytes = ReadFile(package);
  const ProgramResult result = Check(package);
  EXPECT_EQ(result.exit_code, 0) << result.output << result.error;
  const std::string& out = result.output;
  EXPECT_THAT(out, HasSubstr("[signature, archive and manifest]\n  signature valid; 5 payload files"));
  EXPECT_THAT(out, HasSubstr("version 1520 -> 1521; the manifest lists module 2"));
  EXPECT_THAT(out, HasSubstr("  module 2:\n    copy "));
  EXPECT_THAT(out, HasSubstr("fbserver"));
  // 700 is applied already; 701 and 702 run in this order.
  EXPECT_THAT(out, HasSubstr("  due: 2\n  run 701.sql: check passed, 2 statements\n  run 702.sql: check passed"));
  EXPECT_THAT(out, HasSubstr("  skip 700.sql (not above schema 700)"));
  EXPECT_THAT(out, HasSubstr("version marker 001521.ver"));
  EXPECT_THAT(out, EndsWith(kVerdictGood));
  // The package is as it was, and nothing was deployed.
  EXPECT_EQ(ReadFile(package), bytes);
  EXPECT_FALSE(SystemHost().DirectoryExists(dir_ / "Server"));
}

TEST_F(CheckPackage, EachFaultOfThePackageSaysWhereAndWhy) {
  const auto without = [this](const std::string& name) {
    Files files = payload_;
    files.erase(name);
    return files;
  };
  struct Case {
    std::string package;
    std::vector<std::string> extra;
    std::string message;
  };
  Files bigger = payload_;
  bigger["bin\\fbserver"] += "!";
  const std::vector<Case> cases = {
      {Package(Manifest(payload_), payload_, packages::testing::StrangerSigner()), {}, "Подпись не прошла проверку!"},
      {Package("", payload_), {}, "В архиве отсутсвует файл contents.xml"},
      {Good(), {"--pred", "13"}, "Пакет предназначен для другой аптечной сети PRED_ID=12"},
      {Good(), {"--to", "6"}, "Пакет предназначен для другой аптеки NODE_ID=5"},
      {Good(), {"--version", "1519"}, "Версия обновления OLD_VERNO=1520 не соответствует текущей версии 1519"},
      {Package(Manifest(payload_, "TYPE=\"42\" PRED_ID=\"12\" TO=\"5\""), payload_), {}, "Не верный тип пакета (должен быть 41)"},
      {Package("<PACKAGE TYPE=\"41\" PRED_ID=\"12\" TO=\"5\" OLD_VERNO=\"1520\" NEW_VERNO=\"1521\"/>", payload_), {},
       "Раздел \"FILES\" не найден!"},
      {Package(Manifest(payload_), without("bin\\fbserver")), {},
       "Нарушена целостность пакета. Строка 3 файл bin\\fbserver:\n    Файл не найден"},
      {Package(Manifest(payload_), bigger), {}, "Нарушена целостность пакета. Строка 3 файл bin\\fbserver:\n    Не совпадает размер"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> extra = {"--schema", "700"};
    extra.insert(extra.end(), c.extra.begin(), c.extra.end());
    // The later option wins where a test changes one.
    const ProgramResult result = Check(c.package, extra);
    EXPECT_EQ(result.exit_code, 1) << c.message << "\n" << result.output;
    EXPECT_THAT(result.output, HasSubstr("FAILS: the utility stops here with:\n    " + c.message)) << result.output;
    EXPECT_THAT(result.output, HasSubstr("verdict: the package would fail at the package check: ")) << c.message;
  }
}

TEST_F(CheckPackage, ADescriptorOrAScriptThatWouldFailNamesTheStepAndTheUtilitysMessage) {
  struct Case {
    std::string relative, data;
    std::string step, message;
  };
  const std::vector<Case> cases = {
      {"distrib.xml", Descriptor(dir_ / "Server", "<FILE Name=\"fbserver\"/><COPY Name=\"x\"/>"),
       "the server update (module 2)", "Неизвестный тип узла COPY"},
      {"distrib.xml",
       "<DISTRIB><MODULES><MODULE ID=\"2\"><FILES><DIR Source=\"bin\" Dest=\"%NOWHERE\\bin\"/></FILES></MODULE>"
       "</MODULES></DISTRIB>",
       "the server update (module 2)", "Стек поиска переменной:"},
      {"distrib.xml",
       Descriptor(dir_ / "Server", "<FILESET Name=\"A\"/>", "<FILESETS><A><FILESET Name=\"B\"/></A><B><FILESET Name=\"A\"/></B></FILESETS>"),
       "the server update (module 2)", "Закольцованная ссылка: A -> B -> A."},
      {"Scripts\\Numbers\\702.sql", "update ORGANIZATION set SYSVERNO = 702;\r\nvacuum;\r\n",
       "the numbered scripts (702.sql)", "Ошибка разбора скрипта: vacuum Invalid statement"},
  };
  for (const Case& c : cases) {
    Files files = payload_;
    files[c.relative] = c.data;
    const ProgramResult result = Check(Package(Manifest(files), files));
    EXPECT_EQ(result.exit_code, 1) << result.output;
    EXPECT_THAT(result.output, HasSubstr(c.message)) << result.output;
    EXPECT_THAT(result.output, HasSubstr("verdict: the package would fail at " + c.step + ": ")) << result.output;
    // The verdict carries the whole message on its one line; the steps
    // after the failure are not reached.
    const std::string verdict = result.output.substr(result.output.rfind("verdict: "));
    EXPECT_THAT(verdict, HasSubstr(c.message));
    EXPECT_EQ(verdict.find('\n'), verdict.size() - 1) << verdict;
    EXPECT_THAT(result.output, HasSubstr("[working directory]\n  not reached: the run stops at " + c.step));
    EXPECT_THAT(result.output, Not(HasSubstr("deleted from the inbox")));
  }
}

TEST_F(CheckPackage, OptionalStepsAndPrivateUpdates) {
  // The converter, the launcher, a new executable; Classic at 1520.
  Files files = payload_;
  files["Utils\\AutoUpdate\\FB3_migrate\\FBConvert.exe"] = "MZ";
  files["Utils\\AutoUpdate\\TarnelSrv.exe"] = "MZ";
  files["Utils\\AutoUpdate\\Korvel.exe"] = "MZ";
  files["classic\\fb_inet_server.exe"] = "MZ";
  files["distrib.xml"] = "<DISTRIB><MODULES><MODULE ID=\"200\" Root=\"" + dir_ / "Classic" +
                         "\"><FILES><DIR Source=\"classic\" Dest=\"%ROOT\"><FILE Name=\"fb_inet_server.exe\"/></DIR>"
                         "</FILES></MODULE><MODULE ID=\"2\" Root=\"" + dir_ / "Server" +
                         "\"><FILES><DIR Source=\"bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"fbserver\"/></DIR></FILES>"
                         "</MODULE></MODULES></DISTRIB>";
  const std::string package = Package(Manifest(files), files);
  ProgramResult result = Check(package, {"--schema", "799", "--classic"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Utils\\AutoUpdate\\Korvel.exe: replaces the utility's executable"));
  EXPECT_THAT(result.output, HasSubstr("  module 200:\n    copy "));
  EXPECT_THAT(result.output, HasSubstr("runs (schema 799 is below 800): "));
  EXPECT_THAT(result.output, HasSubstr("\" 1\n"));
  EXPECT_THAT(result.output, HasSubstr("Utils\\AutoUpdate\\TarnelSrv.exe: every full run installs or updates"));
  result = Check(package, {"--schema", "800"});
  EXPECT_THAT(result.output, HasSubstr("not run: schema 800 is in the Firebird 3 format already"));
  EXPECT_THAT(result.output, Not(HasSubstr("module 200")));

  // A private update and the scripts it brings.
  const Files scripts = {{"Scripts\\_all\\x.sql", "/* PrivateScript {0B7D3C7E-6A1F-4A7B-9C55-1D2E3F405060} */\r\n"
                                                  "insert into T values (1);\r\ncommit;\r\n"},
                         {"Scripts\\_server\\plain.sql", "insert into T values (2);\r\n"}};
  const std::string upp = Package(Manifest(scripts, "TYPE=\"42\" PRED_ID=\"12\" TO=\"5\"", ""), scripts,
                                  packages::testing::OfficeSigner(), ".upp");
  result = RunProgram(ToolProgram(), {"check-package", dir_ / "office.pub", upp, "--pred", "12", "--to", "5"});
  result.output = ConsoleUtf8(result.output);
  EXPECT_EQ(result.exit_code, 0) << result.output << result.error;
  EXPECT_THAT(result.output, HasSubstr("(private update)"));
  EXPECT_THAT(result.output, HasSubstr("x.sql: {0B7D3C7E-6A1F-4A7B-9C55-1D2E3F405060}, runs unless SCRIPT_LOG"));
  EXPECT_THAT(result.output, HasSubstr("plain.sql: no PrivateScript marker on its first line"));
}

TEST_F(CheckPackage, UsageErrorsExitWith2) {
  const std::string package = Good();
  const std::string key = dir_ / "office.pub";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"check-package"},
           {"check-package", key, package},
           {"check-package", key, package, "--pred", "12", "--to", "5"},
           {"check-package", key, package, "--pred", "x", "--to", "5", "--version", "1520"},
           {"check-package", key, package, "--pred", "12", "--to", "5", "--version", "1520", "--bogus"},
       }) {
    EXPECT_EQ(RunProgram(ToolProgram(), args).exit_code, 2) << args.size();
  }
  // A key that is no key is a refused file, not a usage error.
  WriteFile(dir_ / "bad.pub", "no key");
  EXPECT_EQ(RunProgram(ToolProgram(), {"check-package", dir_ / "bad.pub", package, "--pred", "12", "--to", "5",
                                       "--version", "1520"})
                .exit_code,
            1);
}

}  // namespace
}  // namespace korvel::testing
