#include "modules/dir_helpers.h"

#include <algorithm>
#include <vector>

#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::modules {

using namespace korvel::literals;

std::string CheckDirectory(host::Host& host, const std::string& path, bool create) {
  const std::string result = host::IncludePathDelimiter(Trim(path));
  if (create) {
    if (!host.ForceDirectoriesOrFail(result)) throw Exception("Ошибка создания каталога "_cp + result);
  } else if (!host.DirectoryExists(result)) {
    throw Exception("Каталог "_cp + result + " не найден"_cp);
  }
  return result;
}

std::int32_t CurrentVersion(host::Host& host, const std::string& directory, bool must_exist) {
  std::vector<std::string> markers;
  host.ListFiles(directory, "*.ver", markers);
  std::int32_t version = -1;
  for (const std::string& name : markers) {
    const std::string number = name.size() >= 4 ? name.substr(0, name.size() - 4) : std::string();
    version = std::max(version, StrToIntDef(number, -1));
  }
  if (version < 0 && must_exist) {
    throw Exception("Ошибка определения текущей версии ПО (файл NNNNNN.ver в каталоге "_cp + directory +
                    ")");
  }
  return version;
}

void DeleteOldFiles(host::Host& host, const std::string& directory, int days) {
  std::vector<std::string> files;
  host.ListFiles(directory, "*.*", files);
  const TDateTime today = DateOf(host.Now());
  for (const std::string& name : files) {
    const std::string path = directory + name;
    if (today - host.GetFileDateTime(path) <= days) continue;
    try {
      host.DeleteFile(path);
    } catch (const Exception&) {
      // An old file that cannot go now goes in a later run.
    }
  }
}

std::string VersionMarkerName(std::int32_t version) { return IntToStr(version, 6) + ".ver"; }

}  // namespace korvel::modules
