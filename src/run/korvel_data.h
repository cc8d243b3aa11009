// The main data module: the run's state and the one fixed sequence of
// steps (Execute). Exactly one instance exists per process; it holds the
// host it was given and everything the run owns. The steps of the other
// subsystems are methods of this class, each a thin call into its
// subsystem with the directories, identity and log callback it needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbservice/db_service.h"
#include "fb/client_library.h"
#include "fb/database.h"
#include "fb/dataset.h"
#include "fb/statement.h"
#include "host/host.h"
#include "packages/signature.h"
#include "scripts/sql_script.h"

namespace korvel::run {

// The product's promotion service and its guard, stopped for the run.
inline constexpr const char* kPromoServiceName = "OrvPromos";
inline constexpr const char* kPromoGuardServiceName = "OrvPromGuard";

// What a run does after initialisation, chosen by the switches.
enum class RunMode {
  kRequest,  // only the request packet, an existing one kept
  kPos,      // workstation: package, working directory, private updates, packet
  kScripts,  // only the numbered scripts
  kFull,     // everything
};

class TdmKorvel {
 public:
  // Creates the run's working lists (DataModuleCreate).
  explicit TdmKorvel(host::Host& host);
  ~TdmKorvel();
  TdmKorvel(const TdmKorvel&) = delete;
  TdmKorvel& operator=(const TdmKorvel&) = delete;

  // One whole run: start-up, initialisation, the chosen mode and the
  // closing actions. Never throws; every failure ends in the run log, the
  // request packet or the system's event log. With the switch /VERSION
  // only the executable's file version is written to standard output:
  // no lock, no log, nothing else (the self-update starts a new build so
  // before it keeps it).
  void Execute();

  // Appends one entry to the monthly run log, to LogLines and, with
  // /OUTPUT, to the console. A console that cannot be written ends the echo
  // and nothing else. An entry the file does not take stays in LogLines and
  // goes to the system's event log with "Ошибка WriteLog:" in front of the
  // failure; during the run's steps that failure is then raised, while the
  // error handling and the closing actions go on.
  void WriteLog(std::string_view message);

  // Reads Korvel.ini (or the file of /INI) beside the executable into the
  // configuration fields. Needs ExeDir and PosMode.
  void ReadConfig();
  // Reads `key` of section [Path], trimmed; raises "Не найден параметр %s в
  // файле %s" when it is empty and empty is not allowed.
  void ReadPathParam(const std::string& key, bool empty_allowed, std::string& value);

  // Request wins over POS, POS over Scripts; otherwise the full mode.
  RunMode ChooseMode();

  // ---- Database connection (connection.cpp) ----

  // Closes dbApteka when connected (its transactions rolled back, its
  // queries closed), sets its name to DbName and connects. A failure is
  // raised again with "Ошибка открытия БД.\r\n" in front of its message.
  void OpenDatabase();
  // The connection's parameters and dialect as the program sets them.
  void ApplyConnectionSettings();
  // OpenDatabase (its failure passes unchanged), then reads PRED_ID, NODE_ID
  // and SYSVERNO of ORGANIZATION into PredId, NodeId and SysVerNo. A failure
  // of the query or of reading is raised with "Ошибка чтения параметров из
  // БД.\r\n" in front; a table without rows is such a failure ("Таблица
  // ORGANIZATION пуста"). The connection is closed again on every path.
  void ReadDbParams();
  // The database is in the Firebird 3 format: SysVerNo above 799.
  bool IsFb3Database() const;
  // DbName ends with ".gdb" and contains "/3051:" (letter case ignored): the
  // server is the legacy one whose service is "YaffilSQLServer(SS)".
  bool IsLegacyServer() const;
  // The Firebird server's service the run stops and starts: the legacy
  // server's, the Classic one's or "FirebirdServerPelkora".
  std::string ServerServiceName() const;

  // ---- Request packet (request_packet.cpp) ----

  // Writes OutDir + "%.4d%.3d.UPR" for the office, once per run (see
  // packages/request_packet.h): status OK, or ERROR with the run's log lines
  // when `error`; an existing packet is kept unless `replace`.
  void WriteRequestPacket(bool error, bool replace);

  host::Host& Host() { return host_; }

  // ---- Services (promo_services.cpp) ----

  // The service's current state as the service control manager of
  // `machine` (empty: this one) reports it (4 running), or 0 when the
  // manager, the service or its status cannot be opened or queried. Opens
  // with connect-only and query-status rights.
  int GetServiceState(const std::string& machine, const std::string& service);
  // GetServiceState on this machine gives 4; any error gives false.
  bool IsServiceRunning(const std::string& service);
  // Step 11: when the promotion service "OrvPromos" is installed, stops it
  // and its guard "OrvPromGuard" with the system's service command, each
  // line of their output logged, and remembers to start them again.
  void StopPromoServices();
  // First closing action: starts both again when StopPromoServices stopped
  // them.
  void StartPromoServices();

  // ---- Package intake (package_steps.cpp) ----

