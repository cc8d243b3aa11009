#include "packages/server_update.h"

#include <cerrno>
#include <vector>

#include "host/cp1251.h"
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
  host.ClearFileAttributes(dir + name);
  host.WriteFileText(dir + name, "");
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
  for (const std::string& file : files) {
    const std::string target = target_dir + file.substr(tmp_dir.size());
    if (host.FileExists(target)) {
      host.ClearFileAttributes(target);
    } else {
      const std::string dir = host::ExtractFilePath(target);
      if (!host.ForceDirectoriesOrFail(dir)) throw Exception("Ошибка создания каталога "_cp + dir);
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
    cur_version = new_version;
  } catch (Exception& e) {
    // The version that was current stays recorded; the move's failure is
    // what the run reports.
    try {
      WriteVersionMarker(host, distrib_dir, cur_version);
    } catch (const Exception& marker_error) {
      std::string message = e.Message();
      AppendLine(message, marker_error.Message());
      e.SetMessage(std::move(message));
    }
    throw;
  }
  WriteVersionMarker(host, distrib_dir, cur_version);
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

void UpdateOwnExecutable(host::Host& host, const std::string& tmp_dir, const std::string& distrib_dir,
                         const std::string& exe_dir, const LogLineFn& log) {
  const std::string name = OwnExecutableName(host);
  const std::string relative = "Utils\\AutoUpdate\\" + name;
  const std::string source = host::JoinPath(tmp_dir, relative);
  if (!host.FileExists(source)) return;
  log("Обновление "_cp + relative + " ...");
  const std::string copy = host::JoinPath(distrib_dir, relative);
  if (host.FileExists(copy)) {
    host.ClearFileAttributes(copy);
  } else {
    const std::string dir = host::ExtractFilePath(copy);
    if (!host.ForceDirectoriesOrFail(dir)) throw Exception("Ошибка создания каталога "_cp + dir);
  }
  host.RenameFileOrFail(source, copy);
  const std::string installed = exe_dir + name;
  bool was_executable = false;
  if (host.FileExists(installed)) {
    host.ClearFileAttributes(installed);
    was_executable = host.GetAttributes(installed).value_or(host::FileAttributes{}).executable;
    host.RenameFileOrFail(installed, host::ChangeFileExt(installed, ".old"));
  }
  host.CopyFileOrFail(copy, installed);
  // On POSIX the next run starts the new file as it started the old one,
  // also from a package packed without Unix modes.
  if (was_executable) host.MarkExecutable(installed);
  log("Обновление "_cp + relative + " - OK");
}

}  // namespace korvel::packages
