#include "modules/module_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"

namespace korvel::modules {
namespace {

using namespace korvel::literals;
using testing::ReadFile;
using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;

constexpr char kSep = host::kPathDelim;

class ModuleEngine : public ::testing::Test {
 protected:
  // <MODULES><MODULE ID="2" Root="app"><FILES>files</FILES></MODULE></MODULES> + rest
  void Descriptor(std::string_view files, std::string_view rest = {}, std::string_view module_attrs = {}) {
    std::string attrs(module_attrs);
    if (attrs.empty()) attrs = "ID=\"2\" Root=\"" + app_ + "\"";
    WriteFile(distrib_, "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<DISTRIB>\r\n<MODULES><MODULE " + attrs +
                            "><FILES>" + std::string(files) + "</FILES></MODULE></MODULES>" + std::string(rest) +
                            "\r\n</DISTRIB>\r\n");
  }
  void Local(std::string_view vars) { WriteFile(local_, "<LOCAL><VARS>" + std::string(vars) + "</VARS></LOCAL>"); }

  // The action lines of one call.
  std::vector<std::string> Deploy(bool plan = false, std::int32_t module = 2) {
    std::vector<std::string> lines;
    DeployOptions options;
    options.plan = plan;
    options.on_action = [&](const DeployAction& a) { lines.push_back(DescribeAction(a)); };
    UpdateModule(SystemHost(), module, src_, distrib_, local_, options);
    return lines;
  }
  std::string Failure(bool plan = false, std::int32_t module = 2) {
    try {
      Deploy(plan, module);
    } catch (const Exception& e) {
      return e.Message();
    }
    ADD_FAILURE() << "no failure";
    return {};
  }
  // The destination the engine chose for a single FILE.
  std::string DestOf(std::string_view dest_attr, std::string_view rest = {}) {
    WriteFile(src_ + "bin" + kSep + "a.exe", "a");
    Descriptor("<DIR Source=\"bin\" Dest=\"" + std::string(dest_attr) + "\"><FILE Name=\"a.exe\"/></DIR>", rest);
    const std::vector<std::string> lines = Deploy(true);
    if (lines.size() != 1) return "?";
    return lines[0].substr(lines[0].find(" -> ") + 4);
  }
  std::string Copy(const std::string& from, const std::string& to) { return "copy " + from + " -> " + to; }

  TempDir dir_;
  std::string src_ = dir_ / "src\\";
  std::string app_ = dir_ / "app";
  std::string distrib_ = dir_ / "distrib.xml";
  std::string local_ = dir_ / "local.xml";
};

TEST_F(ModuleEngine, DirWithRootCopiesAndCreatesTheDirectory) {
  WriteFile(src_ + "bin" + kSep + "a.exe", "new");
  Descriptor("<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"a.exe\"/></DIR>");
  const std::string target = app_ + kSep + "bin" + kSep + "a.exe";
  EXPECT_EQ(Deploy(), std::vector<std::string>{Copy(src_ + "bin" + kSep + "a.exe", target)});
  EXPECT_EQ(ReadFile(target), "new");
  // A second run finds the copy with the source's size and time.
  EXPECT_EQ(Deploy(), std::vector<std::string>{"keep " + target + " (same size and time)"});
}

TEST_F(ModuleEngine, ModulesAreFoundByTheirExactNumberAndElementName) {
  Descriptor("", "", "ID=\"02\"");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nРаздел \"MODULES/MODULE[@ID=2]\" не найден!"_cp);
  EXPECT_EQ(Failure(false, 200), "Ошибка обновления модуля 200:\r\nРаздел \"MODULES/MODULE[@ID=200]\" не найден!"_cp);

  WriteFile(distrib_, "<R><MODULES><module ID=\"2\"><FILES/></module></MODULES></R>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nРаздел \"MODULES/MODULE[@ID=2]\" не найден!"_cp);
  WriteFile(distrib_, "<R><MODULES><MODULE ID=\"2\"><FILE/></MODULE></MODULES></R>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nРаздел \"FILES\" не найден!"_cp);

