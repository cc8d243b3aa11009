// The configuration file Korvel.ini beside the executable, section [Path].
#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

namespace {

constexpr const char* kDefaultIniName = "Korvel.ini";
// Where the distribution lives when the default ini file names no WorkDir.
constexpr const char* kDefaultWorkDir = host::kWindows ? "C:\\OrvDistrib" : "/srv/OrvDistrib";

}  // namespace

void TdmKorvel::ReadPathParam(const std::string& key, bool empty_allowed, std::string& value) {
  value = Trim(host_.ReadIniString(ExeDir + ini_name_, "Path", key, ""));
  if (value.empty() && !empty_allowed) {
    throw Exception("Не найден параметр "_cp + key + " в файле "_cp + ini_name_);
  }
}

void TdmKorvel::ReadConfig() {
  ini_name_ = host_.GetSwitchValue("INI");
  if (ini_name_.empty()) ini_name_ = kDefaultIniName;
  if (!host_.FileExists(ExeDir + ini_name_)) throw Exception("Не найден файл "_cp + ini_name_);

  // Only the default file may leave WorkDir out; the comparison is exact.
  std::string work_dir;
  ReadPathParam("WorkDir", ini_name_ == kDefaultIniName, work_dir);
  if (work_dir.empty()) work_dir = kDefaultWorkDir;
  work_dir = host::IncludePathDelimiter(work_dir);

  DistribDir = modules::CheckDirectory(host_, host::JoinPath(work_dir, "Distrib\\"), false);
  AptekaDir = modules::CheckDirectory(host_, host::JoinPath(work_dir, "Apteka\\"), false);
  TmpDir = modules::CheckDirectory(host_, host::JoinPath(work_dir, "TMP\\"), true);

  if (PosMode) {
    DbName = host::JoinPath(ExeDir, "DB\\orvpos.gdb");
  } else {
    ReadPathParam("DB", false, DbName);
  }

  std::string value;
  ReadPathParam("InDir", false, value);
  InDir = modules::CheckDirectory(host_, host_.ExpandUNCFileName(value), false);
  ReadPathParam("OutDir", false, value);
  OutDir = modules::CheckDirectory(host_, host_.ExpandUNCFileName(value), false);
  ReadPathParam("Modules", false, Modules);

  // An integer, decimal or hexadecimal after 0x; only 1 means Classic.
  Classic = StrToIntDef(Trim(host_.ReadIniString(ExeDir + ini_name_, "Path", "Classic", "")), 0) == 1;
}

}  // namespace korvel::run
