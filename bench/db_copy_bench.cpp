// The downtime of one numbered-script update on a copy of the database
// (TDbService::RunOnDatabaseCopy: from the forced shutdown to the database
// online again) against the same work done with the server's own tools in
// the same run: gfix -shut, cp, isql-fb on the same script, gbak -b -m and
// gbak -c of the metadata, gfix -online.
//
// The database: TABLES tables of 730 rows of 1000 characters, about 1 MB
// each on disk (200 tables: about 200 MB by
// default), made once on the server. The script adds a column to every
// table, each change committed on its own. The program's fixed pauses are
// left out (an instant clock) and the server's service is not stopped (a
// service that reports itself running), so both sides do the same work on
// a running server.
//
// Usage: db_copy_bench DIRECTORY [TABLES] [ROUNDS]
//   DIRECTORY  a directory the server may write to (created, emptied)
//   ROUNDS     default 3; each round has a fresh copy of the database
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dbservice/db_service.h"
#include "fb/client_library.h"
#include "fb/database.h"
#include "host/forwarding_host.h"
#include "host/host.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kServer = "127.0.0.1/3050";
constexpr const char* kLogin = "-user SYSDBA -password pinecrest";

class BenchHost : public korvel::host::ForwardingHost {
 public:
  using ForwardingHost::ForwardingHost;
  void Sleep(unsigned) override {}
  // A service that goes where it is sent at once.
  std::unique_ptr<korvel::host::ServiceManagerHandle> OpenServiceManager(const std::string&, bool) override {
    struct Service : korvel::host::ServiceHandle {
      explicit Service(int& state) : state_(state) {}
      int QueryState() override { return state_; }
      bool Start() override {
        state_ = korvel::host::kServiceRunning;
        return true;
      }
      void SendStop() override { state_ = korvel::host::kServiceStopped; }
      int& state_;
    };
    struct Manager : korvel::host::ServiceManagerHandle {
      explicit Manager(int& state) : state_(state) {}
      std::unique_ptr<korvel::host::ServiceHandle> OpenService(const std::string&, bool) override {
        return std::make_unique<Service>(state_);
      }
      int& state_;
    };
    return std::make_unique<Manager>(state_);
  }

 private:
  int state_ = korvel::host::kServiceRunning;
};

void Execute(korvel::fb::ClientLibrary& client, const std::string& connection, const std::vector<std::string>& sql) {
  korvel::fb::Database db(client);
  db.DatabaseName = connection;
  db.Params = {"lc_ctype=WIN1251", "user_name=SYSDBA", "password=pinecrest"};
  db.Open();
  korvel::fb::Transaction tr(db);
  for (const std::string& statement : sql) {
    tr.StartTransaction();
    db.ExecuteImmediate(tr, statement);
    tr.Commit();
  }
  db.Close();
}

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: db_copy_bench DIRECTORY [TABLES] [ROUNDS]\n");
    return 2;
  }
  const fs::path dir = fs::absolute(argv[1]);
  const int tables = argc > 2 ? std::atoi(argv[2]) : 200;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);
  const std::unique_ptr<korvel::host::Host> system = korvel::host::CreateSystemHost(argc, argv);
  BenchHost host(*system);
  korvel::fb::ClientLibrary client(host, korvel::fb::DefaultClientLibraryName());
  if (!client.Load()) {
    std::fprintf(stderr, "no Firebird client library\n");
    return 1;
  }

  // The database, once; the texts do not compress (the page format packs
  // runs of one character).
  const std::string pristine = (dir / "pristine.fdb").string();
  {
    korvel::fb::Database db(client);
    db.DatabaseName = std::string(kServer) + ":" + pristine;
    db.Params = {"lc_ctype=WIN1251", "user_name=SYSDBA", "password=pinecrest"};
    db.CreateDatabase("USER 'SYSDBA' PASSWORD 'pinecrest' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1251");
    db.Close();
    std::vector<std::string> sql;
    for (int t = 1; t <= tables; ++t) {
      const std::string name = "T" + std::to_string(t);
      sql.push_back("create table " + name + " (ID integer not null primary key, S varchar(1000))");
      sql.push_back("execute block as declare i integer = 0; begin while (i < 730) do begin insert into " + name +
                    " values (:i, rpad(uuid_to_char(gen_uuid()), 1000, uuid_to_char(gen_uuid()))); i = i + 1; end end");
    }
    Execute(client, std::string(kServer) + ":" + pristine, sql);
  }
  std::vector<std::string> script;
  std::string script_text;
  for (int t = 1; t <= tables; ++t) {
    script.push_back("alter table T" + std::to_string(t) + " add NOTE varchar(20)");
    script_text += script.back() + ";\n";
  }
  const std::string script_file = (dir / "script.sql").string();
  std::ofstream(script_file) << script_text << "commit;\n";
  std::printf("database: %d tables, %.0f MB\n", tables, static_cast<double>(fs::file_size(pristine)) / 1048576);

  std::vector<double> ours, tools;
  for (int round = 0; round < rounds; ++round) {
    // The program: the whole swap, scripts and metadata check included.
    const std::string live = (dir / "base.fdb").string();
    for (const char* ext : {"", ".lst", ".new", ".tmp"}) fs::remove(live + ext);
    host.CopyFile(pristine, live);
    {
      korvel::dbservice::TDbService service(host, client);
      service.SetDatabase(std::string(kServer) + ":" + live);
      service.ServiceName = korvel::dbservice::kPelkoraServiceName;
      service.ReadDatabaseFiles();
      const auto start = Clock::now();
      service.RunOnDatabaseCopy([&](const std::string& name) { Execute(client, name, script); });
      ours.push_back(Seconds(start));
    }

    // The tools: the same steps by hand.
    const std::string copy = (dir / "tools.fdb").string();
    const std::string meta_bak = (dir / "meta.bak").string(), meta_fdb = (dir / "meta.fdb").string();
    for (const std::string& f : {copy, copy + ".lst", meta_bak, meta_fdb}) fs::remove(f);
    host.CopyFile(pristine, copy);
    const std::string remote = std::string(kServer) + ":" + copy;
    const auto start = Clock::now();
    // Single-user maintenance: isql-fb and gbak as SYSDBA may still attach,
    // one at a time (a full shutdown would refuse them).
    Shell("gfix " + std::string(kLogin) + " -shut single -force 0 " + remote);
    Shell("cp --preserve=mode,ownership " + copy + " " + copy + ".lst");
    Shell("isql-fb -q " + std::string(kLogin) + " -i " + script_file + " " + remote + " >/dev/null");
    Shell("gbak -b -m -g " + std::string(kLogin) + " " + remote + " " + meta_bak);
    Shell("gbak -c " + std::string(kLogin) + " " + meta_bak + " " + std::string(kServer) + ":" + meta_fdb);
    Shell("gfix " + std::string(kLogin) + " -online " + remote);
    tools.push_back(Seconds(start));
    for (const std::string& f : {copy, copy + ".lst", meta_bak, meta_fdb}) fs::remove(f);
    std::fflush(stdout);
    std::printf("round %d: RunOnDatabaseCopy %.2f s, tools %.2f s\n", round + 1, ours.back(), tools.back());
  }
  std::sort(ours.begin(), ours.end());
  std::sort(tools.begin(), tools.end());
  std::printf("median: RunOnDatabaseCopy %.2f s, tools %.2f s, ratio %.2f\n", ours[ours.size() / 2],
              tools[tools.size() / 2], ours[ours.size() / 2] / tools[tools.size() / 2]);
  fs::remove_all(dir);
  return 0;
}
