// korvel-tool doctor: what an administrator called to a server that stopped
// updating needs to know, read by the utility's own code: its
// configuration, directories, version and key, the database and its files
// after an interrupted update, the services, the disk space and the last
// run. It changes nothing, except that --repair undoes an interrupted safe
// swap with the utility's own recovery.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "dbservice/db_service.h"
#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "packages/launcher_service.h"
#include "packages/request_packet.h"
#include "packages/signature.h"
#include "run/korvel_data.h"
#include "tools/doctor_findings.h"
#include "tools/doctor_swap.h"
#include "tools/read_only_host.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"
#include "xml/xml_node.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;

constexpr const char* kDefaultIni = "Korvel.ini";
constexpr std::int64_t kMiB = 1048576;
constexpr const char* kUsage = "doctor [--dir DIR] [--ini FILE] [--pos] [--repair [--restore-previous]]";
// A workstation's database, beside the utility, as its /POS mode takes it.
constexpr const char* kWorkstationDatabase = "DB\\orvpos.gdb";
// The Debian package's korvel-tool and the installation directory it
// makes (POSIX only).
constexpr const char* kPackageToolDir = "/usr/bin/";
constexpr const char* kPackageInstallDir = "/var/lib/korvel/";

struct DoctorArgs {
  std::string dir;  // the utility's directory, full, with separator
  std::string ini;  // as /INI takes it; empty for Korvel.ini
  bool pos = false;  // a workstation, run with /POS
  bool repair = false;
  // --repair puts .lst back also where the run log does not show an update
  // cut off: the live file may have been lost after a finished one.
  bool restore_previous = false;
};

std::string Megabytes(std::int64_t bytes) { return IntToStr(bytes < 0 ? 0 : bytes / kMiB) + " MB"; }

DoctorArgs ParseDoctorArgs(host::Host& host, const std::vector<std::string>& args) {
  DoctorArgs parsed;
  ToolOptions()
      .Flag("--repair", parsed.repair)
      .Flag("--pos", parsed.pos)
      .Flag("--restore-previous", parsed.restore_previous)
      .Value("--ini", parsed.ini)
      .Value("--dir", parsed.dir)
      .Parse(args, 0, "only options");
  if (parsed.restore_previous && !parsed.repair) throw UsageError("--restore-previous goes with --repair");
  // Beside the utility: the toolkit's own directory unless told otherwise;
  // the package's installation directory for the packaged tool.
  if (parsed.dir.empty()) {
    parsed.dir = host::ExtractFilePath(host.ExecutablePath());
    if (!host::kWindows && parsed.dir == kPackageToolDir) parsed.dir = kPackageInstallDir;
  } else {
    parsed.dir = host.ExpandUNCFileName(parsed.dir);
  }
  parsed.dir = host::IncludePathDelimiter(parsed.dir);
  if (!host.DirectoryExists(parsed.dir)) throw UsageError("no directory " + parsed.dir);
  return parsed;
}

// What to do about a configuration that stops every run: the message
// names the cause, and the cause decides.
std::string ConfigurationAdvice(const std::string& message, const std::string& ini, const DoctorArgs& args,
                                bool workstation) {
  const std::string readme = " (README: \"Installing and scheduling\"), then run the doctor again";
  if (message.starts_with("Не найден файл "_cp)) return "put the configuration " + ini + " into " + args.dir + readme;
  if (message.starts_with("Не найден параметр DB "_cp) && !workstation) {
    return "write DB=server/port:path under [Path] in " + ini + "; a workstation, whose database is " +
           kWorkstationDatabase + " beside the utility, runs with /POS (the doctor: --pos)";
  }
  if (message.starts_with("Не найден параметр "_cp)) {
    const std::string key = message.substr(std::string("Не найден параметр "_cp).size());
    return "write the key " + key.substr(0, key.find(' ')) + " under [Path] in " + ini + readme;
  }
  if (message.starts_with("Каталог "_cp)) {
    return "create the missing directory: an installer makes Distrib (with the marker of the installed version, "
           "an empty NNNNNN.ver), Apteka, the inbox and the outbox; only TMP is made by the first run" +
           readme;
  }
  if (message.starts_with("Ошибка создания каталога "_cp)) {
    return "the run cannot make TMP: check that its parent exists and that the utility's account may write "
           "there";
  }
  return "mend " + ini + " in " + args.dir + readme;
}

