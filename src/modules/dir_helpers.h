// Directory and version-marker helpers of the module unit, shared with the
// run control. Plain functions without state.
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"

namespace korvel::modules {

// Trims the path, appends the separator and either creates the directory
// ("Ошибка создания каталога " + path) or requires that it exists
// ("Каталог " + path + " не найден"). Returns the path with separator.
std::string CheckDirectory(host::Host& host, const std::string& path, bool create);

// The highest NNNNNN of the NNNNNN.ver files in `directory`, or -1. With
// must_exist, no marker raises "Ошибка определения текущей версии ПО (файл
// NNNNNN.ver в каталоге " + directory + ")".
std::int32_t CurrentVersion(host::Host& host, const std::string& directory, bool must_exist);

// Deletes the files of `directory` (which ends with a separator) last written
// more than `days` days before the start of today; failures are ignored.
void DeleteOldFiles(host::Host& host, const std::string& directory, int days);

// The file name of a version marker: the number zero-padded to six digits
// and ".ver".
std::string VersionMarkerName(std::int32_t version);

}  // namespace korvel::modules
