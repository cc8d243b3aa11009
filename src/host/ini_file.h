// Reading a value from the text of an ini file the way the Windows profile
// functions do: "[section]" lines open sections, "key=value" lines within
// them give values; section and key names are matched without regard to
// letter case, the first occurrence wins, blanks around names and values
// are dropped and a value in matching quotes loses them. Lines without "="
// are ignored. Any bytes are accepted: binary garbage gives no values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel::host {

std::optional<std::string> FindIniValue(std::string_view text, std::string_view section, std::string_view key);

}  // namespace korvel::host
