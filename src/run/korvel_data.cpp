// The run driver: the whole control flow of one run.
#include "run/korvel_data.h"

#include <new>

#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"

namespace korvel::run {

using namespace korvel::literals;

namespace {
constexpr const char* kMutexName = "KorvelStarted";
}

TdmKorvel::TdmKorvel(host::Host& host)
    : FbClient(host, fb::DefaultClientLibraryName()),
      dbApteka(FbClient),
      trRead(dbApteka),
      trWrite(dbApteka),
      qrPredInfo(dbApteka, trRead),
      qrCheckScript(dbApteka, trRead),
      dsPriceProc(dbApteka, trRead),
      sqlExec(host),
      sqlExec1(host),
      host_(host) {
  ApplyConnectionSettings();
  trRead.Params = {"write", "nowait", "rec_version", "read_committed"};
  trWrite.Params = {"write", "nowait", "concurrency"};
  qrPredInfo.SQL = {"select o.PRED_ID, o.NODE_ID, o.SYSVERNO", "from ORGANIZATION o"};
  qrCheckScript.SQL = {"select sl.*", "from SCRIPT_LOG sl", "where sl.SCRIPT_ID=:script_id"};
  dsPriceProc.SelectSQL = {"select first 1 p.*", "from PRICING_PROCS p", "order by p.ID desc"};
  dsPriceProc.UpdateSQL = {"update PRICING_PROCS", "set STATUS=?STATUS", "where ID=?ID;"};
  dsPriceProc.TrimCharFields = true;
  SetUpScriptRunners();
}

TdmKorvel::~TdmKorvel() = default;

void TdmKorvel::Execute() {
  if (host_.FindSwitch("VERSION") > 0) {
    host_.ConsoleWriteLine(host_.FileVersion(host_.ExecutablePath()));
    return;
  }
  MutexHandle.reset();
  promo_stopped_ = false;
  log_failures_quiet_ = false;
  try {
    try {
      // Step 2: the client library is loaded before anything can replace
      // it (the Firebird 3 client files are refreshed during
      // initialisation); a library missing now is loaded at first use,
      // and only then does its absence show.
      FbClient.Load();
      StartUp();
      Initialise();
      RunChosenMode();
    } catch (const Exception& e) {
      HandleRunError(e.TypeName(), e.Message());
    } catch (const std::bad_alloc&) {
      HandleRunError("EOutOfMemory", "Out of memory");
    } catch (const std::exception& e) {
      HandleRunError("EExternal", e.what());
    }
  } catch (const std::exception& e) {
    // The trap itself failed, typically because the run log cannot be
    // written: the system's event log is the last place left.
    try {
      host_.ReportError(host::ExtractFileName(host_.ExecutablePath()), e.what());
    } catch (const std::exception&) {
      // Nothing is left to report to.
    }
  }
  CloseRun();
}

// Steps 3 to 6: switches, the executable's directory, the first log lines
// and the single-instance lock.
void TdmKorvel::StartUp() {
  EchoToConsole = host_.FindSwitch("OUTPUT") > 0;
  PosMode = host_.FindSwitch("POS") > 0;

  const std::string exe = host_.ExecutablePath();
  ExeDir = host::IncludePathDelimiter(host::ExtractFileDir(exe));
  host_.SetCurrentDirectory(ExeDir);

  WriteLog("");
  WriteLog(FormatDateTime("dd.mm.yyyy", host_.Now()));
  WriteLog("Утилита "_cp + host::ExtractFileName(exe) + " " + host_.FileVersion(exe));
  WriteLog("Команда запуска: "_cp + host_.CommandLine());

  host::NamedMutex mutex = host_.CreateNamedMutex(kMutexName);
  MutexHandle = std::move(mutex.handle);
  if (!MutexHandle || mutex.already_existed) {
    throw Exception("Мьютекс KorvelStarted занят другим процессом"_cp);
  }
}

// Steps 7 to 14: configuration, installed version and pharmacy identity.
void TdmKorvel::Initialise() {
  WriteLog("Инициализация ..."_cp);
  ReadConfig();
  // Step 8: a client library loaded at step 2 stays this process's, and
  // one put beside the executable now takes effect from the next run; when
  // none loaded, the one put here serves this run already.
  RefreshFb3ClientFiles(ExeDir, "Внимание! Файлы FB3 не были скопированы в каталог утилиты Korvel."_cp);
  WriteLog("БД "_cp + DbName);
  WriteLog("Рабочий каталог "_cp + DistribDir);
  CurVersion = modules::CurrentVersion(host_, DistribDir, true);
  OldVersion = CurVersion;
  if (OldVersion > 1520) Classic = false;
  StopPromoServices();
  if (!PosMode) CreateDbService();
  ReadDbParams();
  WriteLog("Инициализация - OK"_cp);
  RequestPending = true;
}

void TdmKorvel::CreateDbService() {
  DbService = std::make_unique<dbservice::TDbService>(host_, FbClient);
  DbService->SetDatabase(DbName);
  DbService->OnMessage = [this](const std::string& message) { WriteLog(message); };
  DbService->ServiceName = ServerServiceName();
  // A missing live database file stops the run here: "БД находится в
  // нерабочем состоянии!".
  DbService->CheckDatabase();
}

RunMode TdmKorvel::ChooseMode() {
  if (host_.FindSwitch("Request") > 0) return RunMode::kRequest;
  if (PosMode) return RunMode::kPos;
  if (host_.FindSwitch("Scripts") > 0) return RunMode::kScripts;
  return RunMode::kFull;
}

// Step 15 on: the mode's work. debug counts only in the full mode.
void TdmKorvel::RunChosenMode() {
  switch (ChooseMode()) {
    case RunMode::kRequest:
      // An unsent packet in the outbox stays as it is.
      WriteRequestPacket(false, false);
      break;
    case RunMode::kPos: {
      // The package is applied to the working directory and stays in the
      // inbox; the next run refuses it (its version no longer matches) and
      // removes it.
      if (!FindUpdatePackage().empty()) UpdateWorkDir();
      RunPrivateUpdates();
      WriteRequestPacket(false, true);
      break;
    }
    case RunMode::kScripts:
      // No packet in this mode, not even after an error.
      RequestPending = false;
      RunNumberedScripts(TmpDir);
      break;
    case RunMode::kFull:
      RunFullMode();
      break;
  }
  WriteLog("Завершение - OK"_cp);
}

// Steps 16 to 20 in their fixed order: the package's update steps, the
// private updates and scripts, the packet, the launcher service and the
// pricing procedure.
void TdmKorvel::RunFullMode() {
  // Step 16: the package, or with /debug the next version without one.
  std::string package;
  const bool debug = host_.FindSwitch("debug") > 0;
  if (debug) {
    UpdateServer = true;
    NewVersion = CurVersion + 1;
  } else {
    package = FindUpdatePackage();
  }
  // Step 17. A failure ends the run here and leaves the package in the
  // inbox: the next run applies it again once the cause is gone.
  if (debug || !package.empty()) {
    UpdateOwnExecutable();
    if (UpdateServer) UpdateServerModules();
    MigrateToFb3();
    RunNumberedScripts(TmpDir);
    UpdateWorkDir();
    if (!package.empty()) {
      try {
        host_.DeleteFile(InDir + package);
      } catch (const Exception&) {
        // A package that cannot be deleted is refused by the next run's
        // search (its version no longer matches) and cleared then.
      }
    }
  }
  RunPrivateUpdates();
  RunPrivateScripts();
  WriteRequestPacket(false, true);
  CheckLauncherService();
  UpdatePriceProc();
}

void TdmKorvel::HandleRunError(const char* type_name, const std::string& message) {
  // The failure may be the log itself: the packet is written all the same,
  // carrying the lines the file did not take.
  log_failures_quiet_ = true;
  if (!message.empty()) WriteLog("Ошибка "_cp + type_name + ":\r\n" + message);
  // After initialisation the office learns of the failure from a packet
  // with the run's log; a failure to write it is only logged.
  if (RequestPending) {
    try {
      WriteRequestPacket(true, true);
    } catch (const Exception& e) {
      WriteLog(e.Message());
    } catch (const std::exception& e) {
      WriteLog(e.what());
    }
  }
}

// The closing actions run once, after every mode and after an error.
void TdmKorvel::CloseRun() {
  // Outside both error traps: a failure here is logged where the log still
  // works, and the lock is released in any case.
  log_failures_quiet_ = true;
  try {
    StartPromoServices();
  } catch (const std::exception& e) {
    try {
      WriteLog(e.what());
    } catch (const std::exception&) {
      // The run log itself is what failed.
    }
  }
  MutexHandle.reset();
}

}  // namespace korvel::run
