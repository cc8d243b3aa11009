// Drives the built korvel-tool deploy: a plan and a deployment of the same
// descriptor agree, and failures come with the utility's message.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"
#include "installation.h"

namespace korvel {
namespace {

using namespace korvel::literals;
using testing::ReadFile;
using testing::SystemHost;
using testing::WriteFile;

struct ToolRun {
  int exit_code = -1;
  std::string out;  // UTF-8, LF
  std::string err;
};

constexpr char kSep = host::kPathDelim;

class ToolDeploy : public ::testing::Test {
 protected:
  ToolRun Run(std::vector<std::string> args) {
    args.insert(args.begin(), "deploy");
    const testing::ProgramResult result = testing::RunProgram(testing::ToolProgram(), args, dir_.path());
    return ToolRun{result.exit_code, testing::ConsoleUtf8(result.output), testing::ConsoleUtf8(result.error)};
  }
  // Every file below the directory with its content.
  std::map<std::string, std::string> Tree() {
    std::vector<std::string> files;
    ListAll(dir_.path(), files);
    std::map<std::string, std::string> tree;
    for (const std::string& file : files) tree[file] = ReadFile(file);
    return tree;
  }
  void ListAll(const std::string& dir, std::vector<std::string>& files) {
    std::vector<std::string> names, subdirs;
    SystemHost().ListFiles(dir, "*", names);
    for (const std::string& name : names) files.push_back(dir + name);
    SystemHost().ListSubdirectories(dir, subdirs);
    for (const std::string& sub : subdirs) ListAll(dir + sub + kSep, files);
  }
  std::string Utf8(const std::string& text) { return cp1251::ToUtf8(text); }

