// Which script files are due: the numbered scripts of an update package,
// chosen by number against the schema version, and the marker by which a
// private script names itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace korvel::scripts {

// Appends the ".sql" files of `directory` (which ends with the path
// separator) that are not in `list` yet, then makes every entry of `list`
// that is still a bare name (no path separator) a full path under
// `directory`; entries from earlier directories stay as they are.
void ListSqlScripts(host::Host& host, const std::string& directory, std::vector<std::string>& list);

// The number of a numbered script: its file name without the extension as
// the host's integer conversion reads it (leading zeros and a sign
// accepted); -1 when it does not read as an integer.
std::int32_t ScriptNumber(std::string_view path);

// Keeps the entries whose ScriptNumber lies in [lowest, highest] and sorts
// them in ascending order of number. Files with the same number keep their
// order in the list.
void SelectNumberedScripts(std::vector<std::string>& list, std::int32_t lowest, std::int32_t highest);

// The identifier a private script's first line carries: the word after the
// first word "PrivateScript" (letter case ignored) that is not the line's
// last word, the line split at single spaces. "" when there is none, or
// when that word is not 38 characters long beginning with "{" and ending
// with "}".
std::string PrivateScriptId(std::string_view first_line);

}  // namespace korvel::scripts