// [configuration] and [installation]: false when the configuration stops
// every run, and nothing that depends on it can be told.
bool ReportConfiguration(Findings& out, run::TdmKorvel& dm, const DoctorArgs& args) {
  host::Host& host = dm.Host();
  out.Section("configuration");
  const std::string exe = args.dir + kUtilityName;
  if (host.FileExists(exe)) {
    out.Ok("the utility " + exe);
  } else {
    out.Note("no " + std::string(kUtilityName) + " in " + args.dir + ": is this the utility's directory?");
    out.Todo("run the doctor beside the utility, or name its directory with --dir");
  }
  const std::string ini = args.ini.empty() ? std::string(kDefaultIni) : args.ini;
  try {
    dm.ReadConfig();
  } catch (const Exception& e) {
    out.Problem("the configuration " + ini + " stops every run before its initialisation ends:");
    out.Message(e.Message());
    out.Todo(ConfigurationAdvice(e.Message(), ini, args, dm.PosMode));
    return false;
  }
  if (dm.PosMode) {
    out.Ok(args.dir + ini + ": a workstation (/POS): its database " + dm.DbName + ", Modules=" + dm.Modules);
  } else {
    out.Ok(args.dir + ini + ": DB=" + dm.DbName + ", Modules=" + dm.Modules + ", Classic=" + (dm.Classic ? "1" : "0"));
  }

  out.Section("installation");
  for (const auto& [label, dir] : {std::pair<std::string, std::string>{"Distrib", dm.DistribDir},
                                   {"Apteka", dm.AptekaDir}, {"inbox", dm.InDir}, {"outbox", dm.OutDir}}) {
    out.Ok(label + " " + dir);
  }
  if (host.DirectoryExists(dm.TmpDir)) {
    out.Ok("TMP " + dm.TmpDir);
  } else {
    out.Note("TMP " + dm.TmpDir + " does not exist: the next run makes it");
  }
  try {
    dm.CurVersion = modules::CurrentVersion(host, dm.DistribDir, true);
    // The run's rule: from 1521 on the server is no Classic one.
    const bool classic_dropped = dm.Classic && dm.CurVersion > 1520;
    if (classic_dropped) dm.Classic = false;
    out.Ok("installed version " + IntToStr(dm.CurVersion) + " (" + modules::VersionMarkerName(dm.CurVersion) +
           (classic_dropped ? "; Classic=1 counts only up to 1520" : "") + ")");
  } catch (const Exception& e) {
    out.Problem("no version marker: every run stops during its initialisation with");
    out.Message(e.Message());
    out.Todo("put the marker of the installed version (NNNNNN.ver, an empty file) into " + dm.DistribDir);
  }
  std::string key_error;
  packages::LoadOfficePublicKey(host, args.dir + packages::kOfficeKeyFileName, &key_error);
  if (key_error.empty()) {
    out.Ok("office key " + args.dir + packages::kOfficeKeyFileName);
  } else {
    out.Problem("office key: " + key_error);
    out.Todo("install the office's public key as Korvel.pub beside the utility; until then every package is refused");
  }
  return true;
}

// The pharmacy as the database tells it; false when it cannot be read.
bool ReadIdentity(Findings& out, run::TdmKorvel& dm, dbservice::TDbService& names, const SwapFiles& files,
                  const std::string& service_name) {
  try {
    dm.ReadDbParams();
  } catch (const Exception& e) {
    out.Problem("the database " + dm.DbName + " cannot be read:");
    out.Message(e.Message());
    if (!files.live.exists) {
      out.Todo("its live file is missing: see [database files]");
    } else if (e.Message().find("shutdown") != std::string::npos) {
      out.Todo("it is shut down, as an update leaves it when cut off; the next run's start-of-run check brings it "
               "online");
    } else {
      out.Todo("check that the server's service " + service_name + " runs and that DB names the server and file");
    }
    return false;
  }
  out.Ok(dm.DbName + ": chain " + IntToStr(dm.PredId) + ", pharmacy " + IntToStr(dm.NodeId) + ", schema version " +
         IntToStr(dm.SysVerNo));
  try {
    const std::string shadow = names.QueryShadowFile();
    if (shadow.empty()) {
      out.Ok("no shadow file");
    } else {
      out.Ok("shadow file " + shadow + (dm.Host().FileExists(shadow) ? "" : " (not found on this machine's disk)"));
    }
  } catch (const Exception& e) {
    out.Problem("the database's files stop every run at its start-of-run check:");
    out.Message(e.Message());
    out.Todo("the utility takes one database file and at most one shadow: move the secondary files into the "
             "database (gbak backup and restore) or drop the extra shadows");
    return false;
  }
  return true;
}