  // Validates and unpacks InDir + `name` against the package type (41
  // update package, 42 private update); true, or an exception with the
  // package's message. A type-41 package sets NewVersion and UpdateServer.
  bool CheckPackage(const std::string& name, int type);
  // The first valid .upd package in InDir, unpacked into TmpDir, or "";
  // every other .upd file is deleted.
  std::string FindUpdatePackage();

  // ---- Private updates and scripts (private_steps.cpp) ----

  // "Поиск частных обновлений ...": every valid private update (.upp) of
  // InDir, in listing order, checked as type 42, its payload moved into
  // AptekaDir (MovePayload) and the file deleted; an invalid one is logged
  // with its file name and kept for the next run (see
  // packages::PackageIntake::RunPrivateUpdates). NewVersion and
  // UpdateServer stay as they were. Raises only when the inbox cannot be
  // listed or the log written.
  void RunPrivateUpdates();
  // "Поиск новых частных скриптов ...": the ".sql" files of AptekaDir's
  // Scripts\_all\ and then Scripts\_server\ whose marker SCRIPT_LOG does not
  // hold (IsNewPrivateScript), counted in "Найдено новых частных скриптов
  // N", run through RunScriptList on a copy of the database exactly as the
  // numbered scripts are; with none, the database is not taken down.
  // dbApteka is closed after the look-up on every path. Every failure
  // propagates.
  void RunPrivateScripts();

  // ---- Server update and working directory (server_update_steps.cpp) ----

  // The server update: Firebird stopped through DbService, module 200 (with
  // Classic) and module 2 deployed from TmpDir, the server started again on
  // every path (see packages/server_update.h).
  void UpdateServerModules();
  // Moves the payload from TmpDir into DistribDir, CurVersion := NewVersion,
  // and leaves exactly one version marker (the old one after a failure).
  void UpdateWorkDir();
  // Moves every file below TmpDir into `target_dir`, two attempts each.
  void MovePayload(const std::string& target_dir);
  // The self-update: a new executable in the payload replaces the
  // distribution's copy and the one in ExeDir, which becomes ".old".
  void UpdateOwnExecutable();
  // Installs and starts the launcher service TarnelService from
  // DistribDir's Utils\AutoUpdate\TarnelSrv.exe when it is missing, or
  // replaces its program with another build (see packages/launcher_service.h).
  void CheckLauncherService();

  // ---- The move to Firebird 3 (fb3_steps.cpp) ----

  // Steps 8 and 11.4: puts the distribution's Firebird 3 client files into
  // `dir` unless all of them are there; `warning` is logged when the client
  // cannot be copied (see dbservice/fb3_transition.h). Never raises for a
  // file operation.
  void RefreshFb3ClientFiles(const std::string& dir, const std::string& warning);
  // Step 17.3: converts the database with the converter the package
  // brought (TmpDir's Utils\AutoUpdate\FB3_migrate\FBConvert.exe) unless
  // IsFb3Database; afterwards Classic is false and DbService stops and
  // starts "FirebirdServerPelkora". Raises on failure.
  void MigrateToFb3();

  // ---- Pricing procedure (price_proc_steps.cpp) ----

  // Step 20: applies the newest version of the pricing procedure kept in
  // PRICING_PROCS (the row with the highest ID) unless its STATUS says it
  // is applied (anything but 0 or null). Then the server's service is
  // restarted through DbService, the row's SCRIPT run by sqlExec1 on a
  // fresh connection, the row's STATUS set to 1 through dsPriceProc and
  // the service restarted once more; every step is logged. A failure of
  // the script or of marking the row is logged only as "Сбой при обработке
  // процедуры" and swallowed: STATUS stays 0 and the next run tries again.
  // An applied newest row, or no row at all, ends the step after its first
  // log line with the server untouched. Raises without DbService (the
  // workstation mode has none), when the database cannot be opened or the
  // row read, when the service cannot be stopped or started, and when the
  // rollback after a failure fails. dbApteka is closed before every stop
  // of the service (what the script left uncommitted is rolled back) and
  // when the step ends, on every path, failures included: no connection,
  // transaction or open dataset of the step remains for a later step.
  void UpdatePriceProc();

  // ---- Run state ----
  std::string ExeDir;
  std::string DistribDir, AptekaDir, TmpDir, InDir, OutDir;
  std::string Modules;
  std::string DbName;
  bool Classic = false;
  bool PosMode = false;
  bool EchoToConsole = false;
  std::int32_t PredId = 0, NodeId = 0, SysVerNo = 0;
  std::int32_t OldVersion = 0, CurVersion = 0, NewVersion = 0;
  bool UpdateServer = false;
  bool RequestPending = false;
  std::unique_ptr<host::MutexHandle> MutexHandle;
  // The database-maintenance object, created during initialisation; none
  // in the workstation mode.
  std::unique_ptr<dbservice::TDbService> DbService;
  std::string LogFileName;
  std::vector<std::string> LogLines;
  std::vector<std::string> ScriptList;

