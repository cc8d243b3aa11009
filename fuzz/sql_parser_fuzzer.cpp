// Random scripts through the parser: unbalanced quotes and comments, long
// lines, any terminator. The parse must end (Finished) without a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scripts/script_text.h"
#include "scripts/sql_parser.h"

using namespace korvel::scripts;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the terminator the pass starts with.
  static const char* const kTerminators[] = {";", "^", "!!", "/", "'", "END"};
  const std::string terminator = kTerminators[data[0] % 6];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  // INPUT reads the script itself again, so a script may name itself.
  TSqlParser parser([&](const std::string&) { return SplitLines(text); });
  parser.Script() = SplitLines(text);
  parser.SetTerminator(terminator);
  std::size_t errors = 0;
  parser.OnParse = [](TSqlParser& p, TSqlParseKind, const std::string&) { (void)p.Tokens(); };
  parser.OnError = [&](TSqlParser& p, const std::string&, const std::string&, int) {
    if (++errors % 2 == 1) p.SetPaused(true);  // as the runner does after an error
  };
  parser.Parse();
  while (parser.Paused()) parser.SetPaused(false);
  if (!parser.Finished()) __builtin_trap();
  return 0;
}
