#include <gtest/gtest.h>

#include "fb/statement.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"
#include "xml/xml_node.h"

namespace korvel::run {
namespace {


// A host that refuses the rename of the finished packet, or that fails
// once the configuration has been read (the mode's first look at the
// switches), standing for any step that fails after initialisation; its
// services all run.
class PacketTestHost : public testing::RunningServicesHost {
 public:
  using RunningServicesHost::RunningServicesHost;

  void MoveFile(const std::string& from, const std::string& to, bool allow_copy) override {
    if (refuse_rename) throw EOSError(SysError{5, SysErrorKind::kAccessDenied, "Access denied"});
    RunTestHost::MoveFile(from, to, allow_copy);
  }
  std::string ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                            const std::string& fallback) override {
    if (key == "Classic") configuration_read = true;
    return RunTestHost::ReadIniString(file, section, key, fallback);
  }
  std::vector<std::string> Arguments() override {
    if (fail_after_configuration && configuration_read && !failed) {
      failed = true;
      throw Exception("Сбой шага после инициализации"_cp);
    }
    return RunTestHost::Arguments();
  }

  bool refuse_rename = false;
  bool fail_after_configuration = false;
  bool configuration_read = false;
  bool failed = false;
};

// An installation whose database lives on the test server.
class RequestPacketRunTest : public testing::StepTest {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    exe_dir_ = root_ / "Korvel\\";
    for (const char* dir : {"Korvel\\", "Work\\Distrib\\", "Work\\Apteka\\", "In\\", "Out\\"}) {
      SystemHost().ForceDirectoriesOrFail(root_ / dir);
    }
    WriteFile(root_ / "Work\\Distrib\\" + modules::VersionMarkerName(1520), "");
    db_ = std::make_unique<fb::testing::ScratchDatabase>(fb::testing::PharmacyStatements(12, 5, 700));
    WriteFile(exe_dir_ + "Korvel.ini", "[Path]\r\nWorkDir=" + root_ / "Work" + "\r\nDB=" + db_->Connection() +
                                           "\r\nInDir=" + root_ / "In" + "\r\nOutDir=" + root_ / "Out" +
                                           "\r\nModules=2;5\r\n");
  }

  std::string PacketFile() const { return root_ / "Out\\0012005.UPR"; }
  std::vector<std::string> Outbox() const {
    std::vector<std::string> files;
    SystemHost().ListFiles(root_ / "Out\\", "*", files);
    return files;
  }
  static std::vector<std::string> Messages(const TdmKorvel& dm) {
    std::vector<std::string> messages;
    for (const std::string& line : dm.LogLines) messages.push_back(line.size() > 9 ? line.substr(9) : line);
    return messages;
  }
  void SetSysVerNo(int value) {
    fb::Database database(*fb::testing::TestClient());
    fb::testing::SetProgramParams(database);
    database.DatabaseName = db_->Connection();
    database.Open();
    fb::Transaction transaction(database);
    transaction.StartTransaction();
    database.ExecuteImmediate(transaction, "update ORGANIZATION set SYSVERNO = " + std::to_string(value));
    transaction.Commit();
  }

  std::string exe_dir_;
  std::unique_ptr<fb::testing::ScratchDatabase> db_;
};

TEST_F(RequestPacketRunTest, FullRunWritesAnOkPacketOnce) {
  PacketTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.Execute();
  const std::vector<std::string> messages = Messages(dm);
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages[messages.size() - 4], "Создания пакета запроса на обновление ..."_cp);
  EXPECT_EQ(messages[messages.size() - 3], "Создания пакета запроса на обновление - OK"_cp);
  // The pricing procedure follows the packet; none is due.
  EXPECT_EQ(messages[messages.size() - 2], "Проверка необходимости компиляции процедуры расценки"_cp);
  EXPECT_EQ(messages.back(), "Завершение - OK"_cp);
  EXPECT_FALSE(dm.RequestPending);
  EXPECT_FALSE(dm.dbApteka.Connected());
  EXPECT_EQ(Outbox(), std::vector<std::string>{"0012005.UPR"});
  const auto packet = xml::TXMLNode::LoadFromFile(SystemHost(), PacketFile());
  EXPECT_EQ(packet->GetAttribute("EXE"), exe_dir_ + "Korvel");
  EXPECT_EQ(packet->GetAttribute("EXE_VERSION"), "1.2.3.4");
  EXPECT_EQ(packet->GetValueAt("STATUS"), "OK");

  // A second call in the same run does nothing and logs nothing.
  const std::size_t lines = dm.LogLines.size();
  WriteFile(PacketFile(), "sent");
  dm.WriteRequestPacket(true, true);
  EXPECT_EQ(dm.LogLines.size(), lines);
  EXPECT_EQ(ReadFile(PacketFile()), "sent");
}

