// The database's files, their check, recovery and the change on a copy,
// against the Firebird test server. The server's Windows service is played
// by a service of the test's own (a sleeping daemon in a service root of
// the test), so that the stops and starts are real without touching the
// shared server; the clock is instant.
#include <gtest/gtest.h>

#include "dbservice/db_service.h"
#include "fb/database.h"
#include "fb/statement.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/dummy_service.h"
#include "host/testing/temp_dir.h"

namespace korvel::dbservice {
namespace {

using namespace korvel::literals;
using V = std::vector<std::string>;
using fb::testing::ExecuteStatements;

class CopyTestHost : public host::ForwardingHost {
 public:
  explicit CopyTestHost(host::Host& target) : ForwardingHost(target) {}
  void Sleep(unsigned ms) override { slept_ms += ms; }
  void FlushDirectory(const std::string& directory) override {
    flushed_dirs.push_back(directory);
    if (flushed_dirs.size() == fail_flush_at) throw EOSError(SysError{5, SysErrorKind::kOther, "EIO"});
    ForwardingHost::FlushDirectory(directory);
  }
  unsigned long long slept_ms = 0;
  V flushed_dirs;
  std::size_t fail_flush_at = 0;  // the directory flush that fails, from 1
};

// One value of a select on `connection`.
int QueryInt(const std::string& connection, const std::string& sql) {
  const std::string value = fb::testing::SelectValue(connection, sql);
  return value.empty() ? -1 : std::stoi(value);
}

bool HasTable(const std::string& connection, const std::string& table) {
  return QueryInt(connection, "select count(*) from RDB$RELATIONS where RDB$RELATION_NAME='" + table + "'") == 1;
}

class DbFiles : public ::testing::Test {
 protected:
  DbFiles() : host_(services_.Host()) {}
  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    services_.Install(kPelkoraServiceName);
    service_ = std::make_unique<TDbService>(host_, *fb::testing::TestClient());
    service_->ServiceName = kPelkoraServiceName;
    service_->OnMessage = [this](const std::string& m) { messages_.push_back(cp1251::ToUtf8(m)); };
    host_.ServiceControl(kPelkoraServiceName, true);
  }
  void Use(const fb::testing::ScratchDatabase& db) {
    service_->SetDatabase(db.Connection());
    ASSERT_EQ(service_->DbFileName, db.Path());
  }
  V Take() { return std::exchange(messages_, {}); }
  bool Exists(const std::string& path) { return host_.FileExists(path); }

