#include "packages/request_packet.h"

#include <gtest/gtest.h>

#include <tuple>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"

namespace korvel::packages {
namespace {

using namespace korvel::literals;
using korvel::testing::ReadFile;
using korvel::testing::SystemHost;
using korvel::testing::TempDir;
using korvel::testing::WriteFile;

RequestPacketData SampleData() {
  RequestPacketData data;
  data.PredId = 12;
  data.NodeId = 5;
  data.OldVersion = 1519;
  data.CurVersion = 1520;
  data.SysVerNo = 700;
  data.Modules = "2;5";
  data.Date = EncodeDateTime({2024, 3, 5, 14, 7, 9, 500});
  data.ExePath = "C:\\Korvel\\Korvel.exe";
  data.ExeVersion = "1.2.3.4";
  return data;
}

const std::string kHeader = "<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\" ?>\r\n";

std::string PacketStart(const std::string& from = "005") {
  return kHeader + "<PACKET TYPE=\"40\" NAME=\"" + "Запрос обновления ПО"_cp +
         "\" PRED_ID=\"12\" FROM=\"" + from +
         "\" TO=\"000\" OLDVERNO=\"1519\" VERNO=\"1520\" DBVERNO=\"700\" DATE=\"05.03.2024 14:07\" "
         "EXE=\"C:\\Korvel\\Korvel.exe\" EXE_VERSION=\"1.2.3.4\">\r\n";
}

TEST(RequestPacketTest, OkPacketByteForByte) {
  EXPECT_EQ(BuildRequestPacket(SampleData())->SaveToString(),
            PacketStart() +
                "  <MODULES>\r\n"
                "    <MODULE ID=\"2\"/>\r\n"
                "    <MODULE ID=\"5\"/>\r\n"
                "  </MODULES>\r\n"
                "  <STATUS>OK</STATUS>\r\n"
                "</PACKET>\r\n");
}

TEST(RequestPacketTest, ErrorPacketCarriesTheLinesEscaped) {
  RequestPacketData data = SampleData();
  data.Modules = "";
  data.Error = true;
  data.Messages = {"", "10:00:00\tИнициализация ..."_cp, "10:00:01\tОшибка Exception:\r\nfile <a> & \"b\""_cp};
  EXPECT_EQ(BuildRequestPacket(data)->SaveToString(),
            PacketStart() + "  <MODULES/>\r\n  <STATUS>ERROR</STATUS>\r\n  <MESSAGES>\r\n10:00:00\t" +
                "Инициализация ...\r\n10:00:01\tОшибка Exception:\r\nfile &lt;a> &amp; \"b\"\r\n"_cp +
                "</MESSAGES>\r\n</PACKET>\r\n");
}

TEST(RequestPacketTest, ModulesListWithAndWithoutClassic) {
  struct Case {
    const char* modules;
    bool classic;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"2;5", false, {"2", "5"}},
      {"2;5", true, {"200", "2", "5"}},
      {"200;2", true, {"200", "2"}},
      {"2;200", true, {"2", "200"}},
      {"", false, {}},
      {"", true, {"200"}},
      {";;2;;5;", false, {"2", "5"}},
      {"2; 5", false, {"2", " 5"}},  // words are taken as written
      {" 200;2", true, {"200", " 200", "2"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PacketModules(c.modules, c.classic), c.expected) << c.modules << " " << c.classic;
  }
}

TEST(RequestPacketTest, FileNameAndFromPadding) {
  EXPECT_EQ(RequestPacketFileName(12, 5), "0012005.UPR");
  EXPECT_EQ(RequestPacketFileName(12, 1234), "00121234.UPR");
  EXPECT_EQ(RequestPacketFileName(12345, 0), "12345000.UPR");
  for (const auto& [node, from] : {std::pair{5, "005"}, {45, "045"}, {1234, "1234"}, {0, "000"}}) {
    RequestPacketData data = SampleData();
    data.NodeId = node;
    EXPECT_EQ(BuildRequestPacket(data)->GetAttribute("FROM"), from);
  }
}

TEST(RequestPacketTest, ReadsWhatItWrites) {
  RequestPacketData data = SampleData();
  RequestPacketReport report = ReadRequestPacket(BuildRequestPacket(data)->SaveToString());
  EXPECT_EQ(std::tie(report.PredId, report.NodeId, report.CurVersion, report.SysVerNo, report.ExeVersion),
            std::make_tuple(12, 5, 1520, 700, std::string("1.2.3.4")));
  EXPECT_EQ(report.DateText, "05.03.2024 14:07");
  EXPECT_EQ(report.Date, EncodeDateTime({2024, 3, 5, 14, 7, 0, 0}));
  EXPECT_FALSE(report.Error);

  // The last entry of the log: its line with the time and the lines that
  // continue it.
  data.Error = true;
  const std::pair<std::vector<std::string>, std::string> logs[] = {
      {{"", "10:00:00\tНачало"_cp, "10:00:01\tОшибка:\r\nстрока 2\r\n\tстрока 3"_cp}, "10:00:01 Ошибка: / строка 2 / строка 3"_cp},
      {{"10:00:00\tодна"_cp}, "10:00:00 одна"_cp},
      {{"без времени\r\nещё"_cp}, "без времени / ещё"_cp},
      {{}, ""},
  };
  for (const auto& [messages, last] : logs) {
    data.Messages = messages;
    report = ReadRequestPacket(BuildRequestPacket(data)->SaveToString());
    EXPECT_TRUE(report.Error);
    EXPECT_EQ(report.LastMessage, last);
  }
}

TEST(RequestPacketTest, DamagedPacketsNameTheReason) {
  const std::string ok = BuildRequestPacket(SampleData())->SaveToString();
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string text = ok;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  for (const auto& [text, reason] : std::initializer_list<std::pair<std::string, std::string>>{
           {"PK\x03\x04", "< expected"},
           {"<UPDATE TYPE=\"40\"/>", "not a request packet (no PACKET element)"},
           {with("TYPE=\"40\"", "TYPE=\"41\""), "TYPE is not 40 (a request packet)"},
           {with("PRED_ID=\"12\"", ""), "no PRED_ID attribute"},
           {with("FROM=\"005\"", "FROM=\"five\""), "FROM is not a number"},
           {with("DBVERNO=\"700\"", ""), "no DBVERNO attribute"},
           {with("EXE_VERSION=\"1.2.3.4\"", ""), "no EXE_VERSION attribute"},
           {with("<STATUS>OK", "<STATUS>FINE"), "STATUS is neither OK nor ERROR"},
           {with("<STATUS>OK</STATUS>", ""), "STATUS is neither OK nor ERROR"},
           {with("05.03.2024 14:07", "2024-03-05 14:07"), "DATE is not a date dd.mm.yyyy hh:nn"},
       }) {
    try {
      ReadRequestPacket(text);
      ADD_FAILURE() << reason;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message().substr(0, reason.size()), reason);
    }
  }
}

TEST(RequestPacketTest, PacketDates) {
  TDateTime value = 0;
  EXPECT_TRUE(ParsePacketDate("29.02.2024 23:59", value));
  EXPECT_EQ(value, EncodeDateTime({2024, 2, 29, 23, 59, 0, 0}));
  for (const char* bad : {"29.02.2023 10:00", "05.03.2024 24:00", "05.03.2024 10:60", "5.03.2024 10:00",
                          "05.03.2024 10:00:00", "05/03/2024 10:00", "00.03.2024 10:00", "05.13.2024 10:00",
                          "05.03.0000 10:00", "", "0x.03.2024 10:00"}) {
    EXPECT_FALSE(ParsePacketDate(bad, value)) << bad;
  }
}

// Counts renames and fails the chosen ones; fails writes of the chosen
// file as a full disk would.
class FaultyHost : public host::ForwardingHost {
 public:
  FaultyHost() : ForwardingHost(SystemHost()) {}

  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    if (fail_move) throw EOSError(SysError{5, SysErrorKind::kAccessDenied, "Access denied"});
    ForwardingHost::MoveFile(from, to, allow_copy);
  }

