// Backup and restore through the services manager, and the metadata check
// built on them: a database whose metadata cannot be backed up and restored
// into a new database is not put back into service.
#include "dbservice/db_service.h"
#include "fb/service.h"
#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::dbservice {

using namespace korvel::literals;

namespace {

// Runs one backup or restore request under `settings` and reads its output
// to the end (which is what waits for the server); the attachment is closed
// in every case.
template <typename Notify>
void RunService(fb::ClientLibrary& client, const TServiceSettings& settings, const std::string& request,
                Notify&& notify) {
  fb::ServiceManager manager(client);
  manager.ServerName = settings.ServerName;
  manager.Params = settings.Params;
  manager.Attach();
  manager.Start(request);
  manager.ReadOutput(notify);
  manager.Detach();
}

// Deletes a working file of the check; a file that is missing or cannot go
// is left as it is (the check's outcome does not depend on it).
void DeleteQuietly(host::Host& host, const std::string& path) {
  try {
    if (host.FileExists(path)) host.DeleteFile(path);
  } catch (const Exception&) {
    // See above.
  }
}

// The drive of a path as the message names it ("D:"); a path without a
// drive letter (a POSIX path, a UNC name) is named by its directory.
std::string DriveOf(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
    return path.substr(0, 2);
  return host::ExtractFileDir(path);
}

}  // namespace

void TDbService::svBackupTextNotify(const TServiceSettings&, const std::string& Text) { VerboseLines.push_back(Text); }

void TDbService::Backup(const std::string& DbPath, const std::string& BackupFile, TBackupOptions Options) {
  Log("Backuping БД "_cp + DbPath + " в файл "_cp + BackupFile + " ...");
  VerboseLines.clear();
  svBackup.ServerName = ServerName;
  fb::BackupRequest request;
  request.Database = DbPath;
  request.BackupFiles = {BackupFile};
  request.Options = BackupFlags(Options);
  request.Verbose = svBackup.Verbose;
  request.BlockingFactor = svBackup.BlockingFactor;
  RunService(dbApteka.Client(), svBackup, fb::BuildBackupBlock(request),
             [this](const std::string& line) { svBackupTextNotify(svBackup, line); });
  VerboseLines.clear();
  Log("Backup OK");
}

void TDbService::Restore(const std::string& DbPath, const std::string& BackupFile, TRestoreOptions Options) {
  Log("Restoring БД "_cp + DbPath + " из файла "_cp + BackupFile + " PageSize " + IntToStr(svRestore.PageSize) +
      " ...");
  VerboseLines.clear();
  svRestore.ServerName = ServerName;
  fb::RestoreRequest request;
  request.DatabaseFiles = {DbPath};
  request.BackupFiles = {BackupFile};
  // Always a new database, never a replaced one: a restore onto an
  // existing file fails. Replace is dropped even when asked for, since the
  // server lets it win over CreateNewDB and the target may be a live
  // database.
  request.Options = RestoreFlags(Options.With(TRestoreOption::CreateNewDB).Without(TRestoreOption::Replace));
  request.Verbose = svRestore.Verbose;
  request.PageSize = svRestore.PageSize;
  request.PageBuffers = svRestore.PageBuffers;
  RunService(dbApteka.Client(), svRestore, fb::BuildRestoreBlock(request),
             [this](const std::string& line) { svBackupTextNotify(svRestore, line); });
  VerboseLines.clear();
  Log("Restore OK");
}

void TDbService::CheckDiskSpace(const std::string& Path, std::int64_t Required) {
  const std::int64_t free = host_.GetDiskFreeBytes(host::ExtractFilePath(Path));
  if (free >= Required) return;
  Fail("Не хватает места на диске "_cp + DriveOf(Path) + ". Свободно "_cp + IntToStr(free / 1048576) +
       " мб, требуется "_cp + IntToStr(Required / 1048576) + " мб."_cp);
}

void TDbService::CheckMetadata(const std::string& DbPath) {
  Log("Проверка метаданных ..."_cp);
  const std::string dir = host::ExtractFilePath(DbPath);
  const std::string meta_bak = dir + "meta.bak";
  const std::string meta_fdb = dir + "meta.fdb";
  const auto clean_up = [&] {
    DeleteQuietly(host_, meta_bak);
    // The server may still hold the restored database for a moment.
    host_.Sleep(3000);
    DeleteQuietly(host_, meta_fdb);
  };
  try {
    Backup(DbPath, meta_bak, {TBackupOption::MetadataOnly, TBackupOption::NoGarbageCollection});
    DeleteQuietly(host_, meta_fdb);
    Restore(meta_fdb, meta_bak, {TRestoreOption::NoShadow});
    Log("Проверка метаданных - OK"_cp);
  } catch (...) {
    clean_up();
    throw;
  }
  clean_up();
}

}  // namespace korvel::dbservice