std::string FileLine(const SwapFile& file) {
  std::string label = file.label;
  label.resize(std::max<std::size_t>(label.size() + 1, 12), ' ');
  return "  " + label + file.path +
         (file.exists ? "  " + IntToStr(file.size) + " bytes, " + FormatDateTime("dd.mm.yyyy hh:nn:ss", file.time)
                      : std::string("  missing"));
}

void ReportSwap(Findings& out, const SwapFiles& files, const std::optional<SwapEvidence>& evidence) {
  for (const SwapFile* file : {&files.live, &files.lst, &files.fresh, &files.tmp, &files.tmp_dir}) {
    out.Plain(FileLine(*file));
  }
  if (!files.shadow.empty()) {
    out.Plain(FileLine(files.shadow_file));
    out.Plain(FileLine(files.shadow_lst));
  }
  const StateAdvice advice = Explain(files);
  const std::string text = StateName(files.state) + ": " + advice.meaning;
  if (advice.problem) {
    out.Problem(text);
  } else if (advice.todo.empty()) {
    out.Ok(text);
  } else {
    out.Note(text);
  }
  if (evidence) {
    out.Note(ExplainEvidence(files, *evidence));
    if (evidence->record != SwapRecord::kCutOff) {
      out.Todo("look for the live file first (a backup, an antivirus quarantine); to put .lst back all the same: "
               "korvel-tool doctor --repair --restore-previous");
    } else if (!advice.todo.empty()) {
      out.Todo(advice.todo);
    }
  } else if (!advice.todo.empty()) {
    out.Todo(advice.todo);
  }
  if (files.live.exists && files.tmp_dir.exists) {
    out.Note("a copy in Tmp, left by another tool: the next start-of-run check moves it aside to " +
             files.tmp_dir.path + ".old");
  }
}

// Undoes the interrupted swap with the utility's recovery on the system's
// host (the services are really stopped and started), every message of it
// shown. True when the database is back and reads.
bool Repair(Findings& out, host::Host& system, run::TdmKorvel& dm, dbservice::TDbService& names,
            const std::string& service_name, SwapFiles& files) {
  dbservice::TDbService service(system, dm.FbClient);
  service.OnMessage = [&out](const std::string& message) { out.Message(message, "| "); };
  try {
    service.SetDatabase(dm.DbName);
    service.ServiceName = service_name;
    service.SetShadowFile(files.shadow);
    UndoInterruptedSwap(service, files);
  } catch (const Exception& e) {
    out.Problem("the repair stopped:");
    out.Message(e.Message());
    files = ExamineSwap(system, names);
    out.Todo("the files are now: " + StateName(files.state) + "; run the doctor again for what that means");
    return false;
  }
  files = ExamineSwap(system, names);
  out.Ok("repaired (" + StateName(files.state) + "): the database is back under its live name as it was before "
         "the interrupted update, the server runs and the database is online");
  if (!ReadIdentity(out, dm, names, files, service_name)) {
    out.Todo("the next run's start-of-run check will not pass");
    return false;
  }
  out.Ok("the next run's start-of-run check will pass");
  return true;
}

// Beside the database an update needs room for the copy it keeps; the
// previous ".lst" and ".tmp" are replaced on the way and give theirs back.
void ReportDiskSpace(Findings& out, host::Host& host, const SwapFiles& files, const std::string& tmp_dir) {
  const std::string db_dir = host::ExtractFilePath(files.live.path);
  const std::int64_t free = host.GetDiskFreeBytes(db_dir);
  const std::int64_t size = std::max({files.live.size, files.lst.size, files.fresh.size});
  const std::int64_t reusable = files.live.exists ? files.lst.size + files.tmp.size : 0;
  if (free + reusable < size) {
    out.Problem("beside the database (" + db_dir + "): " + Megabytes(free) + " free; the next update's copy of the " +
                Megabytes(size) + " database does not fit, and the update fails");
    out.Todo("free " + Megabytes(size - free - reusable + kMiB - 1) + " or more on that disk");
  } else {
    out.Ok("beside the database (" + db_dir + "): " + Megabytes(free) + " free; the database takes " +
           Megabytes(size));
  }
  if (host.DirectoryExists(tmp_dir)) out.Ok("TMP (" + tmp_dir + "): " + Megabytes(host.GetDiskFreeBytes(tmp_dir)) + " free");
}

