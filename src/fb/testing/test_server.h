// Test support: the Firebird server the test suite runs against
// (tools/ci/firebird-test-server.sh start), reached on loopback as SYSDBA
// with the password pinecrest, and the embedded engine for local files.
// Tests that need the server skip with a clear message when it does not
// answer, so that a bare ctest without it still runs everything else;
// where the server is part of the run (./test.sh sets the environment
// variable KORVEL_REQUIRE_FIREBIRD=1) they fail instead, so that a server
// that did not start cannot leave the run green.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fb/client_library.h"
#include "fb/database.h"
#include "host/testing/temp_dir.h"

namespace korvel::fb::testing {

// Connection strings for the test server are this prefix + a local path.
inline constexpr const char* kServerPrefix = "127.0.0.1/3050:";
inline constexpr const char* kPassword = "pinecrest";

// The client library, loaded once per process; null when it cannot be
// loaded.
ClientLibrary* TestClient();
// Whether the test server answers (checked once per process).
bool ServerReachable();
// Whether the client can open local files through the embedded engine
// (the process needs access to the engine's lock directory).
bool EmbeddedAvailable();

// Whether a missing server or client library fails the tests that need
// them (KORVEL_REQUIRE_FIREBIRD=1) instead of skipping them.
bool FirebirdRequired();

// The first column of the first row of `sql` on `connection` (server prefix
// + path, or a local path), as text; empty when the select returns no row.
std::string SelectValue(const std::string& connection, const std::string& sql);

// Lets the server's own account create and write files in `directory`.
void MakeServerAccessible(const std::string& directory);

// Creates a WIN1251 database through `connection` (server prefix + path, or
// a local path) and runs `statements` in it, each committed on its own.
void CreateDatabase(const std::string& connection, const std::vector<std::string>& statements);
// Runs `statements` on the existing database `connection`, each committed
// on its own.
void ExecuteStatements(const std::string& connection, const std::vector<std::string>& statements);

// The statements of the pharmacy database's ORGANIZATION table with one row.
std::vector<std::string> OrganizationStatements(int pred_id, int node_id, int sysverno);
// OrganizationStatements and the other tables every full run reads, empty:
// the private scripts' log SCRIPT_LOG and the pricing procedure's versions
// PRICING_PROCS (none due).
std::vector<std::string> PharmacyStatements(int pred_id, int node_id, int sysverno);

// Sets the connection parameters of the program (WIN1251, SYSDBA).
void SetProgramParams(Database& database);

// A fresh database file "base.fdb" on the test server, in a temporary
// directory of its own that goes with everything in it.
class ScratchDatabase {
 public:
  explicit ScratchDatabase(const std::vector<std::string>& statements = {});
  const std::string& Path() const { return path_; }
  // kServerPrefix + Path().
  std::string Connection() const { return kServerPrefix + path_; }
  const korvel::testing::TempDir& Dir() const { return dir_; }

 private:
  korvel::testing::TempDir dir_;
  std::string path_;
};

}  // namespace korvel::fb::testing

// Skips the current test with `message` (a stream expression), or fails it
// when the Firebird parts are required (FirebirdRequired). For test bodies
// and SetUp.
#define KORVEL_FB_UNAVAILABLE(message)                                                          \
  do {                                                                                          \
    if (::korvel::fb::testing::FirebirdRequired()) {                                            \
      GTEST_FAIL() << message << " (KORVEL_REQUIRE_FIREBIRD=1: the run needs it)";             \
    } else {                                                                                    \
      GTEST_SKIP() << message;                                                                  \
    }                                                                                           \
  } while (false)

#define KORVEL_REQUIRE_FB_CLIENT()                                                                    \
  do {                                                                                                \
    if (::korvel::fb::testing::TestClient() == nullptr)                                               \
      KORVEL_FB_UNAVAILABLE("Firebird client library " << ::korvel::fb::DefaultClientLibraryName() \
                                                       << " cannot be loaded");                       \
  } while (false)

#define KORVEL_REQUIRE_FB_SERVER()                                                                  \
  do {                                                                                              \
    if (!::korvel::fb::testing::ServerReachable())                                                  \
      KORVEL_FB_UNAVAILABLE("Firebird test server not reachable at "                                \
                            << ::korvel::fb::testing::kServerPrefix                                 \
                            << " (start it with tools/ci/firebird-test-server.sh start)");          \
  } while (false)

#define KORVEL_REQUIRE_FB_EMBEDDED()                                                        \
  do {                                                                                      \
    if (!::korvel::fb::testing::EmbeddedAvailable())                                        \
      KORVEL_FB_UNAVAILABLE("Firebird embedded engine not available to this process");     \
  } while (false)
