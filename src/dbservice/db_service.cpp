// Construction of TDbService, its message helpers and the start and stop of
// the Firebird server's service.
#include "dbservice/db_service.h"

#include <cstdio>
#include <exception>

#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::dbservice {

using namespace korvel::literals;

TDbService::TDbService(host::Host& host, fb::ClientLibrary& client)
    : dbApteka(client), trApteka(dbApteka), qrFiles(dbApteka, trApteka), host_(host) {
  svConfig.Params = {"user_name=SYSDBA", std::string("password=") + fb::kAdminPassword};
  svBackup.Params = svConfig.Params;
  svRestore.Params = svConfig.Params;
  svSweep.Params = svConfig.Params;
  svBackup.Verbose = true;
  svBackup.BlockingFactor = 0;
  svRestore.Verbose = true;
  svRestore.PageSize = 8192;
  svRestore.PageBuffers = 0;

  dbApteka.Params = {"lc_ctype=WIN1251", std::string("user_name=") + fb::kAdminUser,
                     std::string("password=") + fb::kAdminPassword};
  dbApteka.SQLDialect = 3;
  qrFiles.SQL = {"select f.RDB$FILE_NAME as fname,", "iif(f.RDB$SHADOW_NUMBER>0,1,0) as isshadow",
                 "from RDB$FILES f"};
}

TDbService::~TDbService() = default;

void TDbService::Log(const std::string& text) {
  if (!OnMessage) return;
  if (!recovering_) {
    OnMessage(text);
    return;
  }
  try {
    OnMessage(text);
  } catch (const std::exception&) {
    // The log's own failure must not leave the database without its live
    // file or the server stopped; the run's log keeps what it could.
  }
}

void TDbService::Fail(const std::string& text) { throw Exception(text); }

namespace {
// The pause after every start or stop of the server's service.
constexpr unsigned kServicePauseMs = 5000;

std::string Format2(const std::string& format, const std::string& a, const std::string& b) {
  std::string result;
  std::size_t at = 0;
  const std::string* values[] = {&a, &b};
  int next = 0;
  for (;;) {
    const std::size_t hit = format.find("%s", at);
    if (hit == std::string::npos || next == 2) break;
    result += format.substr(at, hit - at) + *values[next++];
    at = hit + 2;
  }
  return result + format.substr(at);
}
}  // namespace

void TDbService::StartServer() {
  if (host_.QueryServiceState(ServiceName) == host::kServiceRunning) return;
  // A server left stopped takes the database with it: the start does not
  // wait on the log.
  std::exception_ptr log_failure;
  try {
    Log("Запуск службы "_cp + ServiceName + " ...");
  } catch (const std::exception&) {
    log_failure = std::current_exception();
  }
  host_.ServiceControl(ServiceName, true);
  host_.Sleep(kServicePauseMs);
  if (log_failure) std::rethrow_exception(log_failure);
  Log("Запуск службы - OK"_cp);
}

void TDbService::StopServer() {
  // The Classic server's service is never stopped here; the exact name
  // decides, letter case included.
  if (ServiceName == kClassicServiceName) {
    host_.Sleep(kServicePauseMs);
    return;
  }
  if (host_.QueryServiceState(ServiceName) == host::kServiceStopped) return;
  Log("Останов службы "_cp + ServiceName + " ...");
  host_.ServiceControl(ServiceName, false);
  host_.Sleep(kServicePauseMs);
  Log("Останов службы - OK"_cp);
}

void TDbService::StopClassic() {
  if (ServiceName != kClassicServiceName) {
    Fail(Format2("StopClassic: Не правильное имя службы %s. Ожидается %s."_cp, ServiceName, kClassicServiceName));
  }
  const std::string exe = host::ExtractFileName(host_.GetServiceImagePath(ServiceName));
  if (!SameText(exe, kClassicServerExe)) {
    Fail(Format2("StopClassic: Не правильный exe файл %s. Ожидается %s."_cp, exe, kClassicServerExe));
  }
  if (host_.QueryServiceState(ServiceName) == host::kServiceStopped) return;
  Log("Останов службы "_cp + ServiceName + " ...");
  Log("Список процессов "_cp + kClassicServerExe + " ...");
  std::vector<std::uint32_t> ids;
  host_.ListProcessIds(kClassicServerExe, ids);
  Log("Процессов "_cp + std::to_string(ids.size()));
  // A Classic server runs one process per attachment: with more than one,
  // users are still connected.
  if (ids.size() > 1) {
    Fail("Обнаружено более одного процесса. Служба в данный момент не может быть остновлена."_cp);
  }
  host_.ServiceControl(ServiceName, false);
  host_.Sleep(kServicePauseMs);
  Log("Останов службы - OK"_cp);
}

}  // namespace korvel::dbservice
