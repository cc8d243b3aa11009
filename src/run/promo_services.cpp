// The product's promotion services, stopped for the run and started again
// at its end, and the driver's own queries of a service's state.
#include "host/cp1251.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

int TdmKorvel::GetServiceState(const std::string& machine, const std::string& service) {
  // Every failure, from the manager to the status query, reads as 0.
  try {
    std::unique_ptr<host::ServiceManagerHandle> manager = host_.OpenServiceManager(machine, false);
    std::unique_ptr<host::ServiceHandle> handle = manager->OpenService(service, false);
    return handle->QueryState();
  } catch (const Exception&) {
    return 0;
  }
}

bool TdmKorvel::IsServiceRunning(const std::string& service) {
  return GetServiceState("", service) == host::kServiceRunning;
}

void TdmKorvel::RunServiceCommand(const std::string& service, bool start) {
  host_.RunProgramCaptured(host_.ServiceCommandLine(service, start), "",
                           [this](const std::string& line) { WriteLog(line); });
}

void TdmKorvel::StopPromoServices() {
  const std::string promos_path = host_.GetServiceImagePath(kPromoServiceName);
  if (promos_path.empty()) return;
  const std::string promo_dir = host::ExtractFilePath(promos_path);
  WriteLog("Останавливаем промо-сервис..."_cp);
  // From the first stop on, the closing actions start both services again,
  // also when a later stop fails: a stopped guard must not stay stopped.
  promo_stopped_ = true;
  if (!host_.GetServiceImagePath(kPromoGuardServiceName).empty()) {
    if (IsServiceRunning(kPromoGuardServiceName)) {
      RunServiceCommand(kPromoGuardServiceName, false);
    } else {
      WriteLog("Служба \"OrvPromGuard\" не запущена."_cp);
    }
  } else {
    WriteLog("Служба \"OrvPromGuard\" не найдена."_cp);
  }
  if (IsServiceRunning(kPromoServiceName)) {
    RunServiceCommand(kPromoServiceName, false);
  } else {
    WriteLog("Служба \"OrvPromos\" не запущена."_cp);
  }
  // With both stopped, their client library is free to be replaced.
  RefreshFb3ClientFiles(promo_dir, "Внимание! Файлы FB3 не были обновлены для промо-служб."_cp);
}

void TdmKorvel::StartPromoServices() {
  if (!promo_stopped_) return;
  promo_stopped_ = false;
  WriteLog("Запускаем промо-сервис..."_cp);
  // Both are started whatever state they were in before the run.
  RunServiceCommand(kPromoServiceName, true);
  if (!host_.GetServiceImagePath(kPromoGuardServiceName).empty()) {
    RunServiceCommand(kPromoGuardServiceName, true);
  } else {
    WriteLog("Служба \"OrvPromGuard\" не найдена."_cp);
  }
}

}  // namespace korvel::run