  testing::TempDir dir_;
};

TEST_F(ToolDeploy, PlanAndDeploymentAgree) {
  host::Host& host = SystemHost();
  for (const char* name : {"src\\bin\\a.exe", "src\\bin\\same.dll", "src\\bin\\x.dll", "src\\bin\\sub\\y.dll",
                           "src\\lib\\c.txt", "src\\bin\\kept.exe"}) {
    WriteFile(dir_ / name, std::string("new ") + name);
  }
  // Already deployed: one identical file, one to keep whatever it holds.
  WriteFile(dir_ / "app\\bin\\same.dll", "new src\\bin\\same.dll");
  host.SetFileWriteTime(dir_ / "app\\bin\\same.dll", host.GetFileDateTime(dir_ / "src\\bin\\same.dll"));
  WriteFile(dir_ / "app\\bin\\kept.exe", "old");
  WriteFile(dir_ / "distrib.xml",
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<DISTRIB>\r\n"
            "<MODULES><MODULE ID=\"2\" Root=\"app\"><FILES>\r\n"
            "  <DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\">\r\n"
            "    <FILE Name=\"a.exe\"/><FILE Name=\"kept.exe\" Replace=\"0\"/><FILE Name=\"gone.exe\"/>\r\n"
            "    <FILELIST Mask=\"*.dll\" Recurse=\"1\"/>\r\n"
            "    <FILESET Name=\"LIB\"/>\r\n"
            "  </DIR>\r\n"
            "</FILES></MODULE></MODULES>\r\n"
            "<FILESETS><LIB><DIR Source=\"lib\" Dest=\"%LIBDIR\"><FILE Name=\"c.txt\"/></DIR></LIB></FILESETS>\r\n"
            "<VARS><LIBDIR Value=\"nowhere\"/></VARS>\r\n</DISTRIB>\r\n");
  WriteFile(dir_ / "local.xml", "<LOCAL><VARS><LIBDIR Value=\"%ROOT\\lib\"/></VARS></LOCAL>");

  const std::map<std::string, std::string> before = Tree();
  const ToolRun plan = Run({"distrib.xml", "2", "src", "--plan", "--local", "local.xml"});
  EXPECT_EQ(plan.exit_code, 0) << plan.err;
  EXPECT_EQ(Tree(), before);
  EXPECT_FALSE(host.DirectoryExists(dir_ / "app\\lib"));

  const ToolRun real = Run({"distrib.xml", "2", "src", "--local", "local.xml"});
  EXPECT_EQ(real.exit_code, 0) << real.err;
  EXPECT_EQ(real.out, plan.out);
  const std::string s(1, kSep);
  const std::string bin = "src" + s + "bin" + s, app = "app" + s + "bin" + s;
  const std::vector<std::string> lines = SplitString(plan.out, '\n');
  ASSERT_EQ(lines.size(), 10u) << plan.out;
  EXPECT_EQ(lines[0], "copy " + bin + "a.exe -> " + app + "a.exe");
  EXPECT_EQ(lines[1], "keep " + app + "kept.exe (Replace=0)");
  EXPECT_EQ(lines[2], "skip " + bin + "gone.exe (missing)");
  // The directory's own files in the file system's order, then the subdirectory's.
  const std::set<std::string> own = {lines[3], lines[4]};
  EXPECT_EQ(own, (std::set<std::string>{"keep " + app + "same.dll (same size and time)",
                                        "copy " + bin + "x.dll -> " + app + "x.dll"}));
  EXPECT_EQ(lines[5], "copy " + bin + "sub" + s + "y.dll -> " + app + "sub" + s + "y.dll");
  EXPECT_EQ(lines[6], "copy src" + s + "lib" + s + "c.txt -> app" + s + "lib" + s + "c.txt");
  EXPECT_EQ(lines[7], "variable ROOT = app (built-in)");
  EXPECT_EQ(lines[8], "variable LIBDIR = %ROOT\\lib (local.xml)");
  EXPECT_EQ(lines[9], "");

  // Exactly the files listed as copied changed, each to its source.
  std::map<std::string, std::string> expected = before;
  for (const std::string& line : SplitString(plan.out, '\n')) {
    if (!line.starts_with("copy ")) continue;
    const std::size_t arrow = line.find(" -> ");
    const std::string from = dir_.path() + cp1251::FromUtf8(line.substr(5, arrow - 5));
    expected[dir_.path() + cp1251::FromUtf8(line.substr(arrow + 4))] = ReadFile(from);
  }
  EXPECT_EQ(Tree(), expected);

  // Deployed once, a plan finds nothing left to copy.
  const ToolRun again = Run({"distrib.xml", "2", "src", "--plan", "--local", "local.xml"});
  EXPECT_EQ(again.out.find("copy "), std::string::npos) << again.out;
}

TEST_F(ToolDeploy, FailuresPrintTheUtilitysMessage) {
  WriteFile(dir_ / "src\\bin\\a.exe", "a");
  WriteFile(dir_ / "distrib.xml",
            "<R><MODULES><MODULE ID=\"2\" Root=\"app\"><FILES><DIR Source=\"bin\" Dest=\"%ROOT\">"
            "<FILE Name=\"a.exe\"/><DIR Source=\"x\" Dest=\"%PRG\\x\"/></DIR></FILES></MODULE></MODULES>"
            "<VARS><PRG Value=\"%Ё\"/></VARS></R>"_cp);
  for (const bool plan : {true, false}) {
    std::vector<std::string> args = {"distrib.xml", "2", "src"};
    if (plan) args.push_back("--plan");
    const ToolRun run = Run(args);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "copy src" + std::string(1, kSep) + "bin" + kSep + "a.exe -> app" + kSep +
                           "a.exe\nvariable ROOT = app (built-in)\nvariable PRG = %Ё (distrib.xml)\n");
    EXPECT_EQ(run.err, "Ошибка обновления модуля 2:\nПеременная %Ё не найдена.\nСтек поиска переменной:\nЁ\nPRG\n"
                       "Стек обработки:\n<DIR Source=\"x\" Dest=\"%PRG\\x\"/>\n<DIR Source=\"bin\" Dest=\"%ROOT\">\n");
  }
  EXPECT_TRUE(SystemHost().FileExists(dir_ / "app\\a.exe"));

  const ToolRun missing = Run({"none.xml", "2", "src"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err.rfind("Ошибка обновления модуля 2:\nCannot open file", 0), 0u) << missing.err;
}

TEST_F(ToolDeploy, UsageErrors) {
  EXPECT_EQ(Run({"distrib.xml", "2"}).exit_code, 2);
  EXPECT_EQ(Run({"distrib.xml", "two", "src"}).exit_code, 2);
  EXPECT_EQ(Run({"distrib.xml", "2", "src", "--force"}).exit_code, 2);
  const ToolRun help = Run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("keep DEST (Replace=0)"), std::string::npos);
}

}  // namespace
}  // namespace korvel
