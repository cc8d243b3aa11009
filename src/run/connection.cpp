// The pharmacy database connection of the data module: opened per use,
// never held across steps, and the pharmacy's identity read from it once
// during initialisation and again for the request packet.
#include "host/cp1251.h"
#include "host/text.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

void TdmKorvel::ApplyConnectionSettings() {
  dbApteka.Params = {"lc_ctype=WIN1251", std::string("user_name=") + fb::kAdminUser,
                     std::string("password=") + fb::kAdminPassword};
  dbApteka.SQLDialect = 3;
}

void TdmKorvel::OpenDatabase() {
  try {
    dbApteka.Close();
    // A script's CONNECT or SET SQL DIALECT changed the connection for its
    // own run only; every step starts from the program's own settings.
    ApplyConnectionSettings();
    dbApteka.DatabaseName = DbName;
    dbApteka.Open();
  } catch (Exception& e) {
    e.SetMessage("Ошибка открытия БД.\r\n"_cp + e.Message());
    throw;
  }
}

void TdmKorvel::ReadDbParams() {
  OpenDatabase();
  std::int32_t pred_id = 0, node_id = 0, sysverno = 0;
  try {
    try {
      qrPredInfo.Open();
      if (qrPredInfo.Eof()) throw Exception("Таблица ORGANIZATION пуста"_cp);
      // A NULL is no integer: read as 0 it would make the run chain 0,
      // pharmacy 0.
      const auto integer = [this](const char* column) {
        const fb::Field field = qrPredInfo.FieldByName(column);
        if (field.IsNull()) throw Exception("Поле "_cp + column + " не заполнено (NULL)"_cp);
        return field.AsInteger();
      };
      pred_id = integer("PRED_ID");
      node_id = integer("NODE_ID");
      sysverno = integer("SYSVERNO");
      qrPredInfo.Close();
    } catch (Exception& e) {
      e.SetMessage("Ошибка чтения параметров из БД.\r\n"_cp + e.Message());
      throw;
    }
  } catch (...) {
    // The failure being raised matters more.
    dbApteka.CloseQuietly();
    throw;
  }
  dbApteka.Close();
  PredId = pred_id;
  NodeId = node_id;
  SysVerNo = sysverno;
}

bool TdmKorvel::IsFb3Database() const { return SysVerNo > 799; }

bool TdmKorvel::IsLegacyServer() const {
  return EndsText(".gdb", DbName) && UpperCase(DbName).find("/3051:") != std::string::npos;
}

std::string TdmKorvel::ServerServiceName() const {
  if (IsLegacyServer()) return dbservice::kLegacyServiceName;
  if (Classic) return dbservice::kClassicServiceName;
  return dbservice::kPelkoraServiceName;
}

}  // namespace korvel::run
