#include <gtest/gtest.h>

#include "dbservice/db_service.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"

namespace korvel::dbservice {
namespace {

using namespace korvel::literals;
using korvel::testing::SystemHost;

static_assert(BackupFlags({TBackupOption::MetadataOnly, TBackupOption::NoGarbageCollection}) == 12);
static_assert(TRestoreOptions{TRestoreOption::NoShadow}.Bits() == 2);
static_assert(RestoreFlags(TRestoreOptions{TRestoreOption::NoShadow}.With(TRestoreOption::CreateNewDB)) ==
              (2u | 32u) << 8);

// The real host with an instant clock and, when set, a chosen free-space
// figure (an exact figure is what the real disk cannot be made to show).
class StateTestHost : public host::ForwardingHost {
 public:
  StateTestHost() : ForwardingHost(SystemHost()) {}
  void Sleep(unsigned milliseconds) override { slept_ms += milliseconds; }
  std::int64_t DiskFreeBytes(const std::string& directory) override {
    asked_directory = directory;
    return free_bytes >= 0 ? free_bytes : ForwardingHost::DiskFreeBytes(directory);
  }
  unsigned long long slept_ms = 0;
  std::int64_t free_bytes = -1;
  std::string asked_directory;
};

class DbState : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    service_ = std::make_unique<TDbService>(host_, *fb::testing::TestClient());
    service_->OnMessage = [this](const std::string& m) { messages_.push_back(cp1251::ToUtf8(m)); };
  }
  // The fields SetDatabase derives from the database name.
  void Target(const fb::testing::ScratchDatabase& db) {
    service_->DatabaseName = db.Connection();
    service_->ServerName = "127.0.0.1/3050";
    service_->DbFileName = db.Path();
  }
  std::vector<std::string> TakeMessages() { return std::exchange(messages_, {}); }

  bool CanConnect(const std::string& connection) {
    fb::Database database(*fb::testing::TestClient());
    fb::testing::SetProgramParams(database);
    database.DatabaseName = connection;
    try {
      database.Open();
    } catch (const fb::EIBInterBaseError&) {
      return false;
    }
    database.Close();
    return true;
  }

  StateTestHost host_;
  std::unique_ptr<TDbService> service_;
  std::vector<std::string> messages_;
};

TEST_F(DbState, ShutdownAndOnlineTwiceRaiseNothing) {
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  Target(db);
  service_->Shutdown();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"БД в даун ...", "БД в дауне"}));
  EXPECT_FALSE(CanConnect(db.Connection()));
  service_->Shutdown();  // already shut down
  EXPECT_FALSE(CanConnect(db.Connection()));
  service_->ChangeDbState(true);
  TakeMessages();

  service_->BringOnline();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"БД в онлайн ...", "БД в онлайне"}));
  EXPECT_TRUE(CanConnect(db.Connection()));
  service_->BringOnline();  // already online
  service_->ChangeDbState(false);
  EXPECT_TRUE(CanConnect(db.Connection()));
  EXPECT_EQ(host_.slept_ms, 0u);
}

TEST_F(DbState, AServerThatDoesNotAnswerStopsOnlyTheShutdown) {
  fb::testing::ScratchDatabase db;
  Target(db);
  service_->ServerName = "127.0.0.1/1";  // nothing listens there
  try {
    service_->Shutdown();
    FAIL() << "no exception";
  } catch (const fb::EIBInterBaseError& e) {
    EXPECT_TRUE(e.HasErrorCode(fb::kIscNetworkError)) << e.Message();
  }
  EXPECT_EQ(TakeMessages(), std::vector<std::string>{"БД в даун ..."});
  service_->BringOnline();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"БД в онлайн ...", "БД в онлайне"}));
  // A database the server does not have is not "already in that state".
  service_->ServerName = "127.0.0.1/3050";
  service_->DbFileName = db.Dir() / "none.fdb";
  EXPECT_THROW(service_->ChangeDbState(true), fb::EIBInterBaseError);
}

