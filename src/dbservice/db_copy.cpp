// The safe way of changing the database: the work runs on the file under a
// working name while a copy from before the change waits as ".lst"; the
// changed file returns under the live name only when its metadata has been
// backed up and restored.
//
// What a power cut or a killed process leaves, by the point reached:
// - before the live file is moved: the live file, untouched;
// - after it is moved to ".lst": no live file (the next run's check stops
//   with "БД находится в нерабочем состоянии!"), the content whole in
//   ".lst", or after the next move in ".new" beside the flushed ".tmp" copy,
//   and from the move of ".tmp" on in ".lst" again;
// - after ".new" is moved back: the changed live file, ".lst" kept.
// The live file is flushed after the shutdown and ".new" after the work (the
// server's writes are not trusted to be on the disk), copies are flushed
// before they are renamed into place and every rename is followed by a
// flush of its directory, so no state above can show a name pointing at
// half a file.
#include "dbservice/db_service.h"
#include "host/cp1251.h"
#include "host/exception.h"

namespace korvel::dbservice {

using namespace korvel::literals;

namespace {
// The pause before the files are moved, which lets the server let go of
// the database after its forced shutdown.
constexpr unsigned kBeforeMoveMs = 10000;
}  // namespace

void TDbService::RunOnDatabaseCopy(const TWorkProc& Work) {
  Shutdown();
  const auto clean_up = [this] {
    RecoveryScope quiet(*this);
    StartServer();
    if (host_.FileExists(DbFileName)) {
      BringOnline();
      try {
        if (host_.FileExists(DbNewFileName)) host_.DeleteFile(DbNewFileName);
      } catch (const Exception&) {
        // A leftover changed copy is harmless: the next run replaces it.
      }
    }
  };
  try {
    StopServer();
    const bool shadow = !ShadowFileName.empty();
    // A shadow copy of an earlier run that did not finish.
    if (shadow && host_.FileExists(ShadowLstFileName)) host_.DeleteFileOrFail(ShadowLstFileName);
    host_.Sleep(kBeforeMoveMs);
    // What the server wrote, its shutdown last, reaches the disk before the
    // file becomes the copy that everything else is made from.
    FlushDbFile(DbFileName);
    bool moved = false;
    try {
      // Inside the recovery: a rename whose directory flush failed has
      // still moved the live file away.
      MoveDbFile(DbFileName, DbLstFileName);
      moved = true;
      CopyDbFile(DbLstFileName, DbTmpFileName);
      if (shadow) CopyDbFile(ShadowFileName, ShadowTmpFileName);
      MoveDbFile(DbLstFileName, DbNewFileName);
      MoveDbFile(DbTmpFileName, DbLstFileName);
      if (shadow) MoveDbFile(ShadowTmpFileName, ShadowLstFileName);

      StartServer();
      // The file still carries the full shutdown it was taken down with,
      // which refuses every attachment. Under its working name nobody but
      // the work knows it, so it is opened for the work alone.
      ChangeFileState(DbNewFileName, false);
      Work(ServerName + ":" + DbNewFileName);
      CheckMetadata(DbNewFileName);

      StopServer();
      // The server's writes into ".new" are on the disk before its name
      // becomes the live one.
      FlushDbFile(DbNewFileName);
      try {
        MoveDbFile(DbNewFileName, DbFileName);
      } catch (const EDirectoryNotFlushed& e) {
        // The changed file is live and the update done; only a power cut
        // before the system writes the directory could still undo the name.
        Log(e.Message());
      }
    } catch (const std::exception& e) {
      // A first move that failed left the live file in place; one that was
      // made but could not be logged has to be undone like any later step.
      if (moved || !host_.FileExists(DbFileName)) {
        RecoveryScope quiet(*this);
        Log("Ошибка:\r\n"_cp + e.what());
        RecoverFiles();
      }
      throw;
    }
  } catch (...) {
    clean_up();
    throw;
  }
  clean_up();
}

}  // namespace korvel::dbservice