// [database], [database files], [repair] and [disk space]. Returns whether
// the pharmacy's identity was read.
bool ReportDatabase(Findings& out, run::TdmKorvel& dm, host::Host& system, const std::string& service_name,
                    const DoctorArgs& args) {
  out.Section("database");
  dbservice::TDbService names(dm.Host(), dm.FbClient);
  try {
    names.SetDatabase(dm.DbName);
  } catch (const Exception& e) {
    out.Problem("the database name stops every run during its initialisation:");
    out.Message(e.Message());
    out.Todo("write DB as server/port:path in the configuration");
    return false;
  }
  if (!dm.FbClient.Load()) {
    out.Problem("the Firebird client library " + dm.FbClient.Name() + " cannot be loaded");
    out.Todo("install the Firebird client beside the utility or on the system's library path");
  }
  const int problems_before = out.problems();
  SwapFiles files = ExamineSwap(system, names);
  bool identified = dm.FbClient.Loaded() && ReadIdentity(out, dm, names, files, service_name);

  out.Section("database files");
  // ".lst" alone: an update cut off, or a live file lost after one.
  std::optional<SwapEvidence> evidence;
  if (files.state == SwapState::kDown) evidence = ReadSwapEvidence(system, LogDir(args.dir), files);
  ReportSwap(out, files, evidence);

  if (args.repair) {
    out.Section("repair");
    if (!IsRepairable(files.state)) {
      out.Note(StateName(files.state) + ": nothing --repair undoes; the doctor changed nothing");
    } else if (evidence && evidence->record != SwapRecord::kCutOff && !args.restore_previous) {
      out.Note(StateName(files.state) + ": not shown to be an update cut off, and putting .lst back may lose much; "
               "--repair leaves it without --restore-previous; the doctor changed nothing");
    } else if (Repair(out, system, dm, names, service_name, files)) {
      identified = true;
      out.Mended(out.problems() - problems_before);
    }
  }

  out.Section("disk space");
  ReportDiskSpace(out, system, files, dm.TmpDir);
  return identified;
}

// A workstation's [database]: its local file, read as a /POS run reads it;
// no database server, safe swap or repair applies. Returns whether the
// pharmacy's identity was read.
bool ReportWorkstationDatabase(Findings& out, run::TdmKorvel& dm, bool repair) {
  out.Section("database");
  host::Host& host = dm.Host();
  if (repair) out.Note("--repair does nothing on a workstation: its run touches no database server or safe swap");
  if (!host.FileExists(dm.DbName)) {
    out.Problem("the workstation's database " + dm.DbName + " is missing: every /POS run stops during its "
                "initialisation");
    out.Todo(std::string("put the workstation's database at ") + kWorkstationDatabase + " beside the utility");
    return false;
  }
  if (!dm.FbClient.Load()) {
    out.Problem("the Firebird client library " + dm.FbClient.Name() + " cannot be loaded");
    out.Todo("install the Firebird client beside the utility or on the system's library path");
    return false;
  }
  try {
    dm.ReadDbParams();
  } catch (const Exception& e) {
    out.Problem("the workstation's database " + dm.DbName + " cannot be read:");
    out.Message(e.Message());
    out.Todo("the client opens it as a local file: check that it is a database of this Firebird version and "
             "that the utility's account may open it");
    return false;
  }
  out.Ok(dm.DbName + ": chain " + IntToStr(dm.PredId) + ", pharmacy " + IntToStr(dm.NodeId) + ", schema version " +
         IntToStr(dm.SysVerNo));
  if (host.DirectoryExists(dm.TmpDir)) {
    out.Ok("TMP (" + dm.TmpDir + "): " + Megabytes(host.GetDiskFreeBytes(dm.TmpDir)) + " free");
  }
  return true;
}

