// Construction of TDbService, its message helpers and the start and stop of
// the Firebird server's service.
#include "dbservice/db_service.h"

#include "host/cp1251.h"

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
  if (OnMessage) OnMessage(text);
}

void TDbService::Fail(const std::string& text) { throw Exception(text); }

void TDbService::StartServer() {}

void TDbService::StopServer() {}

void TDbService::StopClassic() {}

}  // namespace korvel::dbservice
