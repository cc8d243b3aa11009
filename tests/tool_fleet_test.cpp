// korvel-tool fleet over packets as the office keeps them: dated folders,
// several packets per pharmacy, a few damaged. The CSV and the page are
// read back and compared with what the packets say.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "installation.h"
#include "packages/request_packet.h"
#include "xml/xml_node.h"

namespace korvel::testing {
namespace {

using ::testing::HasSubstr;
using namespace korvel::literals;

using Table = std::vector<std::vector<std::string>>;

// RFC 4180 with ";" between fields.
Table ParseCsv(std::string_view text) {
  Table rows(1);
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ';') {
      rows.back().push_back(std::move(field));
      field.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.back().push_back(std::move(field));
      field.clear();
      rows.emplace_back();
      ++i;
    } else {
      field += c;
    }
  }
  rows.pop_back();  // after the last line end
  return rows;
}

class ToolFleet : public ::testing::Test {
 protected:
  void Packet(const std::string& name, int chain, int node, int version, const std::string& date, bool error = false,
              std::vector<std::string> messages = {}) {
    packages::RequestPacketData data;
    data.PredId = chain;
    data.NodeId = node;
    data.CurVersion = data.OldVersion = version;
    data.SysVerNo = version - 800;
    data.Modules = "2";
    data.ExePath = "C:\\Korvel\\Korvel.exe";
    data.ExeVersion = "1.0." + std::to_string(version);
    TDateTime parsed = 0;
    ASSERT_TRUE(packages::ParsePacketDate(date, parsed)) << date;
    data.Date = parsed;
    data.Error = error;
    data.Messages = std::move(messages);
    WriteFile(dir_ / name, packages::BuildRequestPacket(data)->SaveToString());
  }

  // The chain as the office's folders hold it, with the state each
  // pharmacy should show on 10.03.2024 12:00.
  void MakeChain() {
    Packet("2024-03-01/0012001.UPR", 12, 1, 1519, "01.03.2024 08:00");
    Packet("2024-03-09/0012001.UPR", 12, 1, 1520, "09.03.2024 08:00");
    Packet("2024-03-08/0012002.UPR", 12, 2, 1519, "08.03.2024 09:30", true,
           {"", "10:00:00\tНачало"_cp, "10:00:01\tОшибка: \"a\"; b\r\n  stack line"_cp});
    Packet("2024-02-01/0012003.UPR", 12, 3, 1520, "01.02.2024 10:00");
    // The same DATE twice: the file modified last counts.
    Packet("2024-03-09/a/0012004.UPR", 12, 4, 1520, "09.03.2024 10:00");
    Packet("2024-03-09/b/0012004.upr", 12, 4, 1519, "09.03.2024 10:00");
    SystemHost().SetFileWriteTime(dir_ / "2024-03-09/a/0012004.UPR", EncodeDateTime({2024, 3, 9, 11, 0, 0, 0}));
    SystemHost().SetFileWriteTime(dir_ / "2024-03-09/b/0012004.upr", EncodeDateTime({2024, 3, 9, 10, 0, 0, 0}));
    Packet("2024-03-10/deep/er/0007100.upr", 7, 100, 1520, "10.03.2024 07:15");
    WriteFile(dir_ / "expect.txt", "# the chain\r\n12;1\r\n12;2\r\n12;3\r\n12;4\r\n\r\n12;5\r\n7;100\r\n");
    WriteFile(dir_ / "2024-03-09/notes.txt", "not a packet");
    // Damaged packets.
    WriteFile(dir_ / "bad/0012008.UPR", "PK\x03\x04 not xml");
    WriteFile(dir_ / "bad/0012009.UPR", "<PACKET TYPE=\"41\" PRED_ID=\"12\"/>");
    WriteFile(dir_ / "bad/0012010.UPR",
              "<PACKET TYPE=\"40\" PRED_ID=\"12\" FROM=\"010\" VERNO=\"1\" DBVERNO=\"1\" DATE=\"2024-03-09\" "
              "EXE_VERSION=\"\"><STATUS>OK</STATUS></PACKET>");
    WriteFile(dir_ / "bad/0012011.UPR",
              "<PACKET TYPE=\"40\" FROM=\"011\" VERNO=\"1\" DBVERNO=\"1\" DATE=\"09.03.2024 10:00\" "
              "EXE_VERSION=\"\"><STATUS>OK</STATUS></PACKET>");
  }

  ProgramResult Fleet(std::vector<std::string> args) {
    args.insert(args.begin(), "fleet");
    return RunProgram(ToolProgram(), args);
  }

  std::string Path(const std::string& name) const { return dir_ / name; }
  // The directory without its trailing separator, which the Windows
  // quoting of a command line would take for an escaped quote.
  std::string Root() const {
    std::string root = dir_.path();
    while (!root.empty() && (root.back() == '/' || root.back() == '\\')) root.pop_back();
    return root;
  }

  TempDir dir_;
};

TEST_F(ToolFleet, CsvHoldsTheNewestPacketOfEveryPharmacy) {
  MakeChain();
  const ProgramResult result =
      Fleet({"--csv", "--now", "10.03.2024 12:00", "--expect", Path("expect.txt"), Root()});
  EXPECT_EQ(result.exit_code, 1) << result.error;
  ASSERT_EQ(result.output.rfind("\xEF\xBB\xBF", 0), 0u) << "a byte-order mark first";
  const Table expected = {
      {"chain", "pharmacy", "version", "schema", "status", "date", "exe_version", "packet", "message"},
      {"7", "100", "1520", "720", "OK", "10.03.2024 07:15", "1.0.1520", Path("2024-03-10/deep/er/0007100.upr"), ""},
      {"12", "1", "1520", "720", "OK", "09.03.2024 08:00", "1.0.1520", Path("2024-03-09/0012001.UPR"), ""},
      {"12", "2", "1519", "719", "ERROR", "08.03.2024 09:30", "1.0.1519", Path("2024-03-08/0012002.UPR"),
       "10:00:01 Ошибка: \"a\"; b / stack line"},
      {"12", "3", "1520", "720", "OK", "01.02.2024 10:00", "1.0.1520", Path("2024-02-01/0012003.UPR"), ""},
      {"12", "4", "1520", "720", "OK", "09.03.2024 10:00", "1.0.1520", Path("2024-03-09/a/0012004.UPR"), ""},
      {"12", "5", "", "", "NONE", "", "", "", ""},
  };
  EXPECT_EQ(ParseCsv(std::string_view(result.output).substr(3)), expected);
}