  // Every other name is matched without regard to letter case.
  WriteFile(src_ + "bin" + kSep + "a.exe", "a");
  WriteFile(distrib_, "<r><modules><MODULE id=\"2\" root=\"" + app_ +
                          "\"><files><DIR Source=\"bin\" dest=\"%prg\"><FILE name=\"a.exe\" replace=\"1\"/></DIR>"
                          "</files></MODULE></modules><vars><Prg value=\"" + app_ + "\"/></vars></r>");
  EXPECT_EQ(Deploy(true), std::vector<std::string>{Copy(src_ + "bin" + kSep + "a.exe", app_ + kSep + "a.exe")});
}

TEST_F(ModuleEngine, VariableTailsAreAppendedAsWritten) {
  const std::string prog = dir_ / "Prog";
  EXPECT_EQ(DestOf("%prg\\bin", "<VARS><PRG Value=\"" + prog + "\"/></VARS>"), prog + kSep + "bin" + kSep + "a.exe");
  // A value that ends in a backslash gives a doubled one.
  EXPECT_EQ(DestOf("%PRG\\bin", "<VARS><PRG Value=\"" + prog + "\\\"/></VARS>"),
            prog + kSep + kSep + "bin" + kSep + "a.exe");
}

TEST_F(ModuleEngine, LocalVariablesOverrideTheDescriptorsUnlessEmpty) {
  const std::string mine = dir_ / "mine", theirs = dir_ / "theirs";
  WriteFile(src_ + "bin" + kSep + "a.exe", "a");
  const std::string vars = "<VARS><PRG Value=\"" + theirs + "\"/><OTHER Value=\"" + theirs + "\"/></VARS>";
  Descriptor("<DIR Source=\"bin\" Dest=\"%PRG\"><FILE Name=\"a.exe\"/></DIR>", vars);
  EXPECT_EQ(Deploy(true)[0], Copy(src_ + "bin" + kSep + "a.exe", theirs + kSep + "a.exe"));
  Local("<prg Value=\"" + mine + "\"/>");
  EXPECT_EQ(Deploy(true)[0], Copy(src_ + "bin" + kSep + "a.exe", mine + kSep + "a.exe"));
  Local("<PRG Value=\"\"/>");
  EXPECT_EQ(Deploy(true)[0], Copy(src_ + "bin" + kSep + "a.exe", theirs + kSep + "a.exe"));

  // Only the VARS of local.xml are read, and what was resolved is reported.
  Local("<PRG Value=\"" + mine + "\"/></VARS><MODULES><MODULE ID=\"2\"/></MODULES><VARS>");
  std::vector<ResolvedVariable> seen;
  DeployOptions options;
  options.plan = true;
  options.on_variable = [&](const ResolvedVariable& v) { seen.push_back(v); };
  UpdateModule(SystemHost(), 2, src_, distrib_, local_, options);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "PRG");
  EXPECT_EQ(seen[0].value, mine);
  EXPECT_EQ(seen[0].origin, "local.xml");
}

TEST_F(ModuleEngine, RootIsTheModulesAttributeNotAVariable) {
  const std::string other = dir_ / "other";
  EXPECT_EQ(DestOf("%ROOT", "<VARS><ROOT Value=\"" + other + "\"/></VARS>"), app_ + kSep + "a.exe");

  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"a.exe\"/></DIR>",
             "<VARS><ROOT Value=\"" + other + "\"/></VARS>", "ID=\"2\"");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nПеременная %ROOT не найдена.\r\nСтек поиска переменной:\r\nROOT"
                       "\r\nСтек обработки:\r\n<DIR Source=\"bin\" Dest=\"%ROOT\\bin\">"_cp);

  // There is no closing "%".
  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT%\\x\"><FILE Name=\"a.exe\"/></DIR>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nПеременная %ROOT% не найдена.\r\nСтек поиска переменной:\r\n"
                       "ROOT%\r\nСтек обработки:\r\n<DIR Source=\"bin\" Dest=\"%ROOT%\\x\">"_cp);
}

