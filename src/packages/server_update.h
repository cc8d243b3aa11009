// Applying an accepted update package to the installation: the server's
// modules deployed while the database server is stopped, and the unpacked
// payload moved into the working distribution with its version marker.
//
// The data module's step methods (src/run/server_update_steps.cpp) call these
// with the run's directories, its service control and WriteLog.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "host/exception.h"
#include "host/host.h"

namespace korvel::packages {

using LogLineFn = std::function<void(std::string_view line)>;

// A move that the first attempt could not make because something holds the
// target: Windows codes 5 (access denied), 32 (sharing violation) and 33
// (lock violation); on POSIX EACCES, EPERM, EBUSY and ETXTBSY.
bool IsTargetHeldError(const SysError& error);

// Moves `file` aside to its name with ".old" and returns that name. A file
// already there is removed first; when it cannot be (Windows refuses while
// a program runs from it: the launcher service after an earlier update),
// the first of ".old1", ".old2", ... that is free or can be freed is taken
// instead. Raises RenameFileOrFail's message.
std::string MoveAside(host::Host& host, const std::string& file);

// Moves every file below `tmp_dir` into `target_dir` under the same
// relative path, replacing what is there. A target that resists the first
// move (IsTargetHeldError) is moved aside to its name with ".old" (after
// "Вторая попытка ..."; when even that fails, after 30 seconds) and the move
// is tried once more ("Вторая попытка ОК"). Every other failure is
// collected, and all of them are raised together at the end, one message
// per line, so that every file is attempted. A directory that cannot be
// created stops it at once ("Ошибка создания каталога " + directory).
void MovePayload(host::Host& host, const std::string& tmp_dir, const std::string& target_dir, const LogLineFn& log);

// "Обновление рабочего каталога ...": MovePayload(tmp_dir, distrib_dir),
// the marker of `new_version` written and every other marker of
// `distrib_dir` removed, and only then `cur_version` := `new_version`.
// After a failure of the move or of the marker ("Ошибка записи файла " +
// the marker + " :\r\n" + the system's text) the marker of `cur_version`
// stands again, `cur_version` is unchanged and the failure propagates.
void UpdateWorkDir(host::Host& host, const std::string& tmp_dir, const std::string& distrib_dir,
                   std::int32_t new_version, std::int32_t& cur_version, const LogLineFn& log);

// The database server's service as the server update drives it.
struct ServerControl {
  std::function<void()> StopServer;
  std::function<void()> StartServer;
  // Stops the Classic server (before module 200).
  std::function<void()> StopClassic;
};

struct ServerUpdateDirs {
  std::string TmpDir;      // the unpacked payload
  std::string DistribDir;  // the working distribution (its distrib.xml when the payload has none)
  std::string AptekaDir;   // holds local.xml
};

// "Обновление сервера БД ...": stops the server, deploys module 200 (only
// when `classic`, after StopClassic) and then module 2 from the payload's
// distrib.xml (or the distribution's) with local.xml over its variables,
// and starts the server again on every path, failures included.
void UpdateServerModules(host::Host& host, const ServerUpdateDirs& dirs, bool classic, const ServerControl& server,
                         const LogLineFn& log);

// The executable's file name where a package carries it and where it is
// installed: "Korvel.exe" on Windows whatever the process was started as;
// on POSIX the running executable's own file name (there is no ".exe").
std::string OwnExecutableName(host::Host& host);

// Every build of the utility that handles the switch /VERSION (prints its
// file version and ends, before the single-instance lock or any other
// step) carries these bytes, so that the self-update can tell, without
// starting it, whether a new executable may be started with it: an older
// build would take the unknown switch for a full run.
inline constexpr std::string_view kVersionSwitchMarker = "Korvel-knows-switch:/VERSION";

// How long the new executable's /VERSION run may take.
inline constexpr unsigned kVersionRunLimitMs = 60000;

// The self-update: when the payload carries Utils\AutoUpdate\ + the
// executable's name, it is moved onto the distribution's copy, the
// executable in `exe_dir` is moved aside to ".old" (the running process
// goes on from the moved file) and the distribution's copy is copied to
// the executable's name. Nothing happens, and nothing is logged, without a
// new executable.
//
// The utility is never left without a working executable: a new file that
// is not a whole executable of this system (host::ExecutableImageFault) is
// refused before anything is moved; once it is in place, a build with
// kVersionSwitchMarker is started once as `"<executable>" /VERSION` in
// `exe_dir` and must end with code 0 within kVersionRunLimitMs. When the
// copy or that run fails, the executable that ran is put back ("Прежний
// исполняемый файл восстановлен") and the failure raised names the
// command, its exit code or the system's error, and the first lines of
// its output.
void UpdateOwnExecutable(host::Host& host, const std::string& tmp_dir, const std::string& distrib_dir,
                         const std::string& exe_dir, const LogLineFn& log);

}  // namespace korvel::packages
