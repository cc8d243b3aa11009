// The failure messages of starting programs and listing processes, shared
// by both backends so that each system error becomes the same text.
#pragma once

#include <string>

#include "host/cp1251.h"
#include "host/exception.h"

namespace korvel::host {

using namespace korvel::literals;

[[noreturn]] inline void RaisePipeError(const SysError& error) {
  throw Exception("Ошибка CreatePipe:\r\n"_cp + LastErrorText(error), error);
}

// The captured run ends its message with a colon, the plain run of a
// program with a full stop.
[[noreturn]] inline void RaiseStartError(const std::string& command_line, const SysError& error, bool captured) {
  throw Exception("Ошибка запуска программы \""_cp + command_line + (captured ? "\":\r\n" : "\".\r\n") +
                      LastErrorText(error),
                  error);
}

[[noreturn]] inline void RaiseSnapshotError(const char* call, const SysError& error) {
  throw Exception(std::string(call) + ": " + LastErrorText(error), error);
}

}  // namespace korvel::host
