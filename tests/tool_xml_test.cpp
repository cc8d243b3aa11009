// Drives the built korvel-tool through its XML commands.
#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "installation.h"

namespace korvel {
namespace {

using namespace korvel::literals;

struct ToolRun {
  int exit_code = -1;
  std::string out;  // standard output as it reads on Linux (UTF-8, LF)
  std::string err;
  std::string raw;  // the bytes of standard output
};

ToolRun RunTool(const std::vector<std::string>& args) {
  const testing::ProgramResult result = testing::RunProgram(testing::ToolProgram(), args);
  ToolRun run;
  run.exit_code = result.exit_code;
  run.out = testing::ConsoleUtf8(result.output);
  run.err = testing::ConsoleUtf8(result.error);
  run.raw = result.output;
  return run;
}

class ToolXml : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, std::string_view content) {
    const std::string path = dir_ / name;
    testing::WriteFile(path, content);
    return path;
  }
  ToolRun Run(const std::vector<std::string>& args) { return RunTool(args); }

  testing::TempDir dir_;
};

TEST_F(ToolXml, CheckPrintsOkOrTheParsersMessage) {
  const ToolRun ok = Run({"xml-check", Write("ok.xml", "<?xml version=\"1.0\"?>\r\n<R><A/></R>")});
  EXPECT_EQ(ok.exit_code, 0);
  EXPECT_EQ(ok.out, "OK\n");

  // A failure goes to standard error after the file's name.
  const ToolRun bad = Run({"xml-check", Write("bad.xml", "<a></b>")});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, (dir_ / "bad.xml") + ": Tag order error. Tag: \"a\" code: <a></b>\n");

  // Messages reach the console in its encoding (UTF-8 here).
  const ToolRun comment = Run({"xml-check", Write("comment.xml", "<a><!-- open")});
  EXPECT_EQ(comment.exit_code, 1);
  EXPECT_EQ(comment.err, (dir_ / "comment.xml") + ": Не найден конец комментария\n");

  std::string nested;
  for (int i = 0; i < 3000; ++i) nested += "<a>";
  const ToolRun deep = Run({"xml-check", Write("deep.xml", nested)});
  EXPECT_EQ(deep.exit_code, 1);
  EXPECT_EQ(deep.err, (dir_ / "deep.xml") + ": XML nesting too deep (more than 1000 levels)\n");

  const ToolRun missing = Run({"xml-check", dir_ / "missing.xml"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err.rfind("Cannot open file \"" + (dir_ / "missing.xml") + "\".", 0), 0u) << missing.err;
}

TEST_F(ToolXml, SelectPrintsTheNodeAndItsText) {
  const std::string file = Write("doc.xml", "<R><A n=\"1\"/><A n=\"2\"><B>t &amp; u</B></A><Товар>мыло</Товар></R>"_cp);
  const ToolRun second = Run({"xml-select", file, "A[1]"});
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.out, "<A n=\"2\"><B>t &amp; u</B></A>\n\n");
  EXPECT_EQ(Run({"xml-select", file, "//B"}).out, "<B>t &amp; u</B>\nt & u\n");
  EXPECT_EQ(Run({"xml-select", file, "A[1]/@n"}).out, "n=\"2\"\n2\n");
  EXPECT_EQ(Run({"xml-select", file, "Товар"}).out, "<Товар>мыло</Товар>\nмыло\n");

  const ToolRun none = Run({"xml-select", file, "FILES"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, file + ": Раздел \"FILES\" не найден!\n");

  // Names are looked up without letter case only when asked.
  EXPECT_EQ(Run({"xml-select", file, "товар"}).exit_code, 1);
  EXPECT_EQ(Run({"xml-select", file, "товар", "--ignore-case"}).out, "<Товар>мыло</Товар>\nмыло\n");

  const ToolRun bad_index = Run({"xml-select", file, "A[2x]"});
  EXPECT_EQ(bad_index.exit_code, 1);
  EXPECT_EQ(bad_index.err, file + ": '2x' is not a valid integer value\n");
  EXPECT_EQ(Run({"xml-select", Write("bad.xml", "<R>\x01</R>"), "A"}).exit_code, 1);
}

TEST_F(ToolXml, FormatWritesTheSavedBytesUnconverted) {
  const std::string file = Write("packet.xml",
                                 "<?xml version=\"1.0\" encoding=\"windows-1251\"?><PACKET TYPE=\"40\">"
                                 "<STATUS>ОК</STATUS><MODULES><MODULE ID=\"2\"/></MODULES></PACKET>"_cp);
  const ToolRun run = Run({"xml-format", file});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.raw,
            "<?xml version=\"1.0\" encoding=\"windows-1251\" ?>\r\n"
            "<PACKET TYPE=\"40\">\r\n"
            "  <STATUS>ОК</STATUS>\r\n"_cp
            "  <MODULES>\r\n"
            "    <MODULE ID=\"2\"/>\r\n"
            "  </MODULES>\r\n"
            "</PACKET>\r\n");

  const ToolRun headless = Run({"xml-format", Write("headless.xml", "<R/>")});
  EXPECT_EQ(headless.exit_code, 1);
  EXPECT_EQ(headless.out, "");
  EXPECT_EQ(headless.err, (dir_ / "headless.xml") + ": XML List Error:List index out of bounds (0)\n");
}

TEST_F(ToolXml, HelpAndUsageErrors) {
  for (const char* command : {"xml-check", "xml-select", "xml-format"}) {
    const ToolRun help = Run({command, "--help"});
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_EQ(help.out.rfind("Usage: korvel-tool " + std::string(command), 0), 0u) << help.out;
  }
  EXPECT_EQ(Run({"xml-check"}).exit_code, 2);
  EXPECT_EQ(Run({"xml-select", "a.xml"}).exit_code, 2);
  EXPECT_EQ(Run({"xml-format", "a.xml", "--ignore-case"}).exit_code, 2);
}

}  // namespace
}  // namespace korvel
