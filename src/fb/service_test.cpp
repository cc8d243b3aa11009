#include "fb/service.h"

#include <gtest/gtest.h>

#include "fb/database.h"
#include "fb/statement.h"
#include "fb/testing/test_server.h"

namespace korvel::fb {
namespace {

using testing::kServerPrefix;
using testing::ScratchDatabase;
using testing::SetProgramParams;
using testing::TestClient;

constexpr const char* kServer = "127.0.0.1/3050";

void SetAdmin(ServiceManager& service) {
  service.ServerName = kServer;
  service.Params = {"user_name=SYSDBA", std::string("password=") + testing::kPassword};
}

// One service run the way the program makes it: attach, start, read the
// output to its end, detach in every case.
std::vector<std::string> RunService(const std::string& request) {
  ServiceManager service(*TestClient());
  SetAdmin(service);
  service.Attach();
  std::vector<std::string> lines;
  try {
    service.Start(request);
    service.ReadOutput([&](const std::string& line) { lines.push_back(line); });
  } catch (...) {
    service.Detach();
    throw;
  }
  service.Detach();
  return lines;
}

int CountRows(const std::string& connection, const std::string& table) {
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = connection;
  database.Open();
  Transaction transaction(database);
  transaction.StartTransaction();
  Statement query(database, transaction);
  query.Prepare("select count(*) from " + table);
  query.Execute();
  EXPECT_TRUE(query.Fetch());
  const int count = query.Fields(0).AsInteger();
  query.Close();
  transaction.Commit();
  database.Close();
  return count;
}

bool CanConnect(const std::string& connection) {
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = connection;
  try {
    database.Open();
  } catch (const EIBInterBaseError&) {
    return false;
  }
  database.Close();
  return true;
}

TEST(ServiceBlockTest, RequestsCarryTheirItemsInTheClientsLayout) {
  EXPECT_EQ(BuildServiceAttachBlock({"user_name=SYSDBA", "ISC_SPB_PASSWORD=pinecrest", ""}),
            std::string("\x02\x02\x1c\x06SYSDBA\x1d\x09pinecrest"));
  EXPECT_THROW(BuildServiceAttachBlock({"colour=red"}), EIBClientError);

  BackupRequest backup{"/db/a.fdb", {"/db/a.fbk"}, kBackupMetadataOnly | kBackupNoGarbageCollection};
  EXPECT_EQ(BuildBackupBlock(backup), std::string("\x01\x6a\x09\x00/db/a.fdb"
                                                  "\x05\x09\x00/db/a.fbk"
                                                  "\x6c\x0c\x00\x00\x00"
                                                  "\x6b",
                                                  1 + 12 + 12 + 5 + 1));
  RestoreRequest restore{{"/db/m.fdb"}, {"/db/m.bak"}, kRestoreNoShadow | kRestoreCreateNewDB};
  EXPECT_EQ(BuildRestoreBlock(restore), std::string("\x02\x05\x09\x00/db/m.bak"
                                                    "\x6a\x09\x00/db/m.fdb"
                                                    "\x0a\x00\x20\x00\x00"
                                                    "\x6c\x00\x22\x00\x00"
                                                    "\x6b",
                                                    1 + 12 + 12 + 5 + 5 + 1));
  EXPECT_EQ(BuildShutdownBlock("/d.fdb", 0), std::string("\x08\x6a\x06\x00/d.fdb\x2c\x03\x29\x00\x00\x00\x00", 17));
  EXPECT_EQ(BuildOnlineBlock("/d.fdb"), std::string("\x08\x6a\x06\x00/d.fdb\x6c\x00\x02\x00\x00", 15));
}

TEST(ServiceBlockTest, ServerPartIsTheTextBeforeALaterColon) {
  EXPECT_EQ(ServerPart("127.0.0.1/3050:/srv/db/base.fdb"), "127.0.0.1/3050");
  EXPECT_EQ(ServerPart("localhost/3052:D:\\Db\\base.fdb"), "localhost/3052");
  EXPECT_EQ(ServerPart("ab:x"), "ab");
  EXPECT_EQ(ServerPart("D:\\Db\\base.fdb"), "");
  EXPECT_EQ(ServerPart("/srv/db/base.fdb"), "");
  EXPECT_EQ(ServerPart(":x"), "");
}

TEST(ServiceTest, AttachRefusesAWrongPasswordAndMisuse) {
  KORVEL_REQUIRE_FB_CLIENT();
  KORVEL_REQUIRE_FB_SERVER();
  ServiceManager service(*TestClient());
  EXPECT_THROW(service.Start(BuildOnlineBlock("/x.fdb")), EIBClientError);
  EXPECT_THROW(service.ReadOutput([](const std::string&) {}), EIBClientError);
  service.ServerName = kServer;
  service.Params = {"user_name=SYSDBA", "password=wrong"};
  try {
    service.Attach();
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_TRUE(e.HasErrorCode(kIscLoginError)) << e.Message();
  }
  EXPECT_FALSE(service.Attached());
  SetAdmin(service);
  service.Attach();
  EXPECT_TRUE(service.Attached());
  EXPECT_THROW(service.Attach(), EIBClientError);
  service.Detach();
  EXPECT_FALSE(service.Attached());
  service.Detach();  // a second detach does nothing
}

TEST(ServiceTest, BackupAndRestoreCarryTheDataAndTheVerboseLines) {
  KORVEL_REQUIRE_FB_CLIENT();
  KORVEL_REQUIRE_FB_SERVER();
  ScratchDatabase db({"create table GOODS (ID integer not null primary key, NAME varchar(40))",
                      "insert into GOODS values (1, 'first')", "insert into GOODS values (2, 'second')"});
  const std::string backup_file = db.Dir() / "base.fbk";
  const std::vector<std::string> backup_lines = RunService(BuildBackupBlock({db.Path(), {backup_file}, 0}));
  // Verbose output arrives line by line: many lines, none with a line
  // break left in it, one of them naming the table.
  ASSERT_GT(backup_lines.size(), 10u);
  bool table_named = false;
  for (const std::string& line : backup_lines) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    if (line.find("GOODS") != std::string::npos) table_named = true;
  }
  EXPECT_TRUE(table_named);