TEST_F(DbState, BackupAndRestoreIntoANewDatabaseOnly) {
  fb::testing::ScratchDatabase db({"create table T (A integer)", "insert into T values (1)"});
  Target(db);
  const std::string fbk = db.Dir() / "base.fbk";
  const std::string copy = db.Dir() / "copy.fdb";
  std::size_t lines_seen = 0;
  service_->OnMessage = [&](const std::string& m) {
    lines_seen = std::max(lines_seen, service_->VerboseLines.size());
    messages_.push_back(cp1251::ToUtf8(m));
  };
  service_->Backup(db.Path(), fbk, {});
  service_->Restore(copy, fbk, {TRestoreOption::NoShadow});
  EXPECT_EQ(TakeMessages(),
            (std::vector<std::string>{"Backuping БД " + db.Path() + " в файл " + fbk + " ...", "Backup OK",
                                      "Restoring БД " + copy + " из файла " + fbk + " PageSize 8192 ...",
                                      "Restore OK"}));
  // The progress lines were collected while the service ran and are gone
  // afterwards.
  EXPECT_TRUE(service_->VerboseLines.empty());
  EXPECT_TRUE(CanConnect(fb::testing::kServerPrefix + copy));

  // Create, never replace: the existing copy stays and the restore fails,
  // also when the caller asks for a replacement.
  EXPECT_THROW(service_->Restore(copy, fbk, {TRestoreOption::NoShadow}), fb::EIBInterBaseError);
  EXPECT_THROW(service_->Restore(db.Path(), fbk, {TRestoreOption::Replace}), fb::EIBInterBaseError);
  EXPECT_TRUE(CanConnect(db.Connection()));
}

TEST_F(DbState, CheckMetadataLeavesNoWorkingFiles) {
  fb::testing::ScratchDatabase db({"create table T (A integer)", "create view V as select A from T"});
  Target(db);
  const std::string meta_bak = db.Dir() / "meta.bak";
  const std::string meta_fdb = db.Dir() / "meta.fdb";
  korvel::testing::WriteFile(meta_fdb, "left over from an earlier check");
  service_->CheckMetadata(db.Path());
  const std::vector<std::string> messages = TakeMessages();
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages.front(), "Проверка метаданных ...");
  EXPECT_EQ(messages[1], "Backuping БД " + db.Path() + " в файл " + meta_bak + " ...");
  EXPECT_EQ(messages[3], "Restoring БД " + meta_fdb + " из файла " + meta_bak + " PageSize 8192 ...");
  EXPECT_EQ(messages.back(), "Проверка метаданных - OK");
  EXPECT_FALSE(host_.FileExists(meta_bak));
  EXPECT_FALSE(host_.FileExists(meta_fdb));
  EXPECT_EQ(host_.slept_ms, 3000u);

  // The backup fails: nothing is left behind and the error propagates.
  EXPECT_THROW(service_->CheckMetadata(db.Dir() / "missing.fdb"), fb::EIBInterBaseError);
  EXPECT_FALSE(host_.FileExists(meta_bak));
  EXPECT_FALSE(host_.FileExists(meta_fdb));
  EXPECT_EQ(TakeMessages().back().rfind("Backuping", 0), 0u);

  // The restore fails (its target cannot be made): the backup goes all the
  // same.
  ASSERT_TRUE(host_.ForceDirectoriesOrFail(meta_fdb));
  EXPECT_THROW(service_->CheckMetadata(db.Path()), fb::EIBInterBaseError);
  EXPECT_FALSE(host_.FileExists(meta_bak));
  EXPECT_EQ(TakeMessages().back().rfind("Restoring", 0), 0u);
}

TEST(CheckDiskSpace, WholeMebibytesAndTheDrive) {
  StateTestHost host;
  fb::ClientLibrary client(host, fb::DefaultClientLibraryName());
  TDbService service(host, client);
  const std::int64_t mib = 1048576;
  host.free_bytes = 5 * mib + 10;
  service.CheckDiskSpace("D:\\Db\\base.fdb", 5 * mib + 10);  // exactly enough
  const auto message = [&](const std::string& path, std::int64_t required) {
    try {
      service.CheckDiskSpace(path, required);
    } catch (const Exception& e) {
      return cp1251::ToUtf8(e.Message());
    }
    return std::string("passed");
  };
  EXPECT_EQ(message("D:\\Db\\base.fdb", 5 * mib + 11), "Не хватает места на диске D:. Свободно 5 мб, требуется 5 мб.");
  // Without a drive letter (a POSIX path) the directory stands for it.
  const std::string delim(1, host::kPathDelim);
  const std::string dir = delim + "srv" + delim + "db";
  EXPECT_EQ(message(dir + delim + "base.fdb", 3 * (40 * mib)),
            "Не хватает места на диске " + dir + ". Свободно 5 мб, требуется 120 мб.");
  EXPECT_EQ(host.asked_directory, dir + delim);
  host.free_bytes = mib - 1;
  EXPECT_EQ(message("D:\\base.fdb", mib), "Не хватает места на диске D:. Свободно 0 мб, требуется 1 мб.");
  // Figures beyond 32 bits.
  host.free_bytes = 5000 * 1024 * mib;
  EXPECT_EQ(message("D:\\base.fdb", 6000 * 1024 * mib),
            "Не хватает места на диске D:. Свободно 5120000 мб, требуется 6144000 мб.");
}

}  // namespace
}  // namespace korvel::dbservice
