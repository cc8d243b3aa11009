#include "host/exception.h"

#include "host/cp1251.h"

namespace korvel {

using namespace korvel::literals;

std::string LastErrorText(const SysError& error) {
  // The system's text loses trailing blanks, line breaks and full stops.
  std::string text = error.text;
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.')) text.pop_back();
  return "Код: "_cp + std::to_string(error.code) + ": " + text;
}

}  // namespace korvel