  const std::string restored = db.Dir() / "restored.fdb";
  const std::vector<std::string> restore_lines =
      RunService(BuildRestoreBlock({{restored}, {backup_file}, kRestoreNoShadow | kRestoreCreateNewDB}));
  EXPECT_GT(restore_lines.size(), 10u);
  EXPECT_EQ(CountRows(kServerPrefix + restored, "GOODS"), 2);

  // A metadata-only backup restores to the same tables without their rows.
  const std::string meta_bak = db.Dir() / "meta.bak";
  const std::string meta_fdb = db.Dir() / "meta.fdb";
  RunService(BuildBackupBlock({db.Path(), {meta_bak}, kBackupMetadataOnly | kBackupNoGarbageCollection}));
  RunService(BuildRestoreBlock({{meta_fdb}, {meta_bak}, kRestoreNoShadow | kRestoreCreateNewDB}));
  EXPECT_EQ(CountRows(kServerPrefix + meta_fdb, "GOODS"), 0);

  // Create, never replace: a restore onto an existing file fails and
  // leaves that file as it was.
  try {
    RunService(BuildRestoreBlock({{restored}, {meta_bak}, kRestoreNoShadow | kRestoreCreateNewDB}));
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_EQ(CountRows(kServerPrefix + restored, "GOODS"), 2);
}

TEST(ServiceTest, BackupOfAMissingDatabaseFails) {
  KORVEL_REQUIRE_FB_CLIENT();
  KORVEL_REQUIRE_FB_SERVER();
  korvel::testing::TempDir dir;
  testing::MakeServerAccessible(dir.path());
  EXPECT_THROW(RunService(BuildBackupBlock({dir / "none.fdb", {dir / "none.fbk"}, 0})), EIBInterBaseError);
}

TEST(ServiceTest, ShutdownRefusesConnectionsUntilOnline) {
  KORVEL_REQUIRE_FB_CLIENT();
  KORVEL_REQUIRE_FB_SERVER();
  ScratchDatabase db({"create table T (ID integer)", "insert into T values (7)"});
  // An attachment open at the shutdown is closed by the server at once.
  Database open(*TestClient());
  SetProgramParams(open);
  open.DatabaseName = db.Connection();
  open.Open();

  RunService(BuildShutdownBlock(db.Path(), 0));
  EXPECT_FALSE(CanConnect(db.Connection()));
  // A second shutdown is refused with the code callers ignore.
  try {
    RunService(BuildShutdownBlock(db.Path(), 0));
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_TRUE(e.HasErrorCode(kIscBadShutdownMode)) << e.Message();
  }
  try {
    open.Close();
  } catch (const EIBInterBaseError&) {
    // The server has closed this attachment already.
  }

  RunService(BuildOnlineBlock(db.Path()));
  EXPECT_TRUE(CanConnect(db.Connection()));
  EXPECT_EQ(CountRows(db.Connection(), "T"), 1);
  // Online again: nothing to do, or the same ignorable code.
  try {
    RunService(BuildOnlineBlock(db.Path()));
  } catch (const EIBInterBaseError& e) {
    EXPECT_TRUE(e.HasErrorCode(kIscBadShutdownMode)) << e.Message();
  }
}

}  // namespace
}  // namespace korvel::fb
