#include "packages/launcher_service.h"

#include <cmath>

#include "host/cp1251.h"
#include "host/exception.h"
#include "host/text.h"

namespace korvel::packages {

using namespace korvel::literals;

bool SameLauncherBuild(std::int64_t size_a, TDateTime time_a, std::int64_t size_b, TDateTime time_b) {
  return size_a == size_b && std::fabs(time_a - time_b) < 1.0 / 1440;
}

namespace {

// `message` + LastErrorText of the failure, keeping its system cause.
[[noreturn]] void Raise(const std::string& message, const Exception& failure) {
  throw Exception(message + LastErrorText(failure.Cause()), failure.Cause());
}

void Install(host::Host& host, host::ServiceManagerHandle& manager, const std::string& source,
             const std::string& exe_dir, const LogLineFn& log) {
  log("Служба не установлена. Установка службы ..."_cp);
  const std::string target = exe_dir + kLauncherProgramName;
  host.CopyFileOrFail(source, target);
  // Quoted when the directory has a blank (C:\Program Files\...): unquoted,
  // the system would look for C:\Program.exe first.
  const std::string program = target.find(' ') == std::string::npos ? target : "\"" + target + "\"";
  host.RunAndWait(program + " /INSTALL /SILENT", "");
  std::unique_ptr<host::ServiceHandle> service;
  try {
    service = manager.OpenService(kLauncherServiceName, true);
  } catch (const EOSError& e) {
    Raise("Службу не удалось установить: "_cp, e);
  }
  log("Служба успешно установлена"_cp);
  log("Запуск службы ..."_cp);
  try {
    service->StartOrFail();
  } catch (const EOSError& e) {
    Raise("Службу не удалось запустить: "_cp, e);
  }
  log("Службы успешно запущена"_cp);
}

void Update(host::Host& host, const std::string& source, const LogLineFn& log) {
  const std::string installed = host.GetServiceImagePath(kLauncherServiceName);
  const std::string name = host::ExtractFileName(installed);
  if (!SameText(name, kLauncherProgramName)) {
    throw Exception("Имя файла службы "_cp + name + " отличается от эталонного "_cp + kLauncherProgramName);
  }
  if (SameLauncherBuild(host.GetFileSize64(installed), host.GetFileDateTime(installed), host.GetFileSize64(source),
                        host.GetFileDateTime(source))) {
    log("Служба TarnelService - OK (обновлений не найдено)"_cp);
    return;
  }
  log("Обновление службы ..."_cp);
  if (host.FileExists(installed)) {
    host.ClearFileAttributes(installed);
    // The running service may execute the build an earlier update moved
    // aside: that one is left alone.
    MoveAside(host, installed);
  }
  host.CopyFileOrFail(source, installed);
  // The first letter is a Latin C, as the office's log readers expect.
  log("Cлужба TarnelService успешно обновлена"_cp);
}

}  // namespace

void CheckLauncherService(host::Host& host, const std::string& distrib_dir, const std::string& exe_dir,
                          const LogLineFn& log) {
  const std::string source = host::JoinPath(distrib_dir, std::string("Utils\\AutoUpdate\\") + kLauncherProgramName);
  if (!host.FileExists(source)) return;
  log("Проверка службы запуска обновлений TarnelService ..."_cp);
  // Both handles are closed on every path as they go out of scope.
  std::unique_ptr<host::ServiceManagerHandle> manager;
  try {
    manager = host.OpenServiceManager("", true);
  } catch (const EOSError& e) {
    Raise("Ошибка открытия менеджера служб: "_cp, e);
  }
  std::unique_ptr<host::ServiceHandle> service;
  try {
    service = manager->OpenService(kLauncherServiceName, true);
  } catch (const EOSError& e) {
    if (e.Cause().kind != SysErrorKind::kServiceMissing) Raise("Ошибка открытия службы TarnelService : "_cp, e);
  }
  if (!service) {
    Install(host, *manager, source, exe_dir, log);
  } else {
    Update(host, source, log);
  }
}

}  // namespace korvel::packages