  korvel::testing::DummyServices services_;
  CopyTestHost host_;
  std::unique_ptr<TDbService> service_;
  V messages_;
};

TEST(DbNames, ServerAndPathOfTheDatabaseName) {
  EXPECT_EQ(TDbService::ExtractServerName("srv:D:\\Db\\base.fdb"), "srv");
  EXPECT_EQ(TDbService::ExtractServerPath("srv:D:\\Db\\base.fdb"), "D:\\Db\\base.fdb");
  EXPECT_EQ(TDbService::ExtractServerName("localhost/3052:D:\\Db\\base.fdb"), "localhost/3052");
  EXPECT_EQ(TDbService::ExtractServerPath("localhost/3052:D:\\Db\\base.fdb"), "D:\\Db\\base.fdb");
  // A drive letter is no server; a one-letter "server" is not one either.
  EXPECT_EQ(TDbService::ExtractServerName("C:\\Db\\base.fdb"), "");
  EXPECT_EQ(TDbService::ExtractServerPath("C:\\Db\\base.fdb"), "C:\\Db\\base.fdb");
  EXPECT_EQ(TDbService::ExtractServerName("ab:/x"), "ab");
  EXPECT_EQ(TDbService::ExtractServerName("/var/db/base.fdb"), "");
}

TEST(DbNames, SetDatabaseDerivesTheWorkingNames) {
  host::Host& host = korvel::testing::SystemHost();
  fb::ClientLibrary client(host, fb::DefaultClientLibraryName());
  TDbService service(host, client);
  try {
    service.SetDatabase("C:\\Db\\base.fdb");
    FAIL() << "accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(cp1251::ToUtf8(e.Message()), "В имени БД C:\\Db\\base.fdb не указан сервер");
  }
  service.SetDatabase("localhost/3052:/srv/db/base.fdb");
  EXPECT_EQ(service.DatabaseName, "localhost/3052:/srv/db/base.fdb");
  EXPECT_EQ(service.dbApteka.DatabaseName, "localhost/3052:/srv/db/base.fdb");
  EXPECT_EQ(service.ServerName, "localhost/3052");
  EXPECT_EQ(service.DbFileName, "/srv/db/base.fdb");
  EXPECT_EQ(service.DbLstFileName, "/srv/db/base.fdb.lst");
  EXPECT_EQ(service.DbTmpFileName, "/srv/db/base.fdb.tmp");
  EXPECT_EQ(service.DbNewFileName, "/srv/db/base.fdb.new");
  EXPECT_EQ(service.DbTmpDirFileName, "/srv/db/Tmp/base.fdb");
  EXPECT_EQ(service.ShadowLinkFileName, "/srv/db/base.ShadowLink");
  service.SetShadowFile("/srv/db/base.shd");
  EXPECT_EQ(service.ShadowLstFileName, "/srv/db/base.shd.lst");
  EXPECT_EQ(service.ShadowTmpFileName, "/srv/db/base.shd.tmp");
}

TEST_F(DbFiles, CheckDatabaseReadsTheFilesAndMovesATmpCopyAside) {
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  Use(db);
  korvel::testing::WriteFile(service_->ShadowLinkFileName, "/old/shadow\r\n");
  ASSERT_TRUE(host_.ForceDirectoriesOrFail(db.Dir() / "Tmp"));
  korvel::testing::WriteFile(service_->DbTmpDirFileName, "copy of another tool");
  korvel::testing::WriteFile(service_->DbTmpDirFileName + ".old", "older copy");
  service_->CheckDatabase();
  const std::string tmp = service_->DbTmpDirFileName;
  EXPECT_EQ(Take(), (V{"Проверка БД " + db.Connection() + "...", "БД в онлайн ...", "БД в онлайне",
                       "Файл " + tmp + " переименован в " + tmp + ".old.", "Проверка БД - OK"}));
  EXPECT_EQ(korvel::testing::ReadFile(tmp + ".old"), "copy of another tool");
  EXPECT_FALSE(Exists(tmp));
  EXPECT_FALSE(Exists(service_->ShadowLinkFileName));  // no shadow: the link goes
  EXPECT_TRUE(service_->ShadowFileName.empty());
  EXPECT_FALSE(service_->dbApteka.Connected());

  // A missing live file stops the run before anything is touched.
  host_.ServiceControl(kPelkoraServiceName, false);
  service_->SetDatabase(fb::testing::kServerPrefix + (db.Dir() / "missing.fdb"));
  try {
    service_->CheckDatabase();
    FAIL() << "passed";
  } catch (const Exception& e) {
    EXPECT_EQ(cp1251::ToUtf8(e.Message()), "БД находится в нерабочем состоянии!");
  }
  EXPECT_EQ(Take(), (V{"Проверка БД " + service_->DatabaseName + "...",
                       "Рабочий файл БД " + service_->DbFileName + " не найден."}));
  EXPECT_EQ(host_.QueryServiceState(kPelkoraServiceName), host::kServiceStopped);
}

TEST_F(DbFiles, OneShadowIsReadAndMultiFileDatabasesAreRefused) {
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  Use(db);
  const std::string shadow = db.Dir() / "base.shd";
  ExecuteStatements(db.Connection(), {"create shadow 1 '" + shadow + "'"});
  ASSERT_TRUE(Exists(shadow));
  service_->ReadDatabaseFiles();
  EXPECT_EQ(service_->ShadowFileName, shadow);
  EXPECT_EQ(korvel::testing::ReadFile(service_->ShadowLinkFileName), shadow + "\r\n");
  EXPECT_FALSE(service_->dbApteka.Connected());

  const auto refused = [&] {
    try {
      service_->ReadDatabaseFiles();
    } catch (const Exception& e) {
      EXPECT_FALSE(service_->dbApteka.Connected());
      return cp1251::ToUtf8(e.Message());
    }
    return std::string("accepted");
  };
  // A second shadow.
  ExecuteStatements(db.Connection(), {"create shadow 2 '" + (db.Dir() / "base.sh2") + "'"});
  EXPECT_EQ(refused(), "Утилита не может работать с многотомными БД!");
  // One secondary file and no shadow.
  fb::testing::ScratchDatabase multi({"create table T (A integer)"});
  ExecuteStatements(multi.Connection(),
                    {"alter database add file '" + (multi.Dir() / "base.fd2") + "' starting at page 2000"});
  Use(multi);
  EXPECT_EQ(refused(), "Утилита не может работать с многотомными БД!");
}

TEST_F(DbFiles, RecoverFilesPutsTheCopyBackUnlessATmpCopyIsNewer) {
  korvel::testing::TempDir dir;
  service_->SetDatabase("127.0.0.1/3050:" + (dir / "base.fdb"));
  service_->SetShadowFile(dir / "base.shd");
  const auto reason = [&] {
    try {
      service_->RecoverFiles();
    } catch (const Exception& e) {
      return cp1251::ToUtf8(e.Message());
    }
    return std::string("recovered");
  };
  // Nothing to recover while the live file is there.
  korvel::testing::WriteFile(service_->DbFileName, "live");
  EXPECT_EQ(reason(), "recovered");
  EXPECT_TRUE(Take().empty());
  host_.DeleteFile(service_->DbFileName);

  EXPECT_EQ(reason(), "Файл " + service_->DbLstFileName + " не найден. Восстановление невозможно!");
  EXPECT_EQ(Take(), V{"Попытка восстановить файлы БД ..."});

  korvel::testing::WriteFile(service_->DbLstFileName, "before");
  korvel::testing::WriteFile(service_->ShadowLstFileName, "shadow before");
  ASSERT_TRUE(host_.ForceDirectoriesOrFail(dir / "Tmp"));
  korvel::testing::WriteFile(service_->DbTmpDirFileName, "tmp");
  const TDateTime lst_time = host_.GetFileDateTime(service_->DbLstFileName);
  host_.SetFileWriteTime(service_->DbTmpDirFileName, lst_time + 2.0 / 86400);
  EXPECT_EQ(reason(), "Обнаружен более новый файл " + service_->DbTmpDirFileName + ". Восстановление невозможно!");
  EXPECT_EQ(korvel::testing::ReadFile(service_->DbLstFileName), "before");
  Take();

  // Equal times allow the recovery, shadow included.
  host_.SetFileWriteTime(service_->DbTmpDirFileName, lst_time);
  EXPECT_EQ(reason(), "recovered");
  EXPECT_EQ(korvel::testing::ReadFile(service_->DbFileName), "before");
  EXPECT_EQ(korvel::testing::ReadFile(service_->ShadowFileName), "shadow before");
  EXPECT_FALSE(Exists(service_->DbLstFileName));
  const std::string live = service_->DbFileName, shadow = service_->ShadowFileName;
  EXPECT_EQ(Take(), (V{"Попытка восстановить файлы БД ...", "Останов службы FirebirdServerPelkora ...",
                       "Останов службы - OK", "Файл " + shadow + ".lst переименован в " + shadow + ".",
                       "Файл " + live + ".lst переименован в " + live + ".", "Файлы БД восстановлены."}));
}

TEST_F(DbFiles, AChangeOnTheCopyBecomesLiveAndTheCopyBeforeItStays) {
  fb::testing::ScratchDatabase db({"create table T (A integer)", "insert into T values (1)"});
  Use(db);
  service_->ReadDatabaseFiles();
  Take();
  std::string worked_on;
  service_->RunOnDatabaseCopy([&](const std::string& name) {
    worked_on = name;
    // Nobody reaches the database under its live name meanwhile.
    EXPECT_FALSE(Exists(db.Path()));
    ExecuteStatements(name, {"create table U (B integer)", "insert into U values (2)", "update T set A = 10"});
  });
  EXPECT_EQ(worked_on, "127.0.0.1/3050:" + db.Path() + ".new");
  const std::string L = db.Path();
  const V check = {"Проверка метаданных ...",
                   "Backuping БД " + L + ".new в файл " + (db.Dir() / "meta.bak") + " ...",
                   "Backup OK",
                   "Restoring БД " + (db.Dir() / "meta.fdb") + " из файла " + (db.Dir() / "meta.bak") +
                       " PageSize 8192 ...",
                   "Restore OK",
                   "Проверка метаданных - OK"};
  V expected = {"БД в даун ...",
                "БД в дауне",
                "Останов службы FirebirdServerPelkora ...",
                "Останов службы - OK",
                "Файл " + L + " переименован в " + L + ".lst.",
                "Копирование файла " + L + ".lst в " + L + ".tmp ...",
                "Копирование - OK",
                "Файл " + L + ".lst переименован в " + L + ".new.",
                "Файл " + L + ".tmp переименован в " + L + ".lst.",
                "Запуск службы FirebirdServerPelkora ...",
                "Запуск службы - OK"};
  expected.insert(expected.end(), check.begin(), check.end());
  for (const char* line : {"Останов службы FirebirdServerPelkora ...", "Останов службы - OK"}) expected.push_back(line);
  expected.push_back("Файл " + L + ".new переименован в " + L + ".");
  for (const char* line : {"Запуск службы FirebirdServerPelkora ...", "Запуск службы - OK", "БД в онлайн ...",
                           "БД в онлайне"})
    expected.push_back(line);
  EXPECT_EQ(Take(), expected);
  // 10 s before the moves, 5 s after each of two stops and two starts, 3 s
  // in the metadata check.
  EXPECT_EQ(host_.slept_ms, 33000u);
  // Every rename was followed by a flush of its directory.
  EXPECT_EQ(host_.flushed_dirs.size(), 4u);

  // The live database is changed and online; the copy from before stays;
  // no working file is left.
  EXPECT_TRUE(HasTable(db.Connection(), "U"));
  EXPECT_EQ(QueryInt(db.Connection(), "select A from T"), 10);
  EXPECT_TRUE(Exists(L + ".lst"));
  for (const std::string& gone : {L + ".new", L + ".tmp", db.Dir() / "meta.bak", db.Dir() / "meta.fdb"})
    EXPECT_FALSE(Exists(gone)) << gone;
  // ".lst" is the database as it was: opened under another name, it has no U.
  const std::string probe = db.Dir() / "probe.fdb";
  host_.CopyFile(L + ".lst", probe);
  // The copy was taken shut down.
  TDbService other(host_, *fb::testing::TestClient());
  other.SetDatabase(fb::testing::kServerPrefix + probe);
  other.BringOnline();
  EXPECT_FALSE(HasTable(other.DatabaseName, "U"));
  EXPECT_EQ(QueryInt(other.DatabaseName, "select A from T"), 1);

  // A second run replaces ".lst" with the copy taken at its own start.
  service_->RunOnDatabaseCopy(
      [&](const std::string& name) { ExecuteStatements(name, {"update T set A = 20"}); });
  host_.DeleteFile(probe);
  host_.CopyFile(L + ".lst", probe);
  other.BringOnline();
  EXPECT_EQ(QueryInt(other.DatabaseName, "select A from T"), 10);
  EXPECT_EQ(QueryInt(db.Connection(), "select A from T"), 20);
}

TEST_F(DbFiles, AFailingWorkLeavesTheLiveDatabaseAsBefore) {
  fb::testing::ScratchDatabase db({"create table T (A integer)", "insert into T values (1)"});
  Use(db);
  service_->ReadDatabaseFiles();
  Take();
  try {
    service_->RunOnDatabaseCopy([&](const std::string& name) {
      ExecuteStatements(name, {"create table U (B integer)", "update T set A = 10"});
      throw Exception("Ошибка: drop table X Table unknown"_cp);
    });
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(cp1251::ToUtf8(e.Message()), "Ошибка: drop table X Table unknown");
  }
  const V messages = Take();
  const std::string L = db.Path();
  const auto at = std::find(messages.begin(), messages.end(), "Ошибка:\r\nОшибка: drop table X Table unknown");
  ASSERT_NE(at, messages.end());
  EXPECT_EQ(V(at + 1, messages.end()),
            (V{"Попытка восстановить файлы БД ...", "Останов службы FirebirdServerPelkora ...",
               "Останов службы - OK", "Файл " + L + ".lst переименован в " + L + ".", "Файлы БД восстановлены.",
               "Запуск службы FirebirdServerPelkora ...", "Запуск службы - OK", "БД в онлайн ...",
               "БД в онлайне"}));
  EXPECT_FALSE(HasTable(db.Connection(), "U"));
  EXPECT_EQ(QueryInt(db.Connection(), "select A from T"), 1);
  EXPECT_FALSE(Exists(L + ".new"));
  EXPECT_FALSE(Exists(L + ".lst"));
}

// A log that stops taking lines (a full disk) at any point of the change:
// the live database comes back whole and online, the server runs.
TEST_F(DbFiles, ALogThatFailsMidwayStopsNoRecovery) {
  fb::testing::ScratchDatabase db({"create table T (A integer)", "insert into T values (1)"});
  Use(db);
  service_->ReadDatabaseFiles();
  const std::string L = db.Path();
  const struct {
    std::string first_lost;
    int value_after;
  } cases[] = {
      {"Файл " + L + " переименован в " + L + ".lst.", 1},  // the live name is gone
      {"Копирование - OK", 1},                               // "Ошибка:" is lost too
      {"Запуск службы FirebirdServerPelkora ...", 1},        // the start for the work
      {"Файл " + L + ".new переименован в " + L + ".", 10},  // the change is live
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_lost);
    bool full = false;
    service_->OnMessage = [&](const std::string& m) {
      full = full || cp1251::ToUtf8(m) == c.first_lost;
      if (full) throw EInOutError("Ошибка WriteLog:\r\nNo space left on device"_cp);
    };
    EXPECT_THROW(service_->RunOnDatabaseCopy([&](const std::string& name) {
      ExecuteStatements(name, {"update T set A = 10"});
    }),
                 EInOutError);
    EXPECT_EQ(host_.QueryServiceState(kPelkoraServiceName), host::kServiceRunning);
    EXPECT_EQ(QueryInt(db.Connection(), "select A from T"), c.value_after);
    EXPECT_FALSE(Exists(L + ".new"));
  }
}

