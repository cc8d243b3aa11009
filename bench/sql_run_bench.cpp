// Runs the same two scripts with `korvel-tool sql-run` and with the
// server's own isql-fb against the Firebird server, each into a fresh
// database, and prints the wall-clock times:
//   inserts.sql  20,000 single-row INSERTs and one COMMIT
//   ddl.sql      300 DDL statements: tables, procedures with bodies and
//                triggers (under SET TERM ^, so that isql reads them too),
//                each committed on its own (sql-run --autoddl, isql's
//                default AUTODDL ON)
//
// Usage: sql_run_bench [SERVER_PREFIX] [ROUNDS] [inserts|ddl]
//   SERVER_PREFIX  default 127.0.0.1/3050: (SYSDBA / pinecrest)
//   ROUNDS         default 3; the best and the median round are shown
//   inserts|ddl    only that script (default both)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fb/client_library.h"
#include "fb/database.h"
#include "fb/ib_error.h"
#include "fb/statement.h"
#include "host/cp1251.h"
#include "host/host.h"

namespace {

using namespace korvel::literals;
namespace fs = std::filesystem;

std::string InsertScript() {
  std::string s;
  for (int i = 1; i <= 20000; ++i) {
    s += "insert into BENCH (ID, NAME, QTY, PRICE) values (" + std::to_string(i) + ", '" + "Товар "_cp +
         std::to_string(i) + "', " + std::to_string(i % 50) + ", " + std::to_string(i % 1000) + ".25);\r\n";
  }
  s += "commit;\r\n";
  return s;
}

std::string DdlScript() {
  std::string s = "set term ^ ;\r\n";
  for (int i = 1; i <= 100; ++i) {
    const std::string n = std::to_string(i);
    s += "create table T" + n + " (ID integer not null primary key, NAME varchar(60), QTY integer)^\r\n";
    s += "create procedure P" + n + " (X integer)\r\nreturns (Y integer, NAME varchar(60))\r\nas\r\n"
         "declare variable K integer;\r\nbegin\r\n  K = 0;\r\n  for select ID, NAME from T" + n +
         " where QTY > :X into :Y, :NAME do\r\n  begin\r\n    K = K + 1;\r\n    if (K > 10) then exit;\r\n"
         "    suspend;\r\n  end\r\nend^\r\n";
    s += "create trigger T" + n + "_BI for T" + n + " active before insert position 0 as\r\nbegin\r\n"
         "  if (new.QTY is null) then new.QTY = 0;\r\nend^\r\n";
  }
  s += "set term ; ^\r\ncommit;\r\n";
  return s;
}

void WriteText(const fs::path& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

std::string Shell(const std::string& s) { return "'" + s + "'"; }

struct Bench {
  korvel::fb::ClientLibrary& client;
  std::string prefix;
  fs::path dir;
  int counter = 0;

  // A fresh database with the table the insert script fills.
  std::string FreshDatabase() {
    const fs::path file = dir / ("b" + std::to_string(++counter) + ".fdb");
    korvel::fb::Database db(client);
    db.DatabaseName = prefix + file.string();
    db.CreateDatabase("USER 'SYSDBA' PASSWORD 'pinecrest' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1251");
    korvel::fb::Transaction tr(db);
    tr.StartTransaction();
    db.ExecuteImmediate(tr, "create table BENCH (ID integer, NAME varchar(60), QTY integer, PRICE numeric(15,2))");
    tr.Commit();
    db.Close();
    return db.DatabaseName;
  }

  std::string Count(const std::string& database, const std::string& sql) {
    korvel::fb::Database db(client);
    db.DatabaseName = database;
    db.Params = {"lc_ctype=WIN1251", "user_name=SYSDBA", "password=pinecrest"};
    db.Open();
    korvel::fb::Transaction tr(db);
    korvel::fb::Query q(db, tr);
    q.SQL = {sql};
    q.Open();
    std::string value = q.FieldByName("N").AsString();
    q.Close();
    tr.Commit();
    db.Close();
    return value;
  }

  // Seconds of one run of `command` (database appended), or -1 on failure.
  double Time(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const auto end = std::chrono::steady_clock::now();
    if (rc != 0) return -1;
    return std::chrono::duration<double>(end - start).count();
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string prefix = argc > 1 ? argv[1] : "127.0.0.1/3050:";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::string only = argc > 3 ? argv[3] : "";
  std::unique_ptr<korvel::host::Host> host = korvel::host::CreateSystemHost(argc, argv);
  korvel::fb::ClientLibrary client(*host, korvel::fb::DefaultClientLibraryName());
  if (!client.Load()) {
    std::fprintf(stderr, "Firebird client library cannot be loaded\n");
    return 1;
  }
  char pattern[] = "/tmp/korvel-sql-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;
  fs::permissions(dir, fs::perms::all, fs::perm_options::add);
  const fs::path inserts = dir / "inserts.sql";
  const fs::path ddl = dir / "ddl.sql";
  WriteText(inserts, InsertScript());
  WriteText(ddl, DdlScript());
  Bench bench{client, prefix, dir};

  struct Case {
    const char* name;
    fs::path script;
    const char* check;
    const char* expected;
  };
  const Case cases[] = {
      {"20000 INSERTs + COMMIT", inserts, "select count(*) N from BENCH", "20000"},
      {"300 DDL with bodies   ", ddl, "select count(*) N from RDB$PROCEDURES where RDB$PROCEDURE_NAME starting 'P'",
       "100"},
  };
  int failures = 0;
  try {
    for (const Case& c : cases) {
      if (!only.empty() && c.script.stem() != (only == "ddl" ? "ddl" : "inserts")) continue;
      std::vector<double> ours, theirs;
      for (int round = 0; round < rounds; ++round) {
        for (int tool = 0; tool < 2; ++tool) {
          // Alternate which tool goes first, so neither always meets a cold server.
          const bool korvel = (tool == 0) == (round % 2 == 0);
          const std::string database = bench.FreshDatabase();
          std::string command;
          if (korvel) {
            command = "cd " + Shell(dir.string()) + " && " + Shell(KORVEL_TOOL) + " sql-run " + Shell(database) + " " +
                      Shell(c.script.string()) + (c.script == ddl ? " --autoddl" : "") + " > /dev/null";
          } else {
            command = "isql-fb -q -b -ch WIN1251 -user SYSDBA -password pinecrest -i " + Shell(c.script.string()) +
                      " " + Shell(database) + " > /dev/null";
          }
          const double seconds = bench.Time(command);
          const std::string count = bench.Count(database, c.check);
          if (seconds < 0 || count != c.expected) {
            std::fprintf(stderr, "%s with %s failed (count %s)\n", c.name, korvel ? "sql-run" : "isql-fb",
                         count.c_str());
            ++failures;
          }
          (korvel ? ours : theirs).push_back(seconds);
        }
      }
      std::sort(ours.begin(), ours.end());
      std::sort(theirs.begin(), theirs.end());
      std::printf("%s  sql-run best %.3f s median %.3f s   isql-fb best %.3f s median %.3f s   ratio %.2f\n", c.name,
                  ours.front(), ours[ours.size() / 2], theirs.front(), theirs[theirs.size() / 2],
                  ours[ours.size() / 2] / theirs[theirs.size() / 2]);
    }
  } catch (const korvel::Exception& e) {
    std::fprintf(stderr, "%s\n", korvel::cp1251::ToUtf8(e.Message()).c_str());
    ++failures;
  }
  fs::remove_all(dir);
  return failures == 0 ? 0 : 1;
}
