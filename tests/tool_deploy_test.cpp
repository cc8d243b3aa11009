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

// The plan says what the deployment then does, failures included: a FILE
// copied into a later FILELIST's source, a destination spelled with "..",
// a destination below a file or that is a directory.
TEST_F(ToolDeploy, ThePlanIsWhatTheDeploymentDoes) {
  const auto descriptor = [](const std::string& root, const std::string& nodes) {
    return "<DISTRIB><MODULES><MODULE ID=\"2\" Root=\"" + root + "\"><FILES>" + nodes +
           "</FILES></MODULE></MODULES></DISTRIB>";
  };
  struct Case {
    std::string name, root, nodes, in_root;  // in_root: a file or directory made below the root first
    bool directory;
    int exit_code;
  };
  const std::vector<Case> cases = {
      {"filelist", "a1",
       "<DIR Source=\"\\bin\" Dest=\"src\\staged\"><FILE Name=\"x.exe\"/></DIR>"
       "<DIR Source=\"\\staged\" Dest=\"%ROOT\\bin\"><FILELIST Mask=\"*.exe\"/></DIR>",
       "", false, 0},
      {"dotdot", "a2",
       "<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"x.exe\"/></DIR>"
       "<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\\..\\bin\"><FILE Name=\"x.exe\" Replace=\"0\"/></DIR>",
       "", false, 0},
      {"below a file", "a3", "<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"x.exe\"/></DIR>", "bin", false, 1},
      {"a directory", "a4", "<DIR Source=\"\\bin\" Dest=\"%ROOT\\bin\"><FILE Name=\"x.exe\"/></DIR>", "bin\\x.exe",
       true, 1},
  };
  WriteFile(dir_ / "src\\bin\\x.exe", "x");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SystemHost().DeleteDirectoryTree(dir_ / "src\\staged", false);
    if (c.directory) {
      SystemHost().ForceDirectoriesOrFail(dir_ / (c.root + "\\" + c.in_root));
    } else if (!c.in_root.empty()) {
      WriteFile(dir_ / (c.root + "\\" + c.in_root), "a file");
    }
    WriteFile(dir_ / "distrib.xml", descriptor(c.root, c.nodes));
    const std::map<std::string, std::string> before = Tree();
    const ToolRun plan = Run({"distrib.xml", "2", "src", "--plan"});
    EXPECT_EQ(Tree(), before);
    const ToolRun deployment = Run({"distrib.xml", "2", "src"});
    EXPECT_EQ(plan.exit_code, c.exit_code) << plan.err;
    EXPECT_EQ(deployment.exit_code, c.exit_code) << deployment.err;
    EXPECT_EQ(plan.out, deployment.out);
    EXPECT_EQ(plan.err, deployment.err);
  }
}

// A closed standard output never stops a deployment half-way: it goes on
// to its end and says so on standard error; a plan stops as a filter does.
TEST_F(ToolDeploy, AClosedStandardOutputNeverStopsTheWork) {
  if (host::kWindows) GTEST_SKIP() << "closes standard output with the POSIX shell";
  for (const char* name : {"a", "b", "c", "d", "e"}) WriteFile(dir_ / ("src\\bin\\" + std::string(name)), name);
  WriteFile(dir_ / "distrib.xml",
            "<D><MODULES><MODULE ID=\"2\" Root=\"app\"><FILES><DIR Source=\"\\bin\" Dest=\"%ROOT\">"
            "<FILELIST Mask=\"*\"/></DIR></FILES></MODULE></MODULES></D>");
  const auto closed = [&](const std::string& extra) {
    return testing::RunProgram("/bin/sh", {"-c", "\"$0\" deploy distrib.xml 2 src" + extra + " >&-", testing::ToolProgram()},
                               dir_.path());
  };
  const testing::ProgramResult plan = closed(" --plan");
  EXPECT_EQ(plan.exit_code, 0) << plan.error;
  EXPECT_FALSE(SystemHost().DirectoryExists(dir_ / "app"));
  const testing::ProgramResult deployment = closed("");
  EXPECT_EQ(deployment.exit_code, 1);
  EXPECT_EQ(deployment.error, "deploy: standard output was closed; the report was cut short\n");
  for (const char* name : {"a", "b", "c", "d", "e"}) EXPECT_EQ(ReadFile(dir_ / ("app\\" + std::string(name))), name);
}

// A name Windows-1251 cannot carry is said to be never copied, not missing.
TEST_F(ToolDeploy, ANameWithoutAWindows1251FormIsNeverCopied) {
  if (host::kWindows) GTEST_SKIP() << "makes the name with the POSIX shell";
  WriteFile(dir_ / "src\\bin\\a.dll", "a");
  ASSERT_EQ(testing::RunProgram("/bin/sh", {"-c", "echo x > src/bin/\xe4\xb8\xad.dll"}, dir_.path()).exit_code, 0);
  WriteFile(dir_ / "distrib.xml",
            "<D><MODULES><MODULE ID=\"2\" Root=\"app\"><FILES><DIR Source=\"\\bin\" Dest=\"%ROOT\">"
            "<FILELIST Mask=\"*.dll\"/></DIR></FILES></MODULE></MODULES></D>");
  const ToolRun run = Run({"distrib.xml", "2", "src"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("copy src/bin/a.dll -> app/a.dll\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("skip src/bin/?.dll (its name has no Windows-1251 form; never copied)\n"), std::string::npos)
      << run.out;
}

TEST_F(ToolDeploy, UsageErrors) {
  EXPECT_EQ(Run({"distrib.xml", "2"}).exit_code, 2);
  EXPECT_EQ(Run({"distrib.xml", "two", "src"}).exit_code, 2);
  EXPECT_EQ(Run({"distrib.xml", "2", "src", "--force"}).exit_code, 2);
  const ToolRun no_value = Run({"distrib.xml", "2", "src", "--local"});
  EXPECT_EQ(no_value.exit_code, 2);
  EXPECT_EQ(no_value.err.rfind("deploy: --local needs a value\nUsage: korvel-tool deploy ", 0), 0u) << no_value.err;
  EXPECT_EQ(Run({"distrib.xml", "2", "nowhere"}).err.rfind("deploy: SOURCE_DIR nowhere is no directory\n", 0), 0u);
  // A file that does not parse is named; --local=FILE is --local FILE.
  WriteFile(dir_ / "src\\a", "a");
  WriteFile(dir_ / "distrib.xml", "<R><MODULES><MODULE ID=\"2\"><FILES/></MODULE></MODULES></R>");
  WriteFile(dir_ / "local.xml", "<LOCAL></VARS>");
  const ToolRun bad_local = Run({"distrib.xml", "2", "src", "--local=local.xml"});
  EXPECT_EQ(bad_local.exit_code, 1);
  EXPECT_EQ(bad_local.err.rfind("local.xml: ", 0), 0u) << bad_local.err;
  const ToolRun help = Run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("keep DEST (Replace=0)"), std::string::npos);
}

}  // namespace
}  // namespace korvel
