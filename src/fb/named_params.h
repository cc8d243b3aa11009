// Named parameters in SQL text. The server knows only "?" placeholders; the
// program's statements name theirs (":script_id", "?STATUS"), so the text
// is rewritten before it is prepared and the names kept in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel::fb {

struct ParsedParams {
  std::string sql;                 // the text with every parameter as "?"
  std::vector<std::string> names;  // one per "?", in order; "" when unnamed
};

// Outside single- and double-quoted text, "/* */" and "--" comments: a ":"
// or "?" directly followed by a name (letters, digits, "_", "$", or a
// double-quoted name) is a named parameter; a "?" without a name is an
// unnamed one. Everything else is copied unchanged.
ParsedParams ParseNamedParams(std::string_view sql);

}  // namespace korvel::fb
