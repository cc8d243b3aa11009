// The script steps of the data module: the numbered scripts of an update
// package, the run of a script list against one database file, and the
// check whether a private script is new.
#include "host/cp1251.h"
#include "host/text.h"
#include "run/korvel_data.h"
#include "scripts/script_selection.h"
#include "scripts/script_text.h"

namespace korvel::run {

using namespace korvel::literals;

namespace {

// Ends what a script left open: its uncommitted work is rolled back and the
// connection closed. On the failure path the script's own error is the one
// to report, so a failure here is dropped (the server rolls back a
// transaction whose attachment goes in any case).
void EndScriptConnection(fb::Database& database, fb::Transaction& transaction, bool raise) {
  try {
    if (transaction.InTransaction()) transaction.Rollback();
    database.Close();
  } catch (const Exception&) {
    if (raise) throw;
    database.CloseQuietly();
  }
}

}  // namespace

void TdmKorvel::RunNumberedScripts(const std::string& base_dir) {
  WriteLog("Поиск номерных скриптов ..."_cp);
  const std::string directory = host::IncludePathDelimiter(host::JoinPath(host::IncludePathDelimiter(base_dir),
                                                                          "Scripts\\Numbers\\"));
  ScriptList.clear();
  scripts::ListSqlScripts(host_, directory, ScriptList);
  // Only scripts numbered above the schema version remain; a name that is
  // no number (-1) never does.
  scripts::SelectNumberedScripts(ScriptList, SysVerNo + 1, 2147483647);
  WriteLog("Номерных скриптов "_cp + IntToStr(static_cast<std::int64_t>(ScriptList.size())));
  // Without scripts the database is not touched at all.
  if (!ScriptList.empty()) RunScriptListOnDatabaseCopy();
}

void TdmKorvel::RunScriptListOnDatabaseCopy() {
  // The scripts change the database only on a copy of its file, never on
  // the live file: without the database-maintenance object (the
  // workstation mode has none) they do not run at all.
  if (!DbService) throw Exception("Скрипты не могут быть выполнены без обслуживания БД"_cp);
  DbService->RunOnDatabaseCopy([this](const std::string& database_name) { RunScriptList(database_name); });
}

void TdmKorvel::RunScriptList(const std::string& database_name) {
  WriteLog("Прокрутка скриптов ..."_cp);
  try {
    dbApteka.Close();
    dbApteka.DatabaseName = database_name;
    for (const std::string& path : ScriptList) {
      const std::string name = host::ExtractFileName(path);
      // Every script has a connection of its own, from the program's own
      // settings (a script's SET NAMES or dialect does not carry over).
      ApplyConnectionSettings();
      dbApteka.DatabaseName = database_name;
      dbApteka.Open();
      try {
        WriteLog("Скрипт "_cp + name + " ...");
        sqlExec.Script() = scripts::LoadScriptLines(host_, path);
        scripts::CommentOutConnect(sqlExec.Script());
        if (sqlExec.CheckScript()) sqlExec.RunScript();
        WriteLog("Скрипт "_cp + name + " - OK");
      } catch (...) {
        EndScriptConnection(dbApteka, trWrite, false);
        throw;
      }
      // A script keeps only what its own COMMIT statements committed.
      EndScriptConnection(dbApteka, trWrite, true);
    }
    WriteLog("Прокрутка скриптов - OK"_cp);
  } catch (...) {
    dbApteka.DatabaseName = DbName;
    throw;
  }
  dbApteka.DatabaseName = DbName;
}

bool TdmKorvel::IsNewPrivateScript(const std::string& path) {
  const std::vector<std::string> lines = scripts::LoadScriptLines(host_, path);
  const std::string id = lines.empty() ? std::string() : scripts::PrivateScriptId(lines.front());
  if (id.empty()) {
    WriteLog("Файл "_cp + path + " не является частным скриптом"_cp);
    return false;
  }
  if (!dbApteka.Connected()) OpenDatabase();
  qrCheckScript.ParamByName("script_id").SetString(id);
  qrCheckScript.Open();
  const bool is_new = qrCheckScript.Eof();
  qrCheckScript.Close();
  return is_new;
}

}  // namespace korvel::run