TEST_F(DbFiles, AShadowIsCopiedWithTheDatabaseAndPutBackOnFailure) {
  fb::testing::ScratchDatabase db({"create table T (A integer)", "insert into T values (1)"});
  Use(db);
  const std::string shadow = db.Dir() / "base.shd";
  ExecuteStatements(db.Connection(), {"create shadow 1 '" + shadow + "'"});
  service_->ReadDatabaseFiles();
  ASSERT_EQ(service_->ShadowFileName, shadow);
  korvel::testing::WriteFile(shadow + ".lst", "stale shadow copy of an earlier run");

  service_->RunOnDatabaseCopy(
      [&](const std::string& name) { ExecuteStatements(name, {"update T set A = 10"}); });
  EXPECT_EQ(QueryInt(db.Connection(), "select A from T"), 10);
  EXPECT_TRUE(Exists(shadow + ".lst"));
  EXPECT_NE(korvel::testing::ReadFile(shadow + ".lst"), "stale shadow copy of an earlier run");
  EXPECT_FALSE(Exists(shadow + ".tmp"));
  const V log = Take();
  EXPECT_NE(std::find(log.begin(), log.end(), "Копирование файла " + shadow + " в " + shadow + ".tmp ..."), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "Файл " + shadow + ".tmp переименован в " + shadow + ".lst."),
            log.end());

  EXPECT_THROW(service_->RunOnDatabaseCopy([&](const std::string& name) {
    ExecuteStatements(name, {"update T set A = 20"});
    throw Exception("work failed");
  }),
               Exception);
  EXPECT_EQ(QueryInt(db.Connection(), "select A from T"), 10);
  EXPECT_FALSE(Exists(shadow + ".lst"));  // moved back over the shadow
  EXPECT_TRUE(Exists(shadow));
  EXPECT_EQ(QueryInt(db.Connection(), "select count(*) from RDB$FILES"), 1);
}