  // ---- Database components, created with the data module ----
  // The Firebird client library, loaded first thing in a run (Execute) and
  // kept for the life of the process.
  fb::ClientLibrary FbClient;
  // The pharmacy database: lc_ctype WIN1251, SYSDBA, dialect 3.
  fb::Database dbApteka;
  // Read committed, newest record version, no waiting; its default reader.
  fb::Transaction trRead;
  // Snapshot, no waiting; the script runners' transaction.
  fb::Transaction trWrite;
  // "select o.PRED_ID, o.NODE_ID, o.SYSVERNO" / "from ORGANIZATION o".
  fb::Query qrPredInfo;
  // "select sl.*" / "from SCRIPT_LOG sl" / "where sl.SCRIPT_ID=:script_id",
  // in trRead, which it starts itself.
  fb::Query qrCheckScript;
  // The newest pricing procedure: "select first 1 p.*" / "from
  // PRICING_PROCS p" / "order by p.ID desc", in trRead, which it starts
  // itself; posting the edited row runs "update PRICING_PROCS" / "set
  // STATUS=?STATUS" / "where ID=?ID;". CHAR and VARCHAR values are read
  // trimmed.
  fb::DataSet dsPriceProc;

  // ---- Script steps (script_steps.cpp) ----

  // Logs "Поиск номерных скриптов ...", fills ScriptList with the scripts
  // of `base_dir` + "Scripts\Numbers\" numbered above SysVerNo, in
  // ascending order, and logs "Номерных скриптов " + their count. With at
  // least one, they run through RunScriptList on a copy of the database;
  // with none, the database is not touched.
  void RunNumberedScripts(const std::string& base_dir);
  // Runs every script of ScriptList in order against `database_name` (a
  // connection string), each in a connection of its own: "Скрипт " + name
  // + " ...", the file's lines with one-line CONNECTs commented out, the
  // runner's check and run, "Скрипт " + name + " - OK"; then whatever the
  // script did not commit is rolled back and the connection closed, on
  // failure too. The first failing script ends the list and its exception
  // propagates ("Прокрутка скриптов - OK" is then not logged). dbApteka's
  // name is DbName again afterwards on every path.
  void RunScriptList(const std::string& database_name);
  // Whether the private script at `path` is not applied yet: its first line
  // names an identifier (scripts::PrivateScriptId) that SCRIPT_LOG does not
  // hold. Without an identifier logs "Файл " + path + " не является
  // частным скриптом" and returns false. Opens dbApteka when it is not
  // connected; failures to read the file or the database propagate.
  bool IsNewPrivateScript(const std::string& path);

  // ---- Script runners (script_runners.cpp) ----
  // Both on dbApteka and trWrite, statistics off, statement logs
  // "sqlExec_DDL.log" and "sqlExec_DML.log" in the current directory, their
  // errors raised by the two handlers below.
  // sqlExec: the numbered and private scripts; terminator ";", no AutoDDL,
  // so a script keeps only what its own COMMIT statements commit.
  scripts::TSqlScript sqlExec;
  // sqlExec1: the pricing procedure's script; terminator "^", AutoDDL.
  scripts::TSqlScript sqlExec1;
  // OnParseError of both runners: raises "Ошибка разбора скрипта: " +
  // SQLText + " " + Error.
  [[noreturn]] void sqlExecParseError(scripts::TSqlScript& Sender, const std::string& Error,
                                      const std::string& SQLText, int LineIndex);
  // OnExecuteError of both runners: raises "Ошибка: " + SQLText + " " +
  // Error; Ignore stays false.
  [[noreturn]] void sqlExecExecuteError(scripts::TSqlScript& Sender, const std::string& Error,
                                        const std::string& SQLText, int LineIndex, bool& Ignore);

 private:
  void StartUp();
  void Initialise();
  void RunChosenMode();
  void RunFullMode();
  void HandleRunError(const char* type_name, const std::string& message);
  void CloseRun();
  void SetUpScriptRunners();
  // Step 12: the database-maintenance object for DbName, reporting through
  // WriteLog, with the server's service name, and its start-of-run check.
  void CreateDbService();
  // ScriptList through RunScriptList on a copy of the database
  // (DbService->RunOnDatabaseCopy), the one way both the numbered and the
  // private scripts run; raises without DbService.
  void RunScriptListOnDatabaseCopy();

  // The office's public key, ExeDir + "Korvel.pub", loaded when a package
  // is first checked; a key that cannot be loaded fails every check.
  const packages::SignatureVerifier& OfficeKey();

  // Runs a service command hidden, every output line logged; the exit code
  // is not looked at.
  void RunServiceCommand(const std::string& service, bool start);

  host::Host& host_;
  std::unique_ptr<packages::SignatureVerifier> office_key_;
  // The promotion services were stopped in this run (step 11).
  bool promo_stopped_ = false;
  // From the error handling on, a log that cannot be written stops nothing.
  bool log_failures_quiet_ = false;
  // The configuration file name as given (for messages).
  std::string ini_name_;
};

}  // namespace korvel::run
