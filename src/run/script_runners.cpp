// The data module's two SQL script runners and the error handlers they
// share.
#include "host/cp1251.h"
#include "run/korvel_data.h"

namespace korvel::run {

void TdmKorvel::SetUpScriptRunners() {
  for (scripts::TSqlScript* runner : {&sqlExec, &sqlExec1}) {
    runner->Database = &dbApteka;
    runner->Transaction = &trWrite;
    runner->Statistics = false;
    runner->SQLDialect = 3;
    runner->LastDDLQueryLog = "sqlExec_DDL.log";
    runner->LastDMLQueryLog = "sqlExec_DML.log";
    runner->OnParseError = [this](scripts::TSqlScript& sender, const std::string& error, const std::string& sql,
                                  int line) { sqlExecParseError(sender, error, sql, line); };
    runner->OnExecuteError = [this](scripts::TSqlScript& sender, const std::string& error, const std::string& sql,
                                    int line, bool& ignore) { sqlExecExecuteError(sender, error, sql, line, ignore); };
  }
  sqlExec.Terminator = ";";
  sqlExec.AutoDDL = false;
  sqlExec1.Terminator = "^";
  sqlExec1.AutoDDL = true;
}

void TdmKorvel::sqlExecParseError(scripts::TSqlScript&, const std::string& Error, const std::string& SQLText, int) {
  throw Exception(scripts::ParseErrorMessage(SQLText, Error));
}

void TdmKorvel::sqlExecExecuteError(scripts::TSqlScript&, const std::string& Error, const std::string& SQLText, int,
                                    bool&) {
  throw Exception(scripts::ExecuteErrorMessage(SQLText, Error));
}

}  // namespace korvel::run