  class FullDiskFile : public host::ForwardingFile {
   public:
    using ForwardingFile::ForwardingFile;
    void Write(std::string_view data) override {
      target().Write(data.substr(0, data.size() / 2));
      throw EOSError(SysError{112, SysErrorKind::kOther, "There is not enough space on the disk"});
    }
  };

  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override {
    std::unique_ptr<host::File> file = ForwardingHost::OpenFile(path, mode, share);
    if (disk_full) return std::make_unique<FullDiskFile>(std::move(file));
    return file;
  }

  bool fail_move = false;
  bool disk_full = false;
};

TEST(RequestPacketTest, SaveReplacesThePacketOnlyWhenComplete) {
  TempDir out;
  const std::string file = out / "0012005.UPR";
  const auto packet = BuildRequestPacket(SampleData());
  FaultyHost host;

  SaveRequestPacket(host, *packet, file);
  EXPECT_EQ(ReadFile(file), packet->SaveToString());
  std::vector<std::string> files;
  host.ListFiles(out.path(), "*", files);
  EXPECT_EQ(files, std::vector<std::string>{"0012005.UPR"});

  // A full disk and a refused rename leave the earlier packet untouched and
  // no temporary file behind.
  WriteFile(file, "earlier packet");
  for (const auto& [disk_full, fail_move] : {std::pair{true, false}, {false, true}}) {
    host.disk_full = disk_full;
    host.fail_move = fail_move;
    try {
      SaveRequestPacket(host, *packet, file);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      if (disk_full) {
        EXPECT_STREQ(e.TypeName(), "EInOutError");
      } else {
        EXPECT_EQ(e.Message().rfind("Ошибка переименования файла "_cp + file + ".tmp в "_cp + file, 0), 0u)
            << e.Message();
      }
    }
    EXPECT_EQ(ReadFile(file), "earlier packet");
    files.clear();
    host.ListFiles(out.path(), "*", files);
    EXPECT_EQ(files, std::vector<std::string>{"0012005.UPR"});
  }
}

// What a crashed run left beside the packet never stops the next one: a
// read-only temporary file is cleared away, a directory in its place is
// stepped around.
TEST(RequestPacketTest, LeftoverTemporaryFilesDoNotStopThePacket) {
  TempDir out;
  const std::string file = out / "0012005.UPR";
  const auto packet = BuildRequestPacket(SampleData());
  host::Host& host = SystemHost();

  WriteFile(file + ".tmp", "stale");
  host.SetAttributes(file + ".tmp", host::FileAttributes{.read_only = true});
  SaveRequestPacket(host, *packet, file);
  EXPECT_EQ(ReadFile(file), packet->SaveToString());
  EXPECT_FALSE(host.FileExists(file + ".tmp"));

  host.CreateDirectory(file + ".tmp");
  WriteFile(file + ".1.tmp", "stale too");
  host.SetAttributes(file + ".1.tmp", host::FileAttributes{.read_only = true});
  WriteFile(file, "earlier packet");
  SaveRequestPacket(host, *packet, file);
  EXPECT_EQ(ReadFile(file), packet->SaveToString());
  std::vector<std::string> files;
  host.ListFiles(out.path(), "*", files);
  EXPECT_EQ(files, std::vector<std::string>{"0012005.UPR"});
}

}  // namespace
}  // namespace korvel::packages
