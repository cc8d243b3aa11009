// The private updates and private scripts of the data module: every valid
// .upp of the inbox applied to the application directory, then the new
// private scripts of that directory run on a copy of the database.
#include <string>
#include <utility>
#include <vector>

#include "host/cp1251.h"
#include "host/text.h"
#include "packages/package_intake.h"
#include "run/intake_binding.h"
#include "run/korvel_data.h"
#include "scripts/script_selection.h"

namespace korvel::run {

using namespace korvel::literals;

void TdmKorvel::RunPrivateUpdates() {
  // The key is loaded when the first private update needs it. The intake
  // works on copies of NewVersion and UpdateServer that a private update
  // never sets, and they are not copied back: an accepted update package
  // keeps its values.
  const DeferredOfficeKey key([this]() -> const packages::SignatureVerifier& { return OfficeKey(); });
  packages::PackageIntake intake = MakeIntake(*this, key);
  intake.RunPrivateUpdates([this] { MovePayload(AptekaDir); });
}

void TdmKorvel::RunPrivateScripts() {
  WriteLog("Поиск новых частных скриптов ..."_cp);
  ScriptList.clear();
  // A directory that is missing holds no scripts.
  const std::string scripts_dir = host::JoinPath(host::IncludePathDelimiter(AptekaDir), "Scripts\\");
  for (const char* subdirectory : {"_all\\", "_server\\"}) {
    scripts::ListSqlScripts(host_, host::IncludePathDelimiter(host::JoinPath(scripts_dir, subdirectory)), ScriptList);
  }
  dbApteka.Close();
  try {
    // In list order, so that files without a marker are reported in it.
    std::vector<std::string> fresh;
    for (const std::string& path : ScriptList) {
      if (IsNewPrivateScript(path)) fresh.push_back(path);
    }
    ScriptList = std::move(fresh);
    WriteLog("Найдено новых частных скриптов "_cp + IntToStr(static_cast<std::int64_t>(ScriptList.size())));
  } catch (...) {
    // The look-up's own failure is the one to report.
    dbApteka.CloseQuietly();
    throw;
  }
  dbApteka.Close();
  if (!ScriptList.empty()) RunScriptListOnDatabaseCopy();
}

}  // namespace korvel::run
