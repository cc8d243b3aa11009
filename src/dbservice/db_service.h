// TDbService: the object through which the program maintains the Firebird
// server and its database on the server's own host. This file holds the
// class with every field its operations share, its construction, the
// message helpers and the server's service control (db_service.cpp); the
// database state, backup and restore, and the file check and recovery are
// further members of the same class, kept in files of their own.
//
// Ownership: the run's data module owns the one TDbService of a run; the
// host and the client library it is given outlive it. All strings are
// Windows-1251.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fb/client_library.h"
#include "fb/database.h"
#include "fb/statement.h"
#include "host/host.h"

namespace korvel::dbservice {

// The services-API components' design-time settings: the server to attach
// to, the protocol and the attachment parameters ("user_name=SYSDBA",
// "password=..."). The services layer of the client reads them when an
// operation attaches.
struct TServiceSettings {
  std::string ServerName;
  bool ProtocolTcp = true;
  bool LoginPrompt = false;
  std::vector<std::string> Params;
  // Backup and restore only.
  bool Verbose = false;
  int BlockingFactor = 0;
  int PageSize = 0;
  int PageBuffers = 0;
};

// Receives one progress message; the run binds it to its WriteLog.
using TMessageEvent = std::function<void(const std::string& message)>;

// The Firebird service names the run sets.
inline constexpr const char* kClassicServiceName = "FirebirdServerClassic";
inline constexpr const char* kPelkoraServiceName = "FirebirdServerPelkora";
inline constexpr const char* kLegacyServiceName = "YaffilSQLServer(SS)";
// The Classic server's process, checked before its service is stopped.
inline constexpr const char* kClassicServerExe = "fb_inet_server.exe";

class TDbService {
 public:
  // DataModuleCreate: the administrator's login on the services components
  // and on dbApteka.
  TDbService(host::Host& host, fb::ClientLibrary& client);
  ~TDbService();
  TDbService(const TDbService&) = delete;
  TDbService& operator=(const TDbService&) = delete;

  // Passes `text` to OnMessage when it is bound; otherwise nothing.
  void Log(const std::string& text);
  // Raises the general exception with `text`.
  [[noreturn]] void Fail(const std::string& text);

  // ---- Service control of the Firebird server ----

  // Starts ServiceName unless it is running: "Запуск службы " + name + " ...",
  // the start with its wait, a 5-second pause, "Запуск службы - OK". A
  // running service is left alone without message or pause. Errors of the
  // service layer pass unchanged.
  void StartServer();
  // Stops ServiceName unless it is stopped, like StartServer ("Останов
  // службы " + name + " ...", "Останов службы - OK"). With ServiceName
  // exactly "FirebirdServerClassic" only the 5-second pause: the Classic
  // server's service is never stopped here.
  void StopServer();
  // Stops the Classic server's service for a server software update; raises
  // for another service name, another executable than fb_inet_server.exe,
  // or more than one server process (before any stop is sent).
  void StopClassic();

  // ---- Components (declaration order of the data module) ----
  TServiceSettings svConfig;
  fb::Database dbApteka;
  fb::Transaction trApteka;
  fb::Query qrFiles;
  TServiceSettings svBackup;
  TServiceSettings svRestore;
  TServiceSettings svSweep;

  // ---- Fields ----
  // Server, a colon, then the path on the server.
  std::string DatabaseName;
  // The part before the first ":" (host, optionally "/" and a port).
  std::string ServerName;
  // The Windows service name of the Firebird server.
  std::string ServiceName;
  std::string DbFileName;
  std::string DbLstFileName, DbTmpFileName, DbNewFileName;
  // Directory of DbFileName + "Tmp\" + its file name.
  std::string DbTmpDirFileName;
  // The database's single shadow file, empty when none.
  std::string ShadowFileName;
  std::string ShadowLstFileName, ShadowTmpFileName;
  // DbFileName with the extension ".ShadowLink".
  std::string ShadowLinkFileName;
  TMessageEvent OnMessage;
  // Progress lines of the running backup or restore.
  std::vector<std::string> VerboseLines;

  host::Host& Host() { return host_; }

 private:
  host::Host& host_;
};

}  // namespace korvel::dbservice