TEST_F(RequestPacketRunTest, SchemaVersionIsReadAgainForThePacket) {
  PacketTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.ExeDir = exe_dir_;
  ASSERT_TRUE(dm.FbClient.Load());
  dm.DbName = db_->Connection();
  dm.OutDir = root_ / "Out\\";
  dm.Modules = "2";
  dm.ReadDbParams();
  EXPECT_EQ(dm.SysVerNo, 700);
  SetSysVerNo(812);
  dm.RequestPending = true;
  dm.WriteRequestPacket(false, true);
  EXPECT_EQ(dm.SysVerNo, 812);
  EXPECT_EQ(xml::TXMLNode::LoadFromFile(SystemHost(), PacketFile())->GetAttribute("DBVERNO"), "812");
  EXPECT_FALSE(dm.dbApteka.Connected());
}

TEST_F(RequestPacketRunTest, ErrorAfterInitialisationSendsTheLogLines) {
  PacketTestHost host(exe_dir_, {});
  host.fail_after_configuration = true;
  TdmKorvel dm(host);
  dm.Execute();
  const std::vector<std::string> messages = Messages(dm);
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3], "Ошибка Exception:\r\nСбой шага после инициализации"_cp);
  EXPECT_EQ(messages.back(), "Создания пакета запроса на обновление - OK"_cp);

  const auto packet = xml::TXMLNode::LoadFromFile(SystemHost(), PacketFile());
  EXPECT_EQ(packet->GetValueAt("STATUS"), "ERROR");
  // Every line of the run up to the error, each followed by CR LF, without
  // the packet's own lines.
  std::string expected;
  for (std::size_t i = 0; i + 2 < dm.LogLines.size(); ++i) expected += dm.LogLines[i] + "\r\n";
  EXPECT_EQ(packet->GetValueAt("MESSAGES"), expected);
  EXPECT_EQ(expected.find("Создания пакета"_cp), std::string::npos);
  EXPECT_NE(expected.find("Инициализация - OK"_cp), std::string::npos);
}

TEST_F(RequestPacketRunTest, ErrorBeforeInitialisationEndsLeavesNoPacket) {
  SystemHost().DeleteFile(root_ / "Work\\Distrib\\" + modules::VersionMarkerName(1520));
  PacketTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.Execute();
  EXPECT_TRUE(Outbox().empty());
  EXPECT_FALSE(dm.RequestPending);
}

TEST_F(RequestPacketRunTest, UnwritableOutboxIsLoggedAndNoSecondAttemptIsMade) {
  WriteFile(PacketFile(), "earlier packet");
  PacketTestHost host(exe_dir_, {});
  host.refuse_rename = true;
  TdmKorvel dm(host);
  dm.Execute();
  const std::vector<std::string> messages = Messages(dm);
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], "Создания пакета запроса на обновление ..."_cp);
  EXPECT_EQ(messages.back().rfind("Ошибка Exception:\r\nОшибка переименования файла "_cp, 0), 0u)
      << messages.back();
  EXPECT_EQ(ReadFile(PacketFile()), "earlier packet");
  EXPECT_EQ(Outbox(), std::vector<std::string>{"0012005.UPR"});
}

TEST_F(RequestPacketRunTest, ReadOnlyPacketIsReplacedInTheFullMode) {
  WriteFile(PacketFile(), "earlier packet");
  SystemHost().SetAttributes(PacketFile(), host::FileAttributes{.read_only = true, .hidden = true});
  PacketTestHost host(exe_dir_, {});
  TdmKorvel dm(host);
  dm.Execute();
  EXPECT_EQ(ReadFile(PacketFile()).rfind("<?xml", 0), 0u);
  EXPECT_FALSE(SystemHost().GetAttributes(PacketFile())->read_only);
}

}  // namespace
}  // namespace korvel::run