TEST_F(ModuleEngine, VariableChainsAndCycles) {
  const std::string base = dir_ / "base";
  EXPECT_EQ(DestOf("%A\\x", "<VARS><A Value=\"%B\\sub\"/><B Value=\"%C\"/><C Value=\"" + base + "\"/></VARS>"),
            base + kSep + "sub" + kSep + "x" + kSep + "a.exe");

  Descriptor("<DIR Source=\"bin\" Dest=\"%A\"><FILE Name=\"a.exe\"/></DIR>",
             "<VARS><A Value=\"%B\"/><B Value=\"%a\"/></VARS>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nОшибка поиска переменной %A. Закольцованная ссылка.\r\n"
                       "Стек поиска переменной:\r\nA\r\nB\r\nA\r\nСтек обработки:\r\n<DIR Source=\"bin\" Dest=\"%A\">"_cp);

  // The stack starts afresh for every Dest: two DIRs using the same
  // variable are no cycle.
  WriteFile(src_ + "bin" + kSep + "a.exe", "a");
  Descriptor("<DIR Source=\"bin\" Dest=\"%B\"><FILE Name=\"a.exe\"/></DIR>"
             "<DIR Source=\"bin\" Dest=\"%B\\x\"><FILE Name=\"a.exe\"/></DIR>",
             "<VARS><B Value=\"" + base + "\"/></VARS>");
  EXPECT_EQ(Deploy(true).size(), 2u);
}

TEST_F(ModuleEngine, BuiltInDirectories) {
  EXPECT_EQ(DestOf("%SYSTEM32"), SystemHost().SystemDirectory() + kSep + "a.exe");
  EXPECT_EQ(DestOf("%current\\x"), SystemHost().CurrentDirectory() + kSep + "x" + kSep + "a.exe");
}

TEST_F(ModuleEngine, ReplaceAndTheOneMinuteRule) {
  host::Host& host = SystemHost();
  const std::string source = src_ + "bin" + kSep + "a.exe";
  const std::string target = app_ + kSep + "a.exe";
  WriteFile(source, "new");
  const TDateTime base = EncodeDateTime(DateTimeParts{2024, 3, 1, 12, 0, 0, 0});
  host.SetFileWriteTime(source, base);
  const auto deploy = [&](std::string_view replace, std::string_view content, double seconds) {
    WriteFile(target, content);
    host.SetFileWriteTime(target, base + seconds / 86400);
    Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\"><FILE Name=\"a.exe\" " + std::string(replace) + "/></DIR>");
    const std::vector<std::string> lines = Deploy();
    return lines.size() == 1 ? lines[0] : "?";
  };
  const std::string copied = Copy(source, target), same = "keep " + target + " (same size and time)";
  EXPECT_EQ(deploy("Replace=\"0\"", "old content", 3600), "keep " + target + " (Replace=0)");
  EXPECT_EQ(ReadFile(target), "old content");
  EXPECT_EQ(deploy("Replace=\"2\"", "old", 3600), "keep " + target + " (Replace=0)");
  // Same size: less than a minute apart either way is the same file.
  EXPECT_EQ(deploy("", "old", 58), same);
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_EQ(deploy("Replace=\"1\"", "old", -58), same);
  EXPECT_EQ(deploy("", "old", 60), copied);
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(deploy("", "old", -60), copied);
  EXPECT_EQ(deploy("", "older", 0), copied);  // another size
  // A read-only target is replaced.
  WriteFile(target, "old!");
  host::FileAttributes attributes = *host.GetAttributes(target);
  attributes.read_only = true;
  host.SetAttributes(target, attributes);
  EXPECT_EQ(Deploy(), std::vector<std::string>{copied});
  EXPECT_EQ(ReadFile(target), "new");
}

TEST_F(ModuleEngine, MissingSourcesAreSkippedSilently) {
  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\"><FILE Name=\"none.exe\"/></DIR><FILE Name=\"none.exe\"/>");
  EXPECT_EQ(Deploy(), (std::vector<std::string>{"skip " + src_ + "bin" + kSep + "none.exe (missing)",
                                                "skip " + src_ + "none.exe (missing)"}));
  EXPECT_FALSE(SystemHost().DirectoryExists(app_));
}

