#include "fb/database.h"

#include <gtest/gtest.h>

#include "fb/statement.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"

namespace korvel::fb {
namespace {

using namespace korvel::literals;
using testing::kServerPrefix;
using testing::ScratchDatabase;
using testing::SetProgramParams;
using testing::TestClient;

TEST(ClientLibraryTest, LoadsByNameAndRefusesUnknownLibraries) {
  KORVEL_REQUIRE_FB_CLIENT();
  EXPECT_TRUE(TestClient()->Loaded());

  ClientLibrary missing(korvel::testing::SystemHost(), "libkorvel-no-such-client.so");
  EXPECT_FALSE(missing.Load());
  EXPECT_FALSE(missing.Loaded());
  try {
    missing.Api();
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    // With the system's reason: "Код: 126: ..." on Windows, the loader's text here.
    EXPECT_EQ(e.Message(), "Firebird client library libkorvel-no-such-client.so is not loaded (" +
                               missing.LoadFailure() + ")");
    EXPECT_EQ(missing.LoadFailure().rfind("Код: "_cp, 0), 0u) << missing.LoadFailure();
    EXPECT_STREQ(e.TypeName(), "EIBClientError");
  }
  // A database on a library that is not loaded fails at Open, not before.
  Database database(missing);
  database.DatabaseName = "x.fdb";
  EXPECT_THROW(database.Open(), EIBClientError);
  EXPECT_FALSE(database.Connected());
}

// The client that was missing at the start and has been put in place since
// (the run copies one beside the executable) is loaded at its first use.
TEST(ClientLibraryTest, AClientThatAppearsLaterIsLoadedAtFirstUse) {
  KORVEL_REQUIRE_FB_CLIENT();
  struct LateHost : host::ForwardingHost {
    LateHost() : ForwardingHost(korvel::testing::SystemHost()) {}
    std::unique_ptr<host::SharedLibrary> LoadLibrary(const std::string& name) override {
      if (!present) throw EOSError(SysError{0, SysErrorKind::kNotFound, "not there yet"});
      return ForwardingHost::LoadLibrary(name);
    }
    bool present = false;
  } host;
  ClientLibrary client(host, DefaultClientLibraryName());
  EXPECT_FALSE(client.Load());
  EXPECT_THROW(client.Api(), EIBClientError);
  host.present = true;
  EXPECT_NO_THROW(client.Api());
  EXPECT_TRUE(client.Loaded());
}

TEST(ParameterBlockTest, ConnectionParametersOfTheProgram) {
  const std::string block = BuildConnectionBlock({"lc_ctype=WIN1251", "user_name=SYSDBA", "password=pinecrest"}, 3);
  const std::string expected = std::string("\x01", 1) +                       // version 1
                               "\x30\x07WIN1251" +                            // lc_ctype
                               "\x1c\x06SYSDBA" +                             // user_name
                               "\x1d\x09pinecrest" +                          // password
                               std::string("\x3f\x04\x03\x00\x00\x00", 6);  // sql_dialect 3
  EXPECT_EQ(block, expected);
  // Letter case and the client's prefix do not matter; blank lines are skipped.
  EXPECT_EQ(BuildConnectionBlock({"ISC_DPB_LC_CTYPE=WIN1251", "", "User_Name=SYSDBA", "PASSWORD=pinecrest"}, 3),
            expected);
  try {
    BuildConnectionBlock({"colour=red"}, 3);
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Unknown connection parameter colour");
  }
  EXPECT_THROW(BuildConnectionBlock({"password=" + std::string(256, 'x')}, 3), EIBClientError);
}

TEST(ParameterBlockTest, TransactionWordsOfTheProgram) {
  // trRead: write, nowait, rec_version, read_committed.
  EXPECT_EQ(Transaction::BuildParameterBlock({"write", "nowait", "rec_version", "read_committed"}),
            std::string("\x03\x09\x07\x11\x0f"));
  // trWrite: write, nowait, concurrency.
  EXPECT_EQ(Transaction::BuildParameterBlock({"write", "nowait", "concurrency"}), std::string("\x03\x09\x07\x02"));
  EXPECT_EQ(Transaction::BuildParameterBlock({"isc_tpb_READ", "Wait", "lock_timeout=5"}),
            std::string("\x03\x08\x06\x15\x04\x05\x00\x00\x00", 9));
  EXPECT_EQ(Transaction::BuildParameterBlock({}), "");
  try {
    Transaction::BuildParameterBlock({"write", "fast"});
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Unknown transaction parameter fast");
  }
}

TEST(DatabaseErrorTest, UnreachableServerGivesTheClientsNetworkError) {
  KORVEL_REQUIRE_FB_CLIENT();
  Database database(*TestClient());
  SetProgramParams(database);
  // Nothing listens on port 1 of the loopback interface.
  database.DatabaseName = "127.0.0.1/1:/nonexistent/base.fdb";
  try {
    database.Open();
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_STREQ(e.TypeName(), "EIBInterBaseError");
    EXPECT_TRUE(e.HasErrorCode(kIscNetworkError));
    EXPECT_EQ(e.ErrorCodes().front(), kIscNetworkError);
    // First line as the client words it, further lines after "-".
    EXPECT_EQ(e.Message().rfind("Unable to complete network request to host \"127.0.0.1\".\r\n-", 0), 0u)
        << e.Message();
    EXPECT_EQ(e.SQLCode(), -902);
  }
  EXPECT_FALSE(database.Connected());
  EXPECT_NO_THROW(database.Close());
}

TEST(DatabaseErrorTest, MissingFileAndWrongPasswordOnTheServer) {
  KORVEL_REQUIRE_FB_SERVER();
  korvel::testing::TempDir dir;
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = kServerPrefix + (dir / "missing.fdb");
  try {
    database.Open();
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_TRUE(e.HasErrorCode(kIscIoError)) << e.Message();
    EXPECT_NE(e.Message().find("missing.fdb"), std::string::npos) << e.Message();
  }

  ScratchDatabase scratch;
  database.DatabaseName = scratch.Connection();
  database.Params = {"lc_ctype=WIN1251", "user_name=SYSDBA", "password=wrong"};
  try {
    database.Open();
    FAIL() << "no exception";
  } catch (const EIBInterBaseError& e) {
    EXPECT_TRUE(e.HasErrorCode(kIscLoginError)) << e.Message();
  }
  EXPECT_FALSE(database.Connected());
}

TEST(DatabaseTest, OpenCloseReopenAndMisuse) {
  KORVEL_REQUIRE_FB_SERVER();
  ScratchDatabase scratch;
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = scratch.Connection();
  database.Open();
  EXPECT_TRUE(database.Connected());
  EXPECT_THROW(database.Open(), EIBClientError);
  EXPECT_THROW(database.CreateDatabase(""), EIBClientError);
  database.Close();
  EXPECT_FALSE(database.Connected());
  database.Close();  // nothing to do
  database.Open();
  EXPECT_TRUE(database.Connected());
}

TEST(DatabaseTest, CloseRollsBackActiveTransactionsAndFreesStatements) {
  KORVEL_REQUIRE_FB_SERVER();
  ScratchDatabase scratch({"create table T (A integer)", "insert into T values (1)"});
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = scratch.Connection();
  database.Open();
  Transaction transaction(database);
  transaction.Params = {"write", "nowait", "concurrency"};
  transaction.StartTransaction();
  database.ExecuteImmediate(transaction, "insert into T values (2)");
  Statement select(database, transaction);
  select.Prepare("select A from T order by A");
  select.Execute();
  ASSERT_TRUE(select.Fetch());

  database.Close();
  EXPECT_FALSE(transaction.InTransaction());
  EXPECT_FALSE(select.Prepared());
  EXPECT_FALSE(select.CursorOpen());
  EXPECT_FALSE(select.HasRow());

  // The uncommitted row is gone; the statement prepares anew.
  database.Open();
  transaction.StartTransaction();
  select.Prepare("select count(*) as N from T");
  select.Execute();
  ASSERT_TRUE(select.Fetch());
  EXPECT_EQ(select.FieldByName("N").AsInteger(), 1);
}

TEST(DatabaseTest, ObjectsMayGoInAnyOrder) {
  KORVEL_REQUIRE_FB_SERVER();
  ScratchDatabase scratch({"create table T (A integer)"});
  auto database = std::make_unique<Database>(*TestClient());
  SetProgramParams(*database);
  database->DatabaseName = scratch.Connection();
  database->Open();
  auto transaction = std::make_unique<Transaction>(*database);
  transaction->StartTransaction();
  Statement statement(*database, *transaction);
  statement.Prepare("select A from T");
  statement.Execute();
  // The transaction goes first (rolled back), then the database; the
  // statement is left without either and refuses work cleanly.
  transaction.reset();
  EXPECT_FALSE(statement.CursorOpen());
  database.reset();
  EXPECT_THROW(statement.Execute(), EIBClientError);
  EXPECT_THROW(statement.Prepare("select A from T"), EIBClientError);
}

TEST(DatabaseTest, TransactionsCommitRollBackAndRetain) {
  KORVEL_REQUIRE_FB_SERVER();
  ScratchDatabase scratch({"create table T (A integer)"});
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = scratch.Connection();
  database.Open();
  Transaction write(database);
  write.Params = {"write", "nowait", "concurrency"};
  EXPECT_THROW(database.ExecuteImmediate(write, "insert into T values (1)"), EIBClientError);
  EXPECT_THROW(write.Commit(), EIBClientError);

  write.StartTransaction();
  EXPECT_THROW(write.StartTransaction(), EIBClientError);
  database.ExecuteImmediate(write, "insert into T values (1)");
  write.CommitRetaining();
  EXPECT_TRUE(write.InTransaction());
  database.ExecuteImmediate(write, "insert into T values (2)");
  write.RollbackRetaining();
  database.ExecuteImmediate(write, "insert into T values (3)");
  write.Commit();
  EXPECT_FALSE(write.InTransaction());
  write.StartTransaction();
  database.ExecuteImmediate(write, "insert into T values (4)");
  write.Rollback();

  Transaction read(database);
  read.Params = {"write", "nowait", "rec_version", "read_committed"};
  Query query(database, read);
  query.SQL = {"select list(A) as L", "from (select A from T order by A)"};
  query.Open();
  EXPECT_EQ(query.FieldByName("L").AsString(), "1,3");
}

TEST(DatabaseTest, CreateAndDropDatabase) {
  KORVEL_REQUIRE_FB_SERVER();
  korvel::testing::TempDir dir;
  testing::MakeServerAccessible(dir.path());
  // An apostrophe in the path is quoted in the CREATE DATABASE text.
  const std::string path = dir / "it's.fdb";
  Database database(*TestClient());
  database.DatabaseName = kServerPrefix + path;
  database.CreateDatabase("USER 'SYSDBA' PASSWORD 'pinecrest' DEFAULT CHARACTER SET WIN1251");
  EXPECT_TRUE(database.Connected());
  EXPECT_TRUE(korvel::testing::SystemHost().FileExists(path));
  database.DropDatabase();
  EXPECT_FALSE(database.Connected());
  EXPECT_FALSE(korvel::testing::SystemHost().FileExists(path));

  // Creating over an existing file fails with the server's message.
  testing::CreateDatabase(kServerPrefix + path, {});
  EXPECT_THROW(database.CreateDatabase("USER 'SYSDBA' PASSWORD 'pinecrest'"), EIBInterBaseError);
  EXPECT_FALSE(database.Connected());
}

TEST(EmbeddedTest, LocalFileWithoutServer) {
  KORVEL_REQUIRE_FB_EMBEDDED();
  korvel::testing::TempDir dir;
  const std::string path = dir / "orvpos.gdb";
  testing::CreateDatabase(path, testing::OrganizationStatements(12, 5, 700));
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = path;
  database.Open();
  Transaction transaction(database);
  Query query(database, transaction);
  query.SQL = {"select o.PRED_ID, o.NODE_ID, o.SYSVERNO", "from ORGANIZATION o"};
  query.Open();
  EXPECT_EQ(query.FieldByName("NODE_ID").AsInteger(), 5);
  database.Close();
}

// An installation whose path has Cyrillic letters: the program's
// Windows-1251 name reaches the client in the file system's encoding, on the
// server and through the embedded engine (the /POS database).
void ExpectOpensUnderCyrillicDirectory(const std::string& prefix) {
  korvel::testing::TempDir dir;
  const std::string cyrillic = dir / "Аптека №5"_cp;
  korvel::testing::SystemHost().CreateDirectory(cyrillic);
  testing::MakeServerAccessible(dir.path());
  testing::MakeServerAccessible(cyrillic);
  const std::string path = host::JoinPath(cyrillic, "база.fdb"_cp);
  testing::CreateDatabase(prefix + path, testing::OrganizationStatements(12, 5, 700));
  EXPECT_TRUE(korvel::testing::SystemHost().FileExists(path)) << "created under another name";
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = prefix + path;
  database.Open();
  Transaction transaction(database);
  Query query(database, transaction);
  query.SQL = {"select o.PRED_ID, o.NODE_ID, o.SYSVERNO", "from ORGANIZATION o"};
  query.Open();
  EXPECT_EQ(query.FieldByName("NODE_ID").AsInteger(), 5);
  query.Close();
  database.Close();
}

TEST(DatabaseTest, PathWithCyrillicLettersOnTheServer) {
  KORVEL_REQUIRE_FB_SERVER();
  ExpectOpensUnderCyrillicDirectory(kServerPrefix);
}

TEST(EmbeddedTest, PathWithCyrillicLetters) {
  KORVEL_REQUIRE_FB_EMBEDDED();
  ExpectOpensUnderCyrillicDirectory("");
}

}  // namespace
}  // namespace korvel::fb
