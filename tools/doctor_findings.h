// What the doctor's sections share: the findings they print, the
// utility's name and log directory; and the sections of the running
// installation (doctor_services_and_runs.cpp): the services and the last run.
#pragma once

#include <string>
#include <string_view>

#include "host/host.h"
#include "run/korvel_data.h"
#include "tools/tool_command.h"

namespace korvel::tool {

// The utility's file name beside which the doctor looks.
constexpr const char* kUtilityName = host::kWindows ? "Korvel.exe" : "Korvel";

// The run logs beside the utility.
inline std::string LogDir(const std::string& dir) {
  return dir + host::ExtractFileNameWithoutExt(kUtilityName) + "Log" + host::kPathDelim;
}

// The findings, a line each, and how many need the administrator.
class Findings {
 public:
  explicit Findings(host::Host& host) : host_(host) {}
  void Section(const std::string& title) { PrintLine(host_, "[" + title + "]"); }
  void Ok(const std::string& text) { PrintLine(host_, "  ok       " + text); }
  void Note(const std::string& text) { PrintLine(host_, "  note     " + text); }
  void Problem(const std::string& text) {
    PrintLine(host_, "  PROBLEM  " + text);
    ++problems_;
  }
  // What to do about the finding before it.
  void Todo(const std::string& text) { PrintLine(host_, "           -> " + text); }
  // A text of the utility or the system, each of its lines indented.
  void Message(std::string_view message, const std::string& prefix = "") {
    std::size_t start = 0;
    while (true) {
      const std::size_t end = message.find("\r\n", start);
      PrintLine(host_, "           " + prefix +
                           std::string(message.substr(start, end == std::string_view::npos ? end : end - start)));
      if (end == std::string_view::npos) return;
      start = end + 2;
    }
  }
  void Plain(const std::string& text) { PrintLine(host_, text); }
  int problems() const { return problems_; }
  // Problems found before and mended since.
  void Mended(int count) {
    problems_ -= count;
    mended_ += count;
  }
  int mended() const { return mended_; }

 private:
  host::Host& host_;
  int problems_ = 0, mended_ = 0;
};

enum class ServiceRole { kDatabaseServer, kPromotion, kLauncher };

// The service `name` in its role: installed, its program, running or stopped.
void ReportService(Findings& out, run::TdmKorvel& dm, const std::string& name, ServiceRole role);
// The newest run log beside the utility and its last lines.
void ReportLastRun(Findings& out, host::Host& host, const std::string& dir);
// The request packet `name` in `out_dir` (every *.UPR there when it is not found).
void ReportPacket(Findings& out, host::Host& host, const std::string& out_dir, const std::string& name);

}  // namespace korvel::tool