TEST_F(ModuleEngine, FileListsKeepRelativePathsOwnFilesFirst) {
  for (const char* name : {"bin\\x.dll", "bin\\a.dll", "bin\\n.txt", "bin\\sub\\y.dll", "bin\\sub\\deep\\z.DLL"}) {
    WriteFile(dir_ / ("src\\" + std::string(name)), name);
  }
  const std::string bin = app_ + kSep + "bin" + kSep;
  Descriptor("<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\"><FILELIST Mask=\"*.dll\" Recurse=\"1\"/></DIR>");
  const std::vector<std::string> lines = Deploy();
  ASSERT_EQ(lines.size(), 4u);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(lines[i].find(kSep + std::string("sub")), std::string::npos) << lines[i];
  EXPECT_EQ(lines[2], Copy(src_ + "bin" + kSep + "sub" + kSep + "y.dll", bin + "sub" + kSep + "y.dll"));
  EXPECT_EQ(lines[3], Copy(src_ + "bin" + kSep + "sub" + kSep + "deep" + kSep + "z.DLL",
                           bin + "sub" + kSep + "deep" + kSep + "z.DLL"));
  EXPECT_EQ(ReadFile(bin + "sub" + kSep + "deep" + kSep + "z.DLL"), "bin\\sub\\deep\\z.DLL");
  EXPECT_FALSE(SystemHost().FileExists(bin + "n.txt"));

  SystemHost().DeleteDirectoryTree(app_, false);
  Descriptor("<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\"><FILELIST Mask=\"*.dll\" Recurse=\"0\"/></DIR>");
  EXPECT_EQ(Deploy().size(), 2u);
  EXPECT_FALSE(SystemHost().DirectoryExists(bin + "sub"));
}

TEST_F(ModuleEngine, FileSetsStartFromTheTopLevelDirectories) {
  WriteFile(src_ + "common" + kSep + "c.txt", "c");
  WriteFile(src_ + "bin" + kSep + "common" + kSep + "c.txt", "wrong");
  const std::string sets = "<FILESETS><COMMON><DIR Source=\"common\" Dest=\"" + app_ +
                           "\\common\"><FILE Name=\"c.txt\"/></DIR></COMMON><TOP><FILE Name=\"common\\c.txt\"/></TOP>"
                           "</FILESETS>";
  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\\bin\"><FILESET Name=\"common\"/></DIR>", sets);
  EXPECT_EQ(Deploy(), std::vector<std::string>{Copy(src_ + "common" + kSep + "c.txt",
                                                    app_ + kSep + "common" + kSep + "c.txt")});
  EXPECT_EQ(ReadFile(app_ + kSep + "common" + kSep + "c.txt"), "c");

  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\\bin\"><FILESET Name=\"COMMON2\"/></DIR>", sets);
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nРаздел \"FILESETS/COMMON2\" не найден!\r\nСтек обработки:\r\n"
                       "<FILESET Name=\"COMMON2\"/>\r\n<DIR Source=\"bin\" Dest=\"%ROOT\\bin\">"_cp);
  // local.xml has no sets of its own.
  Local("</VARS><FILESETS><COMMON2/></FILESETS><VARS>");
  EXPECT_NE(Failure().find("FILESETS/COMMON2"), std::string::npos);
}

TEST_F(ModuleEngine, FileSetsThatIncludeThemselvesStop) {
  Descriptor("<FILESET Name=\"A\"/>", "<FILESETS><A><FILESET Name=\"b\"/></A><B><FILESET Name=\"A\"/></B></FILESETS>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nОшибка применения набора файлов A. Закольцованная ссылка: "
                       "A -> b -> A.\r\nСтек обработки:\r\n<FILESET Name=\"A\"/>\r\n<FILESET Name=\"b\"/>\r\n"
                       "<FILESET Name=\"A\"/>"_cp);
  Descriptor("<FILESET Name=\"S\"/>", "<FILESETS><S><DIR Source=\"x\" Dest=\"y\"><FILESET Name=\"S\"/></DIR></S>"
                                      "</FILESETS>");
  EXPECT_EQ(Failure().find("Ошибка обновления модуля 2:\r\nОшибка применения набора файлов S. Закольцованная ссылка: "
                           "S -> S.\r\n"_cp),
            0u);
  // The same set twice in a row is no cycle.
  Descriptor("<FILESET Name=\"E\"/><FILESET Name=\"E\"/>", "<FILESETS><E/></FILESETS>");
  EXPECT_TRUE(Deploy().empty());
}

