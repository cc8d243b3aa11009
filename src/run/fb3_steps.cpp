// The Firebird 3 steps of the data module: thin calls into the database
// maintenance subsystem with the run's directories, flags and log.
#include "dbservice/fb3_transition.h"
#include "host/cp1251.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

void TdmKorvel::RefreshFb3ClientFiles(const std::string& dir, const std::string& warning) {
  dbservice::RefreshFb3ClientFiles(host_, DistribDir, host::IncludePathDelimiter(dir), warning,
                                   [this](const std::string& line) { WriteLog(line); });
}

void TdmKorvel::MigrateToFb3() {
  // The workstation mode, which has no database service, never gets here.
  if (!DbService) throw Exception("Переход на Firebird 3 невозможен: служба БД не задана"_cp);
  dbservice::MigrateToFb3(host_, *DbService, TmpDir, IsFb3Database(), Classic,
                          [this](const std::string& line) { WriteLog(line); });
}

}  // namespace korvel::run