// A workstation when told so, or when the configuration names no database
// and the workstation's own lies beside the utility.
bool IsWorkstation(host::Host& host, const DoctorArgs& args) {
  if (args.pos) return true;
  const std::string ini = args.dir + (args.ini.empty() ? std::string(kDefaultIni) : args.ini);
  return host.FileExists(ini) && Trim(host.ReadIniString(ini, "Path", "DB", "")).empty() &&
         host.FileExists(host::JoinPath(args.dir, kWorkstationDatabase));
}

int RunDoctor(ToolContext& context) {
  host::Host& system = context.host;
  const DoctorArgs args = ParseDoctorArgs(system, context.args);
  // As the utility does first: relative directories of the configuration
  // are taken from the utility's directory.
  system.SetCurrentDirectory(args.dir);
  Findings out(system);
  ReadOnlyHost host(system, args.dir + kUtilityName, args.ini);
  run::TdmKorvel dm(host);
  dm.ExeDir = args.dir;
  dm.PosMode = IsWorkstation(system, args);

  const bool configured = ReportConfiguration(out, dm, args);
  const std::string service_name = dm.ServerServiceName();
  bool identified = false;
  if (dm.PosMode) {
    identified = configured && ReportWorkstationDatabase(out, dm, args.repair);
  } else {
    identified = configured && ReportDatabase(out, dm, system, service_name, args);
  }

  out.Section("services");
  // A /POS run stops and starts only the promotion services.
  if (!dm.PosMode) ReportService(out, dm, service_name, ServiceRole::kDatabaseServer);
  ReportService(out, dm, run::kPromoServiceName, ServiceRole::kPromotion);
  ReportService(out, dm, run::kPromoGuardServiceName, ServiceRole::kPromotion);
  if (!dm.PosMode) ReportService(out, dm, packages::kLauncherServiceName, ServiceRole::kLauncher);

  out.Section("last run");
  ReportLastRun(out, system, args.dir);
  if (configured) {
    ReportPacket(out, system, dm.OutDir, identified ? packages::RequestPacketFileName(dm.PredId, dm.NodeId) : "");
  }

  std::string summary = out.problems() == 0 ? std::string("doctor: no problem found")
                                            : "doctor: " + IntToStr(out.problems()) + " problem(s)";
  if (out.mended() > 0) summary += ", " + IntToStr(out.mended()) + " mended by the repair";
  out.Plain(summary);
  return out.problems() == 0 ? 0 : 1;
}

const ToolCommandRegistration kDoctor(ToolCommand{
    "doctor",
    kUsage,
    "explain an installation of the utility, and undo an interrupted update",
    "Reads the installation of the utility in DIR (default: the toolkit's own\n"
    "directory, for a korvel-tool placed beside the utility) exactly as the\n"
    "utility does, with FILE as its /INI takes it (a name in DIR), and reports a\n"
    "line each, with what it means and what to do:\n"
    "  the configuration, the directories, the installed version, the office key;\n"
    "  the database: reachable, its chain, pharmacy and schema version, its shadow;\n"
    "  the database files of the safe swap (the live file, .lst, .new, .tmp and the\n"
    "    copy in Tmp, their sizes and times) and which state of the swap they show;\n"
    "  the disk space beside the database and in TMP;\n"
    "  the services: the Firebird server, the promotion services, the launcher;\n"
    "  the last run: its last log lines and the request packet in the outbox.\n"
    "A workstation (--pos, or a configuration without DB and a DB\\orvpos.gdb\n"
    "beside the utility, as its /POS runs take it) gets what applies to it: the\n"
    "configuration, version and key, its local database, the promotion\n"
    "services, the last run and the packet.\n"
    "Nothing is changed, and no service is started or stopped. With --repair,\n"
    "when the live database file is missing and a whole copy from before the\n"
    "interrupted update is there, it is put back with the utility's own recovery\n"
    "(the server stopped, the copy and the shadow's copy moved back, the server\n"
    "started and the database online); every other state is left as it is.\n"
    "Where only .lst is left, the run log must show the update that made it\n"
    "cut off; when it shows that update finished (the live file was lost\n"
    "later) or cannot tell, --repair also needs --restore-previous.\n"
    "Exit code: 0 no problem (left), 1 problems found (or the repair failed),\n"
    "2 a usage error.",
    RunDoctor,
});

}  // namespace
}  // namespace korvel::tool