TEST_F(ModuleEngine, DescriptorsThatExpandWithoutEndStop) {
  // Each set includes the next one twice: 2^25 nodes without any cycle.
  std::string sets = "<FILESETS>";
  for (int i = 0; i < 25; ++i) {
    sets += "<S" + std::to_string(i) + "><FILESET Name=\"S" + std::to_string(i + 1) + "\"/><FILESET Name=\"S" +
            std::to_string(i + 1) + "\"/></S" + std::to_string(i) + ">";
  }
  sets += "<S25/></FILESETS>";
  Descriptor("<FILESET Name=\"S0\"/>", sets);
  EXPECT_EQ(Failure(true).find("Ошибка обновления модуля 2:\r\nСлишком много узлов обновления (более 1000000)\r\n"
                               "Стек обработки:\r\n"_cp),
            0u);
  // Sets nested deeper than a hundred levels.
  sets = "<FILESETS>";
  for (int i = 0; i < 150; ++i) sets += "<S" + std::to_string(i) + "><FILESET Name=\"S" + std::to_string(i + 1) + "\"/></S" + std::to_string(i) + ">";
  sets += "</FILESETS>";
  Descriptor("<FILESET Name=\"S0\"/>", sets);
  EXPECT_EQ(Failure().find("Ошибка обновления модуля 2:\r\nОшибка применения набора файлов S100. Наборы вложены "
                           "глубже 100 уровней.\r\n"_cp),
            0u);
}

TEST_F(ModuleEngine, UnknownNodesAndAttributes) {
  Descriptor("<!--note-->");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nНеизвестный тип узла #comment\r\nСтек обработки:\r\n<#comment/>"_cp);
  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\"><file Name=\"a.exe\"/></DIR>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nНеизвестный тип узла file\r\nСтек обработки:\r\n"
                       "<file Name=\"a.exe\"/>\r\n<DIR Source=\"bin\" Dest=\"%ROOT\">"_cp);
  Descriptor("<![CDATA[x]]>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nНеизвестный тип узла #cdata-section\r\nСтек обработки:\r\n"
                       "<#cdata-section/>"_cp);
  Descriptor("<FILE Name=\"\" Note=\"a&lt;b\"/>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nАтрибут \"Name\" не задан или имеет неверный формат.\r\n\r\n"
                       "Стек обработки:\r\n<FILE Name=\"\" Note=\"a&lt;b\"/>"_cp);
  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\"><FILELIST Mask=\"*\" Recurse=\"yes\"/></DIR>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nАтрибут \"Recurse\" не задан или имеет неверный формат.\r\n"
                       "'yes' is not a valid integer value\r\nСтек обработки:\r\n<FILELIST Mask=\"*\" Recurse=\"yes\"/>"
                       "\r\n<DIR Source=\"bin\" Dest=\"%ROOT\">"_cp);
  Descriptor("<DIR Source=\"bin\"/>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nАтрибут \"Dest\" не задан или имеет неверный формат.\r\n\r\n"
                       "Стек обработки:\r\n<DIR Source=\"bin\"/>"_cp);
}

TEST_F(ModuleEngine, AFailingCopyCarriesEveryLayerInOrder) {
  const std::string source = src_ + "bin" + kSep + "a.exe";
  WriteFile(source, "a");
  const std::string target = app_ + kSep + "bin" + kSep + "a.exe";
  SystemHost().ForceDirectoriesOrFail(target);  // a directory where the file should go
  Descriptor("<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"a.exe\"/></DIR>");
  const std::string message = Failure();
  const std::string head = "Ошибка обновления модуля 2:\r\nОшибка копирования файла "_cp + source + " в "_cp + target +
                           ".\r\nКод: "_cp;
  EXPECT_EQ(message.substr(0, head.size()), head) << message;
  const std::string tail = "\r\nСтек обработки:\r\n<FILE Name=\"a.exe\"/>\r\n<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\">"_cp;
  ASSERT_GE(message.size(), tail.size());
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 5);
}

