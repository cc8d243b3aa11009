// The database's state through the services manager: a full, forced
// shutdown for exclusive file work and the way back online.
#include "dbservice/db_service.h"
#include "fb/service.h"
#include "host/cp1251.h"

namespace korvel::dbservice {

using namespace korvel::literals;

namespace {

void ApplySettings(fb::ServiceManager& manager, const TServiceSettings& settings) {
  manager.ServerName = settings.ServerName;
  manager.Params = settings.Params;
}

}  // namespace

// The shutdown is full and forced with a wait of 0 seconds: the server
// closes every attachment at once and accepts none until the database is
// online again, the administrator's included, so nobody can write to the
// file while it is copied or moved.
void TDbService::ChangeDbState(bool shutdown) { ChangeFileState(DbFileName, shutdown); }

void TDbService::ChangeFileState(const std::string& FileName, bool shutdown) {
  svConfig.ServerName = ServerName;
  fb::ServiceManager manager(dbApteka.Client());
  ApplySettings(manager, svConfig);
  try {
    manager.Attach();
    manager.Start(shutdown ? fb::BuildShutdownBlock(FileName, 0) : fb::BuildOnlineBlock(FileName));
    manager.ReadOutput([](const std::string&) {});
  } catch (const fb::EIBInterBaseError& e) {
    // The database is in that state already.
    if (!e.HasErrorCode(fb::kIscBadShutdownMode)) throw;
  }
  // The destructor would drop a failure of the detach; a detach that fails
  // after the change is reported like any other services error.
  manager.Detach();
}

void TDbService::Shutdown() {
  Log("БД в даун ..."_cp);
  ChangeDbState(true);
  Log("БД в дауне"_cp);
}

void TDbService::BringOnline() {
  Log("БД в онлайн ..."_cp);
  try {
    ChangeDbState(false);
  } catch (const Exception&) {
    // Used on clean-up paths and at start: an online database or a server
    // that does not answer must not end the run here.
  }
  Log("БД в онлайне"_cp);
}

}  // namespace korvel::dbservice
