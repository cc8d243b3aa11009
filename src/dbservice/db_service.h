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
#include "dbservice/service_options.h"
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

// A rename of a database file happened, but its directory could not be put
// on the disk: the new name holds until a power cut.
class EDirectoryNotFlushed : public Exception {
 public:
  using Exception::Exception;
  const char* TypeName() const override { return "EDirectoryNotFlushed"; }
};

class TDbService {
 public:
  // DataModuleCreate: the administrator's login on the services components
  // and on dbApteka.
  TDbService(host::Host& host, fb::ClientLibrary& client);
  ~TDbService();
  TDbService(const TDbService&) = delete;
  TDbService& operator=(const TDbService&) = delete;

  // Passes `text` to OnMessage when it is bound; otherwise nothing. While
  // the files are put back and the server brought up again after a
  // failure, a failing OnMessage (a log that cannot be written) is ignored:
  // the recovery runs to its end.
  void Log(const std::string& text);
  // Raises the general exception with `text`.
  [[noreturn]] void Fail(const std::string& text);

  // ---- Service control of the Firebird server ----

  // Starts ServiceName unless it is running: "Запуск службы " + name + " ...",
  // the start with its wait, a 5-second pause, "Запуск службы - OK". A
  // running service is left alone without message or pause. Errors of the
  // service layer pass unchanged; a failure of the first message is raised
  // only after the start.
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

  // ---- Database state, backup and restore (db_state.cpp, backup_restore.cpp) ----
  // Every call attaches to the services manager of ServerName as the
  // administrator for its own duration only and detaches on every path.
  // Services errors propagate as fb::EIBInterBaseError with the server's
  // message.

  // Shutdown (full, forced after 0 seconds: every attachment is closed at
  // once) or online of DbFileName. Status 335544835 (the database is in
  // that state already) is ignored; any other error propagates.
  void ChangeDbState(bool shutdown);
  // "БД в даун ...", ChangeDbState(true), "БД в дауне"; errors propagate.
  void Shutdown();
  // "БД в онлайн ...", ChangeDbState(false) with every error ignored,
  // "БД в онлайне".
  void BringOnline();
  // "Backuping БД " + path + " в файл " + file + " ...", the backup on the
  // server with its progress lines read to the end into VerboseLines
  // (cleared before and after), "Backup OK".
  void Backup(const std::string& DbPath, const std::string& BackupFile, TBackupOptions Options);
  // "Restoring БД %s из файла %s PageSize %d ...", the restore into a new
  // database (CreateNewDB always added, Replace always dropped: an existing
  // target file makes it fail), "Restore OK".
  void Restore(const std::string& DbPath, const std::string& BackupFile, TRestoreOptions Options);
  // Progress line of svBackup and svRestore: appended to VerboseLines.
  void svBackupTextNotify(const TServiceSettings& Sender, const std::string& Text);
  // Raises "Не хватает места на диске %s. Свободно %d мб, требуется %d мб."
  // (the drive, such as "D:", or the directory where the path has no drive
  // letter; both figures in whole mebibytes) when the volume of Path has
  // fewer free bytes than Required.
  void CheckDiskSpace(const std::string& Path, std::int64_t Required);
  // "Проверка метаданных ...", a metadata-only backup of DbPath to
  // meta.bak beside it and its restore into a new meta.fdb, "Проверка
  // метаданных - OK". On every path meta.bak is deleted, then after 3 s
  // meta.fdb; a failure of the backup or restore propagates after that.
  void CheckMetadata(const std::string& DbPath);

  // ---- Database files, their check and recovery (db_files.cpp, db_copy.cpp) ----
  // The file operations act on DbFileName and its companions as local
  // paths: the program runs on the server's own host.