TEST_F(ModuleEngine, AFileDirectlyUnderFilesHasNoDirectory) {
  WriteFile(src_ + "a.exe", "a");
  Descriptor("<FILE Name=\"a.exe\"/>");
  const std::string expected = "Ошибка обновления модуля 2:\r\nНевозможно создать директорию \"\"\r\nСтек обработки:\r\n"
                               "<FILE Name=\"a.exe\"/>"_cp;
  EXPECT_EQ(Failure(), expected);
  EXPECT_EQ(Failure(true), expected);
}

TEST_F(ModuleEngine, FilesCopiedBeforeAFailureStay) {
  WriteFile(src_ + "bin" + kSep + "a.exe", "a");
  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\"><FILE Name=\"a.exe\"/><FILE Name=\"b.exe\" Replace=\"x\"/></DIR>");
  EXPECT_NE(Failure().find("Replace"), std::string::npos);
  EXPECT_TRUE(SystemHost().FileExists(app_ + kSep + "a.exe"));
}

TEST_F(ModuleEngine, DescriptorFailuresCarryTheModulePrefix) {
  EXPECT_EQ(Failure().find("Ошибка обновления модуля 2:\r\nCannot open file \""_cp), 0u);
  WriteFile(distrib_, "<R><A></B></R>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\nTag order error. Tag: \"A\" code: <R><A></B></R>"_cp);
  Descriptor("");
  WriteFile(local_, "<L b='x'/>");
  EXPECT_EQ(Failure(), "Ошибка обновления модуля 2:\r\n5 :Illegal symbol in XML:'"_cp);
}

TEST_F(ModuleEngine, APlanChangesNothingAndAgreesWithTheDeployment) {
  WriteFile(src_ + "bin" + kSep + "a.exe", "a");
  WriteFile(src_ + "bin" + kSep + "b.dll", "b");
  WriteFile(src_ + "bin" + kSep + "sub" + kSep + "c.dll", "c");
  WriteFile(app_ + kSep + "keep.dll", "k");
  // The same file twice: the second time the first copy is there.
  Descriptor("<DIR Source=\"bin\" Dest=\"%ROOT\"><FILE Name=\"a.exe\"/><FILE Name=\"a.exe\"/>"
             "<FILE Name=\"missing\"/><FILELIST Mask=\"*.dll\" Recurse=\"1\"/>"
             "<DIR Source=\"sub\" Dest=\"\\.\\sub\"><FILE Name=\"c.dll\" Replace=\"0\"/></DIR></DIR>");
  const std::vector<std::string> plan = Deploy(true);
  EXPECT_FALSE(SystemHost().FileExists(app_ + kSep + "a.exe"));
  EXPECT_FALSE(SystemHost().DirectoryExists(app_ + kSep + "sub"));
  const std::vector<std::string> real = Deploy();
  EXPECT_EQ(plan, real);
  ASSERT_EQ(real.size(), 6u);
  EXPECT_EQ(real[1], "keep " + app_ + kSep + "a.exe (same size and time)");
  EXPECT_EQ(real[5].substr(0, 5), "keep ");
  EXPECT_TRUE(SystemHost().FileExists(app_ + kSep + "sub" + kSep + "c.dll"));
}

TEST(ListFilesRecursive, DirectoryFilesFirstAndNoLinks) {
  TempDir dir;
  WriteFile(dir / "a.txt", "");
  WriteFile(dir / "s\\b.txt", "");
  WriteFile(dir / "s\\t\\c.txt", "");
  std::error_code error;
  std::filesystem::create_directory_symlink(std::filesystem::path(dir.path()), std::filesystem::path(dir / "s\\loop"),
                                            error);
  std::vector<std::string> files;
  ListFilesRecursive(SystemHost(), true, dir.path(), "*.txt", files);
  EXPECT_EQ(files, (std::vector<std::string>{dir / "a.txt", dir / "s\\b.txt", dir / "s\\t\\c.txt"}));
  files.clear();
  ListFilesRecursive(SystemHost(), false, dir / "s", "*", files);
  EXPECT_EQ(files, std::vector<std::string>{dir / "s\\b.txt"});
}

}  // namespace
}  // namespace korvel::modules
