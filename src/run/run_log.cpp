// The run log: one monthly file beside the executable, opened and closed
// for every entry so that every line reaches the disk before the next step
// and a refused second instance can still append to it.
#include <exception>

#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

namespace {
constexpr int kLogKeepDays = 90;
}

void TdmKorvel::WriteLog(std::string_view message) {
  std::string line;
  if (!message.empty()) line = FormatDateTime("hh:nn:ss", host_.Now()) + "\t" + std::string(message);
  // The failure keeps its own type for the error trap's line.
  std::exception_ptr failure;
  std::string failure_message;
  try {
    if (LogFileName.empty()) {
      const std::string dir =
          ExeDir + host::ExtractFileNameWithoutExt(host_.ExecutablePath()) + "Log" + host::kPathDelim;
      if (!host_.ForceDirectoriesOrFail(dir)) throw Exception("Ошибка создания каталога "_cp + dir);
      modules::DeleteOldFiles(host_, dir, kLogKeepDays);
      LogFileName = dir + FormatDateTime("yyyymm", host_.Now()) + ".log";
    }
    // Appended in one write that the system puts at the end as a whole:
    // other runs (a refused second instance) append at the same time.
    auto file = host_.OpenFile(LogFileName, host::OpenMode::kAppend, host::ShareMode::kReadWrite);
    file->Write(line + "\r\n");
  } catch (Exception& e) {
    e.SetMessage("Ошибка WriteLog:\r\n"_cp + e.Message() + "\r\nПараметр WriteLog:\r\n"_cp + line);
    failure_message = e.Message();
    failure = std::current_exception();
  }
  // A line the file did not take still goes out with an error packet.
  LogLines.push_back(line);
  if (EchoToConsole) {
    try {
      host_.ConsoleWriteLine(line);
    } catch (const Exception&) {
      // The echo is a convenience: a closed console or pipe only ends it.
      EchoToConsole = false;
    }
  }
  if (!failure) return;
  try {
    host_.ReportError(host::ExtractFileName(host_.ExecutablePath()), failure_message);
  } catch (const std::exception&) {
    // The system log is the last place left; nothing remains to report to.
  }
  if (!log_failures_quiet_) std::rethrow_exception(failure);
}

}  // namespace korvel::run