TEST_F(ToolFleet, LinesSummaryAndUnreadablePackets) {
  MakeChain();
  const ProgramResult result = Fleet({"--now", "10.03.2024 12:00", "--expect", Path("expect.txt"), Root()});
  EXPECT_EQ(result.exit_code, 1);
  const std::string out = ConsoleUtf8(result.output);
  for (const std::string& expected : {
           std::string("0012  002     1519      719     ERROR           08.03.2024 09:30  1.0.1519      10:00:01 "),
           std::string("0012  003     1520      720     silent 38 days  01.02.2024 10:00"),
           std::string("0012  005     -         -       never reported"),
           std::string("Pharmacies: 6; OK 3, ERROR 1, silent for more than 7 days 1, never reported 1"),
           std::string("version 1520:     4 (OK 3, ERROR 0, silent 1)"),
           std::string("no packet:        1 (OK 0, ERROR 0, silent 1)"),
           std::string("Packets: 7 read, 2 older ones not shown, 4 unreadable; 2 other files skipped"),
           Path("bad/0012009.UPR") + ": TYPE is not 40",
           Path("bad/0012010.UPR") + ": DATE is not a date",
           Path("bad/0012011.UPR") + ": no PRED_ID attribute",
       }) {
    EXPECT_THAT(out, HasSubstr(expected));
  }
  EXPECT_THAT(out, HasSubstr(Path("bad/0012008.UPR") + ": "));
}

TEST_F(ToolFleet, PageIsWellFormedWithFailingAndSilentFirst) {
  MakeChain();
  const std::string page = Path("fleet.html");
  const ProgramResult result =
      Fleet({"--html", page, "--now", "10.03.2024 12:00", "--expect", Path("expect.txt"), Root()});
  EXPECT_EQ(result.exit_code, 1) << result.error;
  const std::string html = ReadFile(page);
  EXPECT_NE(html.rfind("<?xml", 0), std::string::npos) << "no byte-order mark";
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("src="), std::string::npos) << "nothing external";
  EXPECT_EQ(html.find("href="), std::string::npos) << "nothing external";
  if (!host::kWindows) {
    // A conforming XML parser (expat) knows no HTML entities.
    EXPECT_EQ(RunProgram("python3", {"-c", "import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])", page})
                  .exit_code,
              0);
  }
  // The utility's own parser reads no document type declaration.
  std::string text = cp1251::FromUtf8(html);
  text.erase(text.find("<!DOCTYPE html>"), 15);
  const std::unique_ptr<xml::TXMLNode> doc = xml::TXMLNode::CreateFromText(text);
  ASSERT_NE(doc->Select("body/svg"), nullptr);
  xml::TXMLNode* body = doc->SelectRequired("body/table/tbody");
  std::vector<std::string> order;
  for (int i = 0; i < body->ChildCount(); ++i) {
    xml::TXMLNode* row = body->Child(i);
    order.push_back(cp1251::ToUtf8(row->Child(0)->GetText() + "/" + row->Child(1)->GetText() + " " +
                                   row->Child(2)->GetText() + " " + row->Child(7)->GetText()));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"0012/002 ERROR 10:00:01 Ошибка: \"a\"; b / stack line",
                                             "0012/003 silent 38 days ", "0012/005 never reported ",
                                             "0007/100 OK ", "0012/001 OK ", "0012/004 OK "}));
}

TEST_F(ToolFleet, ExitCodes) {
  Packet("ok/0001001.UPR", 1, 1, 1520, "09.03.2024 08:00");
  Packet("ok/0001002.UPR", 1, 2, 1520, "05.03.2024 08:00");
  WriteFile(dir_ / "list.txt", "1;1\n1;1\n");
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string error;
  } cases[] = {
      {{"--now", "10.03.2024 12:00", Path("ok")}, 0, ""},
      {{"--now", "10.03.2024 12:00", "--stale", "8", Path("ok/0001002.UPR")}, 0, ""},
      {{"--now", "10.03.2024 12:00", "--stale", "5", Path("ok")}, 1, ""},
      {{"--now", "10.03.2024 12:00", "--expect", Path("list.txt"), Path("ok")}, 1, "list.txt:2: pharmacy 1;1 is listed already on line 1"},
      {{"--stale", "x", Path("ok")}, 2, "--stale needs a number"},
      {{"--now", "2024-03-10", Path("ok")}, 2, "--now needs"},
      {{"--frobnicate", Path("ok")}, 2, "unknown option --frobnicate"},
      {{}, 2, "expected at least one PATH"},
      {{Path("missing")}, 2, "missing: not found"},
  };
  for (const auto& c : cases) {
    const ProgramResult result = Fleet(c.args);
    EXPECT_EQ(result.exit_code, c.exit_code) << ::testing::PrintToString(c.args) << result.error;
    EXPECT_THAT(ConsoleUtf8(result.error), HasSubstr(c.error));
  }
}

}  // namespace
}  // namespace korvel::testing