// A directory flush that fails after its rename is reported as what it is,
// and the swap goes on from the names as they are: after the first rename
// the live file is put back, after the last one the update stands.
TEST_F(DbFiles, AFailedDirectoryFlushAfterARenameIsHandledFromTheNamesAsTheyAre) {
  struct Case {
    std::size_t fail_at;
    const char* rename;  // the rename the failed flush followed, as "from>to" suffixes
    bool update_stands;
  };
  for (const Case& c : {Case{1, ">.lst", false}, Case{4, ".new>", true}}) {
    SCOPED_TRACE(c.fail_at);
    fb::testing::ScratchDatabase db({"create table T (A integer)", "insert into T values (1)"});
    Use(db);
    service_->ReadDatabaseFiles();
    host_.flushed_dirs.clear();
    host_.fail_flush_at = c.fail_at;
    const std::string L = db.Path(), rename = c.rename, from = rename.substr(0, rename.find('>')),
                      to = rename.substr(rename.find('>') + 1);
    std::string error;
    try {
      service_->RunOnDatabaseCopy([&](const std::string& name) { ExecuteStatements(name, {"update T set A = 10"}); });
    } catch (const Exception& e) {
      error = cp1251::ToUtf8(e.Message());
    }
    host_.fail_flush_at = 0;
    const std::string flush_error = "Ошибка записи на диск каталога " + host::ExtractFileDir(L) +
                                    " после переименования файла " + L + from + " в " + L + to + " :\r\nКод: 5: EIO.";
    const V log = Take();
    const auto renamed = std::find(log.begin(), log.end(), "Файл " + L + from + " переименован в " + L + to + ".");
    ASSERT_NE(renamed, log.end());
    EXPECT_NE(std::find(renamed, log.end(), (c.update_stands ? "" : "Ошибка:\r\n") + flush_error), log.end());
    EXPECT_EQ(error, c.update_stands ? "" : flush_error);
    EXPECT_EQ(QueryInt(db.Connection(), "select A from T"), c.update_stands ? 10 : 1);
    EXPECT_EQ(Exists(L + ".lst"), c.update_stands);
  }
}

TEST_F(DbFiles, AFailingShutdownTouchesNothing) {
  fb::testing::ScratchDatabase db({"create table T (A integer)"});
  Use(db);
  service_->ServerName = "127.0.0.1/1";  // nothing listens there
  bool worked = false;
  EXPECT_THROW(service_->RunOnDatabaseCopy([&](const std::string&) { worked = true; }), Exception);
  EXPECT_FALSE(worked);
  EXPECT_EQ(Take(), V{"БД в даун ..."});
  EXPECT_TRUE(Exists(db.Path()));
  EXPECT_FALSE(Exists(db.Path() + ".lst"));
}

}  // namespace
}  // namespace korvel::dbservice
