#include "packages/server_update.h"

#include <cerrno>
#include <vector>

#include "host/cp1251.h"
#include "host/executable_image.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "modules/module_engine.h"

namespace korvel::packages {

using namespace korvel::literals;

namespace {

// How long a program that holds a target is given to let go when even
// moving the target aside failed.
constexpr unsigned kHeldTargetWaitMs = 30000;

constexpr const char* kDescriptorName = "distrib.xml";
constexpr const char* kLocalDescriptorName = "local.xml";

void AppendLine(std::string& text, const std::string& line) {
  if (!text.empty()) text += "\r\n";
  text += line;
}

// Writes the marker of `version` into `dir` and removes every other one.
// Writing first means that a run cut short at any point leaves a marker.
void WriteVersionMarker(host::Host& host, const std::string& dir, std::int32_t version) {
  const std::string name = modules::VersionMarkerName(version);
  try {
    host.ClearFileAttributes(dir + name);
    host.WriteFileText(dir + name, "");
  } catch (Exception& e) {
    // The system's text alone ("Is a directory") does not say which file.
    e.SetMessage("Ошибка записи файла "_cp + dir + name + " :\r\n" + e.Message());
    throw;
  }
  std::vector<std::string> markers;
  host.ListFiles(dir, "*.ver", markers);
  for (const std::string& marker : markers) {
    if (SameText(marker, name)) continue;
    host.ClearFileAttributes(dir + marker);
    try {
      host.DeleteFile(dir + marker);
    } catch (const Exception&) {
      // A marker that cannot go stays; the highest one counts.
    }
  }
}

// Moves `file` onto `target` in at most two attempts; the failures that
// make the whole move fail are appended to `errors`.
void MoveOneFile(host::Host& host, const std::string& file, const std::string& target, const LogLineFn& log,
                 std::string& errors) {
  std::string aside;  // where the target was moved aside, when it was
  for (int attempt = 1; attempt <= 2; ++attempt) {
    try {
      host.RenameFileOrFail(file, target);
      if (attempt == 2) log("Вторая попытка ОК"_cp);
      return;
    } catch (const Exception& e) {
      if (attempt == 1 && IsTargetHeldError(e.Cause())) {
        log(e.Message());
        log("Вторая попытка ..."_cp);
        try {
          aside = MoveAside(host, target);
        } catch (const Exception&) {
          host.Sleep(kHeldTargetWaitMs);
        }
        continue;
      }
      AppendLine(errors, e.Message());
      // The file that was moved aside goes back when its successor did not
      // arrive, so that the installation never loses the file itself.
      if (attempt == 2 && !aside.empty() && !host.FileExists(target)) {
        try {
          host.MoveFile(aside, target, true);
        } catch (const Exception&) {
          // It stays as ".old"; the error above already reports the file.
        }
      }
    }
  }
}

}  // namespace

std::string MoveAside(host::Host& host, const std::string& file) {
  constexpr int kAsideNames = 100;
  std::string aside = host::ChangeFileExt(file, ".old");
  for (int n = 1; n <= kAsideNames && host.FileExists(aside); ++n) {
    host.ClearFileAttributes(aside);
    try {
      host.DeleteFile(aside);
      break;
    } catch (const Exception&) {
      // Held by a running program: it stays, the next name is tried.
    }
    aside = host::ChangeFileExt(file, ".old" + std::to_string(n));
  }
  host.RenameFileOrFail(file, aside);
  return aside;
}

bool IsTargetHeldError(const SysError& error) {
  if constexpr (host::kWindows) {
    return error.code == 5 || error.code == 32 || error.code == 33;
  } else {
    return error.code == EACCES || error.code == EPERM || error.code == EBUSY || error.code == ETXTBSY;
  }
}

void MovePayload(host::Host& host, const std::string& tmp_dir, const std::string& target_dir, const LogLineFn& log) {
  std::vector<std::string> files;
  modules::ListFilesRecursive(host, true, tmp_dir, "*", files);
  std::string errors;
  // The files of a directory are listed together: the directory made
  // last is not looked for again.
  std::string last_made;
  for (const std::string& file : files) {
    const std::string target = target_dir + file.substr(tmp_dir.size());
    if (host.FileExists(target)) {
      host.ClearFileAttributes(target);
    } else {
      const std::string dir = host::ExtractFilePath(target);
      if (dir != last_made && !host.ForceDirectoriesOrFail(dir)) throw Exception("Ошибка создания каталога "_cp + dir);
      last_made = dir;
    }
    MoveOneFile(host, file, target, log, errors);
  }
  if (!errors.empty()) throw Exception(errors);
}

void UpdateWorkDir(host::Host& host, const std::string& tmp_dir, const std::string& distrib_dir,
                   std::int32_t new_version, std::int32_t& cur_version, const LogLineFn& log) {
  log("Обновление рабочего каталога ..."_cp);
  try {
    MovePayload(host, tmp_dir, distrib_dir, log);
    WriteVersionMarker(host, distrib_dir, new_version);
  } catch (Exception& e) {
    // The version that was current stays recorded, and reported; the
    // failure of the move or of the new marker is what the run reports.
    try {
      WriteVersionMarker(host, distrib_dir, cur_version);
    } catch (const Exception& marker_error) {
      std::string message = e.Message();
      AppendLine(message, marker_error.Message());
      e.SetMessage(std::move(message));
    }
    throw;
  }
  cur_version = new_version;
  log("Обновление рабочего каталога - OK"_cp);
}

void UpdateServerModules(host::Host& host, const ServerUpdateDirs& dirs, bool classic, const ServerControl& server,
                         const LogLineFn& log) {
  log("Обновление сервера БД ..."_cp);
  // The server is started again whatever happens from its stop on,
  // including a stop that failed half-way.
  try {
    server.StopServer();
    const std::string descriptor = host.FileExists(dirs.TmpDir + kDescriptorName)
                                       ? dirs.TmpDir + kDescriptorName
                                       : dirs.DistribDir + kDescriptorName;
    const std::string local = dirs.AptekaDir + kLocalDescriptorName;
    if (classic) {
      log("Обновление модуля 200 ..."_cp);
      server.StopClassic();
      modules::UpdateModule(host, 200, dirs.TmpDir, descriptor, local);
      log("Обновление модуля 200 - OK"_cp);
    }
    log("Обновление модуля 2 ..."_cp);
    modules::UpdateModule(host, 2, dirs.TmpDir, descriptor, local);
    log("Обновление модуля 2 - OK"_cp);
  } catch (Exception& e) {
    // The deployment's failure is the one reported; a start that fails as
    // well is added to it.
    try {
      server.StartServer();
    } catch (const Exception& start_error) {
      e.SetMessage(e.Message() + "\r\n" + start_error.Message());
    }
    throw;
  } catch (...) {
    try {
      server.StartServer();
    } catch (...) {
      // The first failure is the one that propagates.
    }
    throw;
  }
  server.StartServer();
  log("Обновление сервера БД - OK"_cp);
}

std::string OwnExecutableName(host::Host& host) {
  if constexpr (host::kWindows) {
    return "Korvel.exe";
  } else {
    return host::ExtractFileName(host.ExecutablePath());
  }
}

namespace {

// What of the new executable's output goes into a failure message.
constexpr std::size_t kVersionOutputBytes = 4096;
constexpr int kVersionOutputLines = 5;
constexpr std::size_t kVersionLineChars = 200;

// The first lines of a program's output, each on a line of its own after
// a CR LF, its control characters shown as '?' and long lines cut: the
// program comes from outside.
std::string FirstLines(const std::string& output) {
  std::string lines;
  int count = 0;
  for (std::string line : SplitString(output, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (++count > kVersionOutputLines) break;
    if (line.size() > kVersionLineChars) line.resize(kVersionLineChars);
    for (char& c : line) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    lines += "\r\n" + line;
  }
  return lines;
}

// Starts the executable now in place with /VERSION; raises unless it ends
// with code 0 in time.
void ProveNewExecutable(host::Host& host, const std::string& installed, const std::string& exe_dir,
                        const LogLineFn& log) {
  const std::string command = "\"" + installed + "\" /VERSION";
  host::TimedRun run;
  try {
    run = host.RunProgramWithTimeLimit(command, exe_dir, kVersionRunLimitMs, kVersionOutputBytes);
  } catch (Exception& e) {
    e.SetMessage("Новый исполняемый файл не запускается:\r\n"_cp + e.Message());
    throw;
  }
  if (!run.ended) {
    throw Exception("Новый исполняемый файл не завершился за "_cp + IntToStr(kVersionRunLimitMs / 1000) +
                    " секунд: "_cp + command + FirstLines(run.output));
  }
  if (run.exit_code != 0) {
    throw Exception("Новый исполняемый файл завершился с кодом "_cp + IntToStr(run.exit_code) + ": " + command +
                    FirstLines(run.output));
  }
  const std::string version = FirstLines(run.output);
  log("Новый исполняемый файл запускается: "_cp + command + (version.empty() ? "" : " -> " + version.substr(2)));
}

// Puts the executable that ran back in its place (from `old`; with no
// `old` there was none, and the new one goes); what cannot be done is
// added to `failure`.
void RestoreOldExecutable(host::Host& host, const std::string& installed, const std::string& old,
                          Exception& failure, const LogLineFn& log) {
  try {
    if (!old.empty()) {
      host.RenameFileOrFail(old, installed);
    } else if (host.FileExists(installed)) {
      host.DeleteFileOrFail(installed);
    }
    log("Прежний исполняемый файл восстановлен"_cp);
  } catch (const Exception& e) {
    failure.SetMessage(failure.Message() + "\r\n" + e.Message());
  }
}

}  // namespace

void UpdateOwnExecutable(host::Host& host, const std::string& tmp_dir, const std::string& distrib_dir,
                         const std::string& exe_dir, const LogLineFn& log) {
  const std::string name = OwnExecutableName(host);
  const std::string relative = "Utils\\AutoUpdate\\" + name;
  const std::string source = host::JoinPath(tmp_dir, relative);
  if (!host.FileExists(source)) return;
  log("Обновление "_cp + relative + " ...");
  // A truncated file or a build for another system is refused before
  // anything is moved.
  const std::string image = host.ReadFileText(source);
  const std::string fault = host::ExecutableImageFault(image, host::ThisSystemExecutableFormat());
  if (!fault.empty()) throw Exception("Файл "_cp + relative + " пакета не принят: "_cp + fault);
  const bool knows_version_switch = image.find(kVersionSwitchMarker) != std::string::npos;
  const std::string copy = host::JoinPath(distrib_dir, relative);
  if (host.FileExists(copy)) {
    host.ClearFileAttributes(copy);
  } else {
    const std::string dir = host::ExtractFilePath(copy);
    if (!host.ForceDirectoriesOrFail(dir)) throw Exception("Ошибка создания каталога "_cp + dir);
  }
  host.RenameFileOrFail(source, copy);
  const std::string installed = exe_dir + name;
  std::string old;  // where the executable that ran was moved, when there was one
  if (host.FileExists(installed)) {
    host.ClearFileAttributes(installed);
    old = host::ChangeFileExt(installed, ".old");
    host.RenameFileOrFail(installed, old);
  }
  try {
    host.CopyFileOrFail(copy, installed);
    // On POSIX the next run (and the start below) can start the new file,
    // also from a package packed without Unix modes.
    host.MarkExecutable(installed);
    if (knows_version_switch) ProveNewExecutable(host, installed, exe_dir, log);
  } catch (Exception& e) {
    RestoreOldExecutable(host, installed, old, e, log);
    throw;
  }
  log("Обновление "_cp + relative + " - OK");
}

}  // namespace korvel::packages
