#include "fb/testing/test_server.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "fb/ib_error.h"
#include "fb/statement.h"
#include "host/cp1251.h"
#include "host/testing/temp_dir.h"

namespace korvel::fb::testing {

ClientLibrary* TestClient() {
  static ClientLibrary* client = [] {
    static ClientLibrary library(korvel::testing::SystemHost(), DefaultClientLibraryName());
    return library.Load() ? &library : nullptr;
  }();
  return client;
}

void SetProgramParams(Database& database) {
  database.Params = {"lc_ctype=WIN1251", "user_name=SYSDBA", std::string("password=") + kPassword};
  database.SQLDialect = 3;
}

std::string SelectValue(const std::string& connection, const std::string& sql) {
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = connection;
  database.Open();
  Transaction transaction(database);
  Query query(database, transaction);
  query.SQL = {sql};
  query.Open();
  const std::string value = query.Eof() ? "" : query.GetStatement().Fields(0).AsString();
  query.Close();
  transaction.Commit();
  database.Close();
  return value;
}

bool ServerReachable() {
  static const bool reachable = [] {
    ClientLibrary* client = TestClient();
    if (client == nullptr) return false;
    // A database that cannot exist: a running server answers with a file
    // error, a missing one with a network error.
    Database database(*client);
    SetProgramParams(database);
    // KORVEL_TEST_FB_SERVER names another server for the probe alone: the
    // tests of the skip rule point it at a port where nothing answers.
    const char* probe_server = std::getenv("KORVEL_TEST_FB_SERVER");
    database.DatabaseName = std::string(probe_server != nullptr ? probe_server : kServerPrefix) +
                            "/nonexistent/korvel-probe.fdb";
    try {
      database.Open();
      database.Close();
      return true;
    } catch (const EIBInterBaseError& e) {
      return !e.HasErrorCode(kIscNetworkError);
    }
  }();
  return reachable;
}

bool FirebirdRequired() {
  const char* value = std::getenv("KORVEL_REQUIRE_FIREBIRD");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool EmbeddedAvailable() {
  static const bool available = [] {
    if (TestClient() == nullptr) return false;
    korvel::testing::TempDir dir;
    try {
      CreateDatabase(dir / "probe.fdb", {});
      return true;
    } catch (const EIBError&) {
      return false;
    }
  }();
  return available;
}

void MakeServerAccessible(const std::string& directory) {
  // Named by its UTF-8 form: a narrow path would be read in the ANSI code
  // page on Windows.
  const std::string utf8 = cp1251::ToUtf8(directory);
  std::filesystem::permissions(std::filesystem::path(std::u8string(utf8.begin(), utf8.end())),
                               std::filesystem::perms::all, std::filesystem::perm_options::add);
}

namespace {

// Runs each statement in a transaction of its own.
void RunEach(Database& database, const std::vector<std::string>& statements) {
  Transaction transaction(database);
  for (const std::string& sql : statements) {
    transaction.StartTransaction();
    database.ExecuteImmediate(transaction, sql);
    transaction.Commit();
  }
}

}  // namespace

void CreateDatabase(const std::string& connection, const std::vector<std::string>& statements) {
  ClientLibrary* client = TestClient();
  if (client == nullptr) throw EIBClientError("Firebird client library not loaded");
  Database database(*client);
  database.DatabaseName = connection;
  database.CreateDatabase(std::string("USER 'SYSDBA' PASSWORD '") + kPassword +
                          "' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1251");
  RunEach(database, statements);
  database.Close();
}

void ExecuteStatements(const std::string& connection, const std::vector<std::string>& statements) {
  Database database(*TestClient());
  SetProgramParams(database);
  database.DatabaseName = connection;
  database.Open();
  RunEach(database, statements);
  database.Close();
}

ScratchDatabase::ScratchDatabase(const std::vector<std::string>& statements) : path_(dir_ / "base.fdb") {
  MakeServerAccessible(dir_.path());
  CreateDatabase(Connection(), statements);
}

std::vector<std::string> OrganizationStatements(int pred_id, int node_id, int sysverno) {
  return {
      "create table ORGANIZATION (PRED_ID integer, NODE_ID integer, SYSVERNO integer)",
      "insert into ORGANIZATION (PRED_ID, NODE_ID, SYSVERNO) values (" + std::to_string(pred_id) + ", " +
          std::to_string(node_id) + ", " + std::to_string(sysverno) + ")",
  };
}

std::vector<std::string> PharmacyStatements(int pred_id, int node_id, int sysverno) {
  std::vector<std::string> statements = OrganizationStatements(pred_id, node_id, sysverno);
  statements.push_back(
      "create table SCRIPT_LOG (SCRIPT_ID varchar(38) not null primary key, APPLIED timestamp default current_timestamp)");
  statements.push_back("create table PRICING_PROCS (ID integer not null primary key, STATUS integer, "
                       "SCRIPT blob sub_type text)");
  return statements;
}

}  // namespace korvel::fb::testing
