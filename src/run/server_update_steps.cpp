// The server update's step methods of the data module: thin calls into the
// packages subsystem with the run's directories, DbService and log.
#include "host/cp1251.h"
#include "packages/launcher_service.h"
#include "packages/server_update.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

namespace {

packages::LogLineFn LogTo(TdmKorvel& dm) {
  return [&dm](std::string_view line) { dm.WriteLog(line); };
}

}  // namespace

void TdmKorvel::UpdateServerModules() {
  // The workstation mode, which has no database service, never gets here.
  if (!DbService) throw Exception("Обновление сервера БД невозможно: служба БД не задана"_cp);
  dbservice::TDbService& service = *DbService;
  packages::ServerControl control;
  control.StopServer = [&service] { service.StopServer(); };
  control.StartServer = [&service] { service.StartServer(); };
  control.StopClassic = [&service] { service.StopClassic(); };
  packages::UpdateServerModules(host_, {TmpDir, DistribDir, AptekaDir}, Classic, control, LogTo(*this));
}

void TdmKorvel::UpdateWorkDir() {
  packages::UpdateWorkDir(host_, TmpDir, DistribDir, NewVersion, CurVersion, LogTo(*this));
}

void TdmKorvel::MovePayload(const std::string& target_dir) {
  packages::MovePayload(host_, TmpDir, target_dir, LogTo(*this));
}

void TdmKorvel::UpdateOwnExecutable() {
  packages::UpdateOwnExecutable(host_, TmpDir, DistribDir, ExeDir, LogTo(*this));
}

void TdmKorvel::CheckLauncherService() {
  packages::CheckLauncherService(host_, DistribDir, ExeDir, LogTo(*this));
}

}  // namespace korvel::run
