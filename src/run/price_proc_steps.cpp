// The pricing procedure step of the data module: the procedure's script is
// kept in the database itself (PRICING_PROCS, one row per version) and
// applied once, with the database server restarted before and after it.
#include "host/cp1251.h"
#include "run/korvel_data.h"
#include "scripts/script_text.h"

namespace korvel::run {

using namespace korvel::literals;

void TdmKorvel::UpdatePriceProc() {
  // The workstation mode, which has no database service, never gets here.
  if (!DbService) throw Exception("Компиляция процедуры расценки невозможна: служба БД не задана"_cp);
  dbservice::TDbService& service = *DbService;
  // The server's service is stopped with no connection of ours open.
  const auto restart_server = [this, &service] {
    WriteLog("остановим сервис ФБ"_cp);
    dbApteka.CloseQuietly();
    try {
      service.StopServer();
      WriteLog("запустим сервис ФБ"_cp);
    } catch (...) {
      // A log that fails once the server is stopped must not keep it
      // stopped; the first failure is the one reported.
      try {
        service.StartServer();
      } catch (const std::exception&) {
      }
      throw;
    }
    service.StartServer();
  };

  try {
    WriteLog("Проверка необходимости компиляции процедуры расценки"_cp);
    OpenDatabase();
    dsPriceProc.Open();
    // A null STATUS reads as 0: not applied yet. With no row at all there
    // is no version to apply, and the step ends here as for an applied
    // one, rather than restarting the server for an empty script.
    if (dsPriceProc.Eof() || dsPriceProc.FieldByName("STATUS").AsInteger() != 0) {
      dbApteka.Close();
      return;
    }
    WriteLog("Получим текст процедуры"_cp);
    const std::string script = dsPriceProc.FieldByName("SCRIPT").AsString();

    restart_server();
    WriteLog("Соединимся с БД"_cp);
    OpenDatabase();
    WriteLog("выполним скрипт"_cp);
    OpenDatabase();
    try {
      sqlExec1.Script() = scripts::SplitLines(script);
      sqlExec1.RunScript();
      trRead.StartTransaction();
      // The newest row is fetched anew and marked applied.
      dsPriceProc.Open();
      dsPriceProc.Edit();
      dsPriceProc.FieldByName("STATUS").SetInteger(1);
      dsPriceProc.Post();
      trRead.Commit();
      WriteLog("Обновили процедуру"_cp);
    } catch (...) {
      // Every failure of the script or of marking the row is swallowed:
      // only this line is logged, without the error's text; STATUS stays 0
      // and the next run tries again. A failure of the rollback itself
      // leaves the step without the second restart.
      WriteLog("Сбой при обработке процедуры"_cp);
      if (trRead.InTransaction()) trRead.Rollback();
    }
    restart_server();
  } catch (...) {
    // Whatever reaches the caller, no connection of the step stays open.
    dbApteka.CloseQuietly();
    throw;
  }
}

}  // namespace korvel::run
