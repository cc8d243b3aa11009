// The database at the level of its files: the working names derived from the
// database name, the shadow read from the database, the start-of-run check
// and the recovery of the copy taken before a change.
#include "dbservice/db_service.h"
#include "host/cp1251.h"
#include "host/exception.h"
#include "host/text.h"

namespace korvel::dbservice {

using namespace korvel::literals;

std::string TDbService::ExtractServerName(const std::string& Name) {
  const std::size_t colon = Name.find(':');
  // A colon at the first or second character belongs to a drive ("C:\..."),
  // or leaves no room for a server name.
  if (colon == std::string::npos || colon < 2) return {};
  return Name.substr(0, colon);
}

std::string TDbService::ExtractServerPath(const std::string& Name) {
  const std::string server = ExtractServerName(Name);
  if (server.empty()) return Name;
  return Name.substr(server.size() + 1);
}

void TDbService::SetDatabase(const std::string& Name) {
  DatabaseName = Name;
  ServerName = ExtractServerName(Name);
  DbFileName = ExtractServerPath(Name);
  if (ServerName.empty()) Fail("В имени БД "_cp + Name + " не указан сервер"_cp);
  dbApteka.Close();
  dbApteka.DatabaseName = DatabaseName;
  DbLstFileName = DbFileName + ".lst";
  DbTmpFileName = DbFileName + ".tmp";
  DbNewFileName = DbFileName + ".new";
  DbTmpDirFileName = host::JoinPath(host::ExtractFilePath(DbFileName), "Tmp\\" + host::ExtractFileName(DbFileName));
  ShadowLinkFileName = host::ChangeFileExt(DbFileName, ".ShadowLink");
}

void TDbService::SetShadowFile(const std::string& Path) {
  ShadowFileName = Path;
  ShadowLstFileName = Path + ".lst";
  ShadowTmpFileName = Path + ".tmp";
}

void TDbService::SaveShadowLink() {
  if (!ShadowFileName.empty()) {
    host_.WriteFileText(ShadowLinkFileName, ShadowFileName + "\r\n");
  } else if (host_.FileExists(ShadowLinkFileName)) {
    host_.DeleteFileOrFail(ShadowLinkFileName);
  }
}

void TDbService::MoveDbFile(const std::string& Source, const std::string& Target) {
  try {
    // Never a copy: a database file is only ever renamed on its own volume.
    host_.MoveFile(Source, Target, false);
  } catch (const EOSError& e) {
    Fail("Ошибка переименования файла "_cp + Source + " в "_cp + Target + " :\r\n" + LastErrorText(e.Cause()) +
         ".");
  }
  // The rename has happened, whatever the flush below says: the log and the
  // caller's recovery go by the names as they now are.
  Log("Файл "_cp + Source + " переименован в "_cp + Target + ".");
  // The new name reaches the disk with its directory's entries; the old one
  // disappears with its own directory's.
  std::vector<std::string> dirs{host::ExtractFileDir(Target)};
  if (host::ExtractFileDir(Source) != dirs[0]) dirs.push_back(host::ExtractFileDir(Source));
  for (const std::string& dir : dirs) {
    try {
      host_.FlushDirectory(dir);
    } catch (const EOSError& e) {
      throw EDirectoryNotFlushed("Ошибка записи на диск каталога "_cp + dir + " после переименования файла "_cp +
                                 Source + " в "_cp + Target + " :\r\n" + LastErrorText(e.Cause()) + ".");
    }
  }
}

void TDbService::FlushDbFile(const std::string& FileName) {
  try {
    // Shared for writing: a server process may still hold the file open
    // for a moment after the shutdown.
    host_.OpenFile(FileName, host::OpenMode::kReadWrite, host::ShareMode::kReadWrite)->Flush();
  } catch (const EOSError& e) {
    Fail("Ошибка записи на диск файла "_cp + FileName + " :\r\n" + LastErrorText(e.Cause()) + ".");
  }
}

void TDbService::CopyDbFile(const std::string& Source, const std::string& Target) {
  Log("Копирование файла "_cp + Source + " в "_cp + Target + " ...");
  host_.CopyFileOrFail(Source, Target);
  // The copy may become the recovery source by a rename: its content must be
  // on the disk before any name points at it.
  try {
    host_.OpenFile(Target, host::OpenMode::kReadWrite, host::ShareMode::kRead)->Flush();
  } catch (const EOSError& e) {
    Fail("Ошибка копирования файла "_cp + Source + " в "_cp + Target + ".\r\n" + LastErrorText(e.Cause()));
  }
  Log("Копирование - OK"_cp);
}

std::string TDbService::QueryShadowFile() {
  dbApteka.Close();
  dbApteka.DatabaseName = DatabaseName;
  std::string shadow;
  try {
    dbApteka.Open();
    qrFiles.Open();
    std::vector<std::pair<std::string, int>> rows;
    for (; !qrFiles.Eof(); qrFiles.Next()) {
      rows.emplace_back(Trim(qrFiles.FieldByName("FNAME").AsString()), qrFiles.FieldByName("ISSHADOW").AsInteger());
    }
    qrFiles.Close();
    if (rows.size() > 1 || (rows.size() == 1 && rows[0].second != 1)) {
      // Secondary files, several shadows or a shadow of several files: the
      // copy and the swap handle one database file and one shadow file.
      Fail("Утилита не может работать с многотомными БД!"_cp);
    }
    if (!rows.empty()) shadow = rows[0].first;
  } catch (...) {
    // The failure that brought us here is the one to report.
    dbApteka.CloseQuietly();
    throw;
  }
  dbApteka.Close();
  return shadow;
}

void TDbService::ReadDatabaseFiles() {
  SetShadowFile(QueryShadowFile());
  SaveShadowLink();
}

void TDbService::CheckDatabase() {
  Log("Проверка БД "_cp + DatabaseName + "...");
  if (!host_.FileExists(DbFileName)) {
    Log("Рабочий файл БД "_cp + DbFileName + " не найден."_cp);
    Fail("БД находится в нерабочем состоянии!"_cp);
  }
  StartServer();
  BringOnline();
  ReadDatabaseFiles();
  if (!ShadowFileName.empty()) Log("Файл тени "_cp + ShadowFileName);
  // A copy that another tool left in Tmp would block a later recovery
  // (RecoverFiles refuses when it is newer than ".lst"); it is kept aside.
  if (host_.FileExists(DbTmpDirFileName)) MoveDbFile(DbTmpDirFileName, DbTmpDirFileName + ".old");
  Log("Проверка БД - OK"_cp);
}

void TDbService::RecoverFiles() {
  if (host_.FileExists(DbFileName)) return;
  Log("Попытка восстановить файлы БД ..."_cp);
  if (!host_.FileExists(DbLstFileName)) {
    Fail("Файл "_cp + DbLstFileName + " не найден. Восстановление невозможно!"_cp);
  }
  // A newer copy in Tmp means someone worked on the database after ".lst"
  // was taken: putting ".lst" back would lose that work.
  if (host_.FileExists(DbTmpDirFileName) &&
      host_.GetFileDateTime(DbTmpDirFileName) > host_.GetFileDateTime(DbLstFileName)) {
    Fail("Обнаружен более новый файл "_cp + DbTmpDirFileName + ". Восстановление невозможно!"_cp);
  }
  StopServer();
  // A name put back is back, even when its directory could not be flushed:
  // the recovery goes on and says so.
  const auto move_back = [this](const std::string& Source, const std::string& Target) {
    try {
      MoveDbFile(Source, Target);
    } catch (const EDirectoryNotFlushed& e) {
      Log(e.Message());
    }
  };
  if (!ShadowFileName.empty() && host_.FileExists(ShadowLstFileName)) move_back(ShadowLstFileName, ShadowFileName);
  move_back(DbLstFileName, DbFileName);
  Log("Файлы БД восстановлены."_cp);
}

}  // namespace korvel::dbservice
