// Script files as lines: reading them the way the runner's line list is
// filled, and the one rewrite the utility applies before a script runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace korvel::scripts {

// Lines of a text: CR LF, LF and a lone CR each end a line; a line end at
// the very end of the text does not start another line.
std::vector<std::string> SplitLines(std::string_view text);

// The lines of a script file. A file that cannot be read raises
// EInOutError "Cannot open file "<path>". " + the system's reason.
std::vector<std::string> LoadScriptLines(host::Host& host, const std::string& path);

// A line that, upper-cased (ASCII letters) and without trailing blanks,
// begins with "CONNECT" and ends with ";" becomes "/* " + line + "*/", so
// that a one-line CONNECT reaches the runner only as a comment.
void CommentOutConnect(std::vector<std::string>& lines);

}  // namespace korvel::scripts
