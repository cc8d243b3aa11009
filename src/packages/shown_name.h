// Names that come from outside (inbox files, archive entries, manifest
// names) as log lines and messages show them.
#pragma once

#include <string>
#include <string_view>

namespace korvel::packages {

// `name` with every control character (below 0x20, and 0x7F) written as
// "\xHH" (two upper-case hexadecimal digits), so that no name can end a
// log line or start one of its own. Every other byte stays as it is.
std::string ShownName(std::string_view name);

}  // namespace korvel::packages