  // The text before the first ":" when that colon stands at the third
  // character or later, else "" (a drive letter is no server).
  static std::string ExtractServerName(const std::string& Name);
  // Name without its server part and colon, or the whole name.
  static std::string ExtractServerPath(const std::string& Name);
  // Sets DatabaseName, ServerName, DbFileName and every working name
  // derived from it; closes dbApteka and names it DatabaseName. Raises
  // "В имени БД " + name + " не указан сервер" without a server part.
  void SetDatabase(const std::string& Name);
  // ShadowFileName and its ".lst" and ".tmp" names ("" for no shadow).
  void SetShadowFile(const std::string& Path);
  // Writes ShadowFileName + CR LF into the ".ShadowLink" file, or deletes
  // that file (DeleteFileOrFail) when there is no shadow.
  void SaveShadowLink();
  // A move on the same volume that replaces the target; raises "Ошибка
  // переименования файла %s в %s :\r\n%s." when it fails. After the move
  // "Файл %s переименован в %s." and the directories of both names are
  // flushed, so that the new name survives a power cut; a failed flush
  // raises EDirectoryNotFlushed ("Ошибка записи на диск каталога %s после
  // переименования файла %s в %s :\r\n%s.") with the file already moved.
  void MoveDbFile(const std::string& Source, const std::string& Target);
  // Puts what the server wrote into a database file on the disk; raises
  // "Ошибка записи на диск файла %s :\r\n%s.".
  void FlushDbFile(const std::string& FileName);
  // "Копирование файла %s в %s ...", an overwriting copy (CopyFileOrFail)
  // that is put on the disk before it returns, "Копирование - OK".
  void CopyDbFile(const std::string& Source, const std::string& Target);
  // Connects to DatabaseName and reads RDB$FILES: the one shadow file, or
  // "" without a shadow; anything else raises "Утилита не может работать с
  // многотомными БД!". Changes nothing; the connection is closed on every
  // path.
  std::string QueryShadowFile();
  // SetShadowFile(QueryShadowFile()), then SaveShadowLink.
  void ReadDatabaseFiles();
  // The start-of-run check: the live file must exist (else "Рабочий файл
  // БД ... не найден." and "БД находится в нерабочем состоянии!"), the
  // server runs, the database is online, its files are read; a copy left
  // in Tmp is moved aside to ".old".
  void CheckDatabase();
  // Puts the ".lst" copy (and the shadow's) back when the live file is
  // missing; raises when ".lst" is missing or the Tmp copy is newer.
  void RecoverFiles();
  // The work on a copy: receives the database name to attach to.
  using TWorkProc = std::function<void(const std::string& DatabaseName)>;
  // Shuts the database down, keeps a copy of it as ".lst", lets `Work`
  // change the file under the name ".new", proves its metadata and only
  // then moves it back to the live name. What the server wrote is flushed
  // before each rename of its file: the live file after the shutdown,
  // ".new" after the work; a failed directory flush after the final move
  // is logged and the update stands. A failure from the moves on logs
  // "Ошибка:\r\n" + message, puts the ".lst" copy back (RecoverFiles)
  // and propagates unchanged; a failure of the shutdown propagates with
  // nothing done. The server is started and a present live file brought
  // online on every path.
  void RunOnDatabaseCopy(const TWorkProc& Work);

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
  // ChangeDbState for any database file of ServerName.
  void ChangeFileState(const std::string& FileName, bool shutdown);
  // While it lives, Log cannot stop what runs: the recovery and clean-up
  // of RunOnDatabaseCopy.
  struct RecoveryScope {
    explicit RecoveryScope(TDbService& service) : service_(service), was_(service.recovering_) {
      service.recovering_ = true;
    }
    ~RecoveryScope() { service_.recovering_ = was_; }
    RecoveryScope(const RecoveryScope&) = delete;
    RecoveryScope& operator=(const RecoveryScope&) = delete;
    TDbService& service_;
    bool was_;
  };

  bool recovering_ = false;

  host::Host& host_;
};

}  // namespace korvel::dbservice
