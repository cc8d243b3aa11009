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
#include "host/forwarding_host.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "packages/launcher_service.h"
#include "packages/request_packet.h"
#include "packages/signature.h"
#include "run/korvel_data.h"
#include "tools/tool_command.h"
#include "xml/xml_node.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;

// The utility's file name beside which the doctor looks.
constexpr const char* kUtilityName = host::kWindows ? "Korvel.exe" : "Korvel";
constexpr std::int64_t kMiB = 1048576;
constexpr std::size_t kLogLinesShown = 12;

struct DoctorArgs {
  std::string dir;  // the utility's directory, with separator
  std::string ini;  // as /INI takes it; empty for Korvel.ini
  bool repair = false;
};

// The host the utility's code reads the installation through: the
// utility's executable path and switches, and no write of any kind, so
// that a diagnosis leaves everything as it found it.
class ReadOnlyHost : public host::ForwardingHost {
 public:
  ReadOnlyHost(host::Host& target, std::string exe, std::string ini)
      : ForwardingHost(target), exe_(std::move(exe)), ini_(std::move(ini)) {}

  std::string ExecutablePath() override { return exe_; }
  std::vector<std::string> Arguments() override {
    if (ini_.empty()) return {exe_};
    return {exe_, "/INI", ini_};
  }
  std::string CommandLine() override { return exe_; }
  // The utility makes TMP when it is missing; the doctor only says so.
  void CreateDirectory(const std::string&) override {}
  void CopyFile(const std::string&, const std::string& to) override { Refuse(to); }
  void MoveFile(const std::string& from, const std::string&, bool) override { Refuse(from); }
  void DeleteFile(const std::string& path) override { Refuse(path); }
  void RemoveDirectory(const std::string& path) override { Refuse(path); }
  void SetAttributes(const std::string& path, const host::FileAttributes&) override { Refuse(path); }
  void SetFileWriteTime(const std::string& path, TDateTime) override { Refuse(path); }
  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override {
    if (mode != host::OpenMode::kRead) Refuse(path);
    return ForwardingHost::OpenFile(path, mode, share);
  }

 private:
  [[noreturn]] static void Refuse(const std::string& path) {
    throw Exception("doctor: refused to change " + path + " (only --repair changes anything)");
  }
  std::string exe_, ini_;
};

// The findings, a line each, and whether anything needs the
// administrator.
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
  // A message of the utility, each of its lines indented.
  void Message(std::string_view message) {
    std::size_t start = 0;
    while (true) {
      const std::size_t end = message.find("\r\n", start);
      PrintLine(host_, "           " + std::string(message.substr(start, end == std::string_view::npos ? end : end - start)));
      if (end == std::string_view::npos) return;
      start = end + 2;
    }
  }
  int problems() const { return problems_; }
  host::Host& Host() { return host_; }

 private:
  host::Host& host_;
  int problems_ = 0;
};

std::string Megabytes(std::int64_t bytes) { return IntToStr(bytes < 0 ? 0 : bytes / kMiB) + " MB"; }

// The files of the safe swap, as found.
struct SwapFile {
  std::string label, path;
  bool exists = false;
  std::int64_t size = -1;
  TDateTime time = 0;
};

enum class SwapState {
  kHealthy,         // the live file, nothing else of an update
  kLeftovers,       // the live file and a leftover ".new" or ".tmp"
  kMovedAway,       // no live file; ".lst" is the database before the update
  kTmpCopyNewer,    // as kMovedAway, but a newer copy in Tmp blocks recovery
  kBetweenRenames,  // no live file and no ".lst"; ".new" and the complete ".tmp"
  kUnknownCopy,     // no live file and no ".lst"; a ".new" without its twin
  kNoFiles,         // nothing at all
};

struct SwapFiles {
  SwapFile live, lst, tmp, fresh, tmp_dir;
  SwapState state = SwapState::kNoFiles;
};

SwapFile Probe(host::Host& host, const std::string& label, const std::string& path) {
  SwapFile file{label, path};
  file.exists = host.FileExists(path);
  if (file.exists) {
    file.size = host.GetFileSize64(path);
    file.time = host.GetFileDateTime(path);
  }
  return file;
}

SwapFiles ExamineSwap(host::Host& host, const dbservice::TDbService& names) {
  SwapFiles files;
  files.live = Probe(host, "live", names.DbFileName);
  files.lst = Probe(host, ".lst", names.DbLstFileName);
  files.tmp = Probe(host, ".tmp", names.DbTmpFileName);
  files.fresh = Probe(host, ".new", names.DbNewFileName);
  files.tmp_dir = Probe(host, "Tmp copy", names.DbTmpDirFileName);
  if (files.live.exists) {
    files.state = files.fresh.exists || files.tmp.exists ? SwapState::kLeftovers : SwapState::kHealthy;
  } else if (files.lst.exists) {
    // The recovery's own rule: a Tmp copy newer than ".lst" stops it.
    files.state = files.tmp_dir.exists && files.tmp_dir.time > files.lst.time ? SwapState::kTmpCopyNewer
                                                                               : SwapState::kMovedAway;
  } else if (files.fresh.exists && files.tmp.exists && files.fresh.size == files.tmp.size) {
    files.state = SwapState::kBetweenRenames;
  } else if (files.fresh.exists || files.tmp.exists) {
    files.state = SwapState::kUnknownCopy;
  }
  return files;
}

bool Repairable(SwapState state) { return state == SwapState::kMovedAway || state == SwapState::kBetweenRenames; }

void ReportSwap(Findings& out, const SwapFiles& files) {
  for (const SwapFile* file : {&files.live, &files.lst, &files.fresh, &files.tmp, &files.tmp_dir}) {
    std::string label = file->label;
    label.resize(9, ' ');
    PrintLine(out.Host(), "  " + label + file->path + (file->exists ? "  " + IntToStr(file->size) + " bytes, " +
                                                                         FormatDateTime("dd.mm.yyyy hh:nn:ss", file->time)
                                                                   : std::string("  missing")));
  }
  switch (files.state) {
    case SwapState::kHealthy:
      out.Ok(files.lst.exists ? "the live database file; .lst is the database as it was before the last update"
                              : "the live database file; no update has left a copy yet");
      break;
    case SwapState::kLeftovers:
      out.Ok("the live database file is in place");
      out.Note("leftovers of an interrupted or failed update (.new: a changed copy that was not proved; .tmp: a copy "
               "in the making); the next update replaces them, and they may be deleted");
      break;
    case SwapState::kMovedAway:
      out.Problem("no live database file: an update was interrupted after the database was moved to .lst, which is "
                  "the database as it was before the update; every run stops with \"БД находится в нерабочем "
                  "состоянии!\""_cp);
      out.Todo("korvel-tool doctor --repair puts .lst back under the live name with the utility's own recovery");
      break;
    case SwapState::kTmpCopyNewer:
      out.Problem("no live database file, and the copy in Tmp is newer than .lst: the utility's recovery refuses "
                  "(\"Обнаружен более новый файл ... Восстановление невозможно!\")"_cp);
      out.Todo("decide by hand which copy is current: move it to the live name, or move the Tmp copy aside");
      break;
    case SwapState::kBetweenRenames:
      out.Problem("no live database file and no .lst: an update was interrupted between its two renames; .new is "
                  "the database as it was before the update (the scripts had not run yet) and .tmp a complete copy "
                  "of it");
      out.Todo("korvel-tool doctor --repair makes .new the copy before the update (.lst) and puts it back with the "
               "utility's own recovery");
      break;
    case SwapState::kUnknownCopy:
      out.Problem("no live database file and no complete copy from before an update: only .new or .tmp is there, "
                  "and which state it holds cannot be told");
      out.Todo("restore the database from a backup, or check the copy with gfix/gbak before moving it to the live "
               "name by hand");
      break;
    case SwapState::kNoFiles:
      out.Problem("no database file at all, live or copy");
      out.Todo("restore the database from a backup");
      break;
  }
}


std::optional<DoctorArgs> ParseDoctorArgs(host::Host& host, const std::vector<std::string>& args, std::string& error) {
  DoctorArgs parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--repair") {
      parsed.repair = true;
    } else if (args[i] == "--ini" && i + 1 < args.size()) {
      parsed.ini = args[++i];
    } else if (args[i] == "--dir" && i + 1 < args.size()) {
      parsed.dir = args[++i];
    } else {
      error = "unexpected argument " + args[i];
      return std::nullopt;
    }
  }
  // Beside the utility: the toolkit's own directory unless told otherwise.
  if (parsed.dir.empty()) parsed.dir = host::ExtractFilePath(host.ExecutablePath());
  parsed.dir = host::IncludePathDelimiter(parsed.dir);
  return parsed;
}

// The Firebird server's service as the run chooses it.
std::string ServerServiceName(run::TdmKorvel& dm) {
  if (dm.IsLegacyServer()) return dbservice::kLegacyServiceName;
  if (dm.Classic) return dbservice::kClassicServiceName;
  return dbservice::kPelkoraServiceName;
}

void ReportService(Findings& out, run::TdmKorvel& dm, const std::string& name, const std::string& role,
                   bool needed) {
  const std::string image = dm.Host().GetServiceImagePath(name);
  if (image.empty()) {
    if (needed) {
      out.Problem(role + " " + name + ": not installed");
      out.Todo("register the database server under this name (README: \"The Firebird server as a service\")");
    } else {
      out.Note(role + " " + name + ": not installed");
    }
    return;
  }
  const bool running = dm.IsServiceRunning(name);
  out.Ok(role + " " + name + ": " + (running ? "running" : "stopped") + ", program " + image);
}

// The newest run log beside the utility and its last lines.
void ReportLastRun(Findings& out, host::Host& host, const std::string& dir) {
  const std::string log_dir = dir + host::ExtractFileNameWithoutExt(kUtilityName) + "Log" + host::kPathDelim;
  std::vector<std::string> logs;
  host.ListFiles(log_dir, "*.log", logs);
  if (logs.empty()) {
    out.Note("no run log in " + log_dir + ": the utility has not run from here yet");
    return;
  }
  const std::string newest = log_dir + *std::max_element(logs.begin(), logs.end());
  const std::string text = host.ReadFileText(newest);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  // The last run begins after the last empty line.
  std::size_t first = lines.size();
  while (first > 0 && !lines[first - 1].empty()) --first;
  const std::size_t shown_from = std::max(first, lines.size() > kLogLinesShown ? lines.size() - kLogLinesShown : 0);
  out.Ok("run log " + newest + ", the last run's last " + IntToStr(static_cast<std::int64_t>(lines.size() - shown_from)) +
         " lines:");
  for (std::size_t i = shown_from; i < lines.size(); ++i) PrintLine(host, "           | " + lines[i]);
  bool ended_well = false, failed = false;
  for (std::size_t i = first; i < lines.size(); ++i) {
    ended_well = ended_well || lines[i].ends_with("Завершение - OK"_cp);
    failed = failed || lines[i].find("\tОшибка "_cp) != std::string::npos;
  }
  if (failed) {
    out.Problem("the last run failed: its error is in the lines above");
  } else if (!ended_well) {
    out.Note("the last run did not log \"Завершение - OK\": it ended early, or it still runs"_cp);
  }
}

void ReportPacket(Findings& out, host::Host& host, const std::string& out_dir, const std::string& name) {
  std::vector<std::string> packets;
  if (!name.empty() && host.FileExists(out_dir + name)) {
    packets.push_back(name);
  } else {
    host.ListFiles(out_dir, "*.UPR", packets);
  }
  if (packets.empty()) {
    out.Note("no request packet in " + out_dir + " (sent already, or no run got past initialisation)");
    return;
  }
  for (const std::string& packet : packets) {
    try {
      const std::unique_ptr<xml::TXMLNode> doc = xml::TXMLNode::LoadFromFile(host, out_dir + packet);
      const std::string status = doc->GetValueAt("STATUS");
      const std::string text = "request packet " + out_dir + packet + ": STATUS " + status + ", VERNO " +
                               doc->GetAttribute("VERNO") + ", DBVERNO " + doc->GetAttribute("DBVERNO") + ", " +
                               doc->GetAttribute("DATE");
      if (status == "OK") {
        out.Ok(text);
      } else {
        out.Problem(text + ": the office has the run's log in it");
      }
    } catch (const Exception& e) {
      out.Problem("request packet " + out_dir + packet + " cannot be read:");
      out.Message(e.Message());
    }
  }
}

// Undoes an interrupted swap with the utility's own recovery, on the
// system's host; every message of it is shown.
bool Repair(Findings& out, host::Host& host, fb::ClientLibrary& client, const std::string& db_name,
            const std::string& service_name, SwapState state) {
  dbservice::TDbService service(host, client);
  service.OnMessage = [&host](const std::string& message) { PrintLine(host, "           " + message); };
  try {
    service.SetDatabase(db_name);
    service.ServiceName = service_name;
    // The shadow the last start-of-run check found, which the recovery
    // puts back with the database.
    if (host.FileExists(service.ShadowLinkFileName)) {
      const std::string link = host.ReadFileText(service.ShadowLinkFileName);
      service.SetShadowFile(Trim(link.substr(0, link.find("\r\n"))));
    }
    if (state == SwapState::kBetweenRenames) service.MoveDbFile(service.DbNewFileName, service.DbLstFileName);
    service.RecoverFiles();
    service.StartServer();
    service.BringOnline();
  } catch (const Exception& e) {
    out.Problem("the repair failed:");
    out.Message(e.Message());
    return false;
  }
  out.Ok("repaired: the database is back under its live name as it was before the interrupted update");
  return true;
}

int RunDoctor(ToolContext& context) {
  host::Host& system = context.host;
  std::string usage_error;
  const std::optional<DoctorArgs> args = ParseDoctorArgs(system, context.args, usage_error);
  if (!args) {
    PrintError("doctor: " + usage_error);
    PrintError("Usage: korvel-tool doctor [--dir DIR] [--ini FILE] [--repair]");
    return 2;
  }
  Findings out(system);
  ReadOnlyHost host(system, args->dir + kUtilityName, args->ini);
  run::TdmKorvel dm(host);
  dm.ExeDir = args->dir;

  out.Section("configuration");
  const std::string ini = args->ini.empty() ? std::string("Korvel.ini") : args->ini;
  try {
    dm.ReadConfig();
  } catch (const Exception& e) {
    out.Problem("the configuration " + args->dir + ini + " stops every run:");
    out.Message(e.Message());
    out.Todo("mend " + ini + " beside the utility (README: \"Running it\"), then run the doctor again");
    PrintLine(system, "doctor: " + IntToStr(out.problems()) + " problem(s)");
    return 1;
  }
  out.Ok(args->dir + ini + ": DB=" + dm.DbName + ", Modules=" + dm.Modules + ", Classic=" + (dm.Classic ? "1" : "0"));

  out.Section("directories, version and key");
  for (const auto& [label, dir] : {std::pair<std::string, std::string>{"Distrib", dm.DistribDir},
                                   {"Apteka", dm.AptekaDir}, {"TMP", dm.TmpDir}, {"inbox", dm.InDir},
                                   {"outbox", dm.OutDir}}) {
    if (!system.DirectoryExists(dir)) {
      out.Note(label + " " + dir + " does not exist: the next run makes it");
    } else {
      out.Ok(label + " " + dir);
    }
  }
  try {
    dm.CurVersion = modules::CurrentVersion(host, dm.DistribDir, true);
    out.Ok("installed version " + IntToStr(dm.CurVersion) + " (" + modules::VersionMarkerName(dm.CurVersion) + ")");
    // The run's rule: after 1520 the server is no Classic one.
    if (dm.CurVersion > 1520) dm.Classic = false;
  } catch (const Exception& e) {
    out.Problem("no version marker: every run stops at initialisation with");
    out.Message(e.Message());
    out.Todo("put the marker of the installed version (NNNNNN.ver, an empty file) into " + dm.DistribDir);
  }
  std::string key_error;
  packages::LoadOfficePublicKey(host, args->dir + "Korvel.pub", &key_error);
  if (key_error.empty()) {
    out.Ok("office key " + args->dir + "Korvel.pub");
  } else {
    out.Problem("office key: " + key_error);
    out.Todo("install the office's public key as Korvel.pub beside the utility; until then every package is refused");
  }

  out.Section("database");
  const std::string service_name = ServerServiceName(dm);
  dbservice::TDbService names(host, dm.FbClient);
  bool named = false;
  try {
    names.SetDatabase(dm.DbName);
    named = true;
  } catch (const Exception& e) {
    out.Problem("the database name:");
    out.Message(e.Message());
    out.Todo("write DB as server/port:path in " + ini);
  }
  std::int32_t pred = 0, node = 0;
  // The database and the repair's services calls need the client; a missing
  // one shows when the database is opened.
  dm.FbClient.Load();
  if (named && !system.FileExists(names.DbFileName)) {
    out.Note("not read: the live file " + names.DbFileName + " is missing (see the database files below)");
  } else if (named) {
    try {
      dm.ReadDbParams();
      pred = dm.PredId;
      node = dm.NodeId;
      out.Ok(dm.DbName + ": chain " + IntToStr(dm.PredId) + ", pharmacy " + IntToStr(dm.NodeId) + ", schema " +
             IntToStr(dm.SysVerNo));
      try {
        const std::string shadow = names.QueryShadowFile();
        if (shadow.empty()) {
          out.Ok("no shadow file");
        } else {
          out.Ok("shadow file " + shadow + (system.FileExists(shadow) ? "" : " (not on this machine's disk)"));
        }
      } catch (const Exception& e) {
        out.Problem("the database's files:");
        out.Message(e.Message());
      }
    } catch (const Exception& e) {
      out.Problem("the database cannot be read:");
      out.Message(e.Message());
      out.Todo(e.Message().find("shutdown") != std::string::npos
                   ? std::string("it is shut down; the next run brings it online when its file is in place")
                   : "check that the server " + service_name + " runs and answers");
    }
  }
  if (named) {
    out.Section("database files");
    const SwapFiles files = ExamineSwap(system, names);
    ReportSwap(out, files);
    if (args->repair) {
      out.Section("repair");
      if (Repairable(files.state)) {
        if (Repair(out, system, dm.FbClient, dm.DbName, service_name, files.state)) {
          try {
            dm.ReadDbParams();
            out.Ok("the database answers (schema " + IntToStr(dm.SysVerNo) +
                   "); the next run's start-of-run check passes");
          } catch (const Exception& e) {
            out.Problem("the database does not answer yet:");
            out.Message(e.Message());
            out.Todo("the next run's start-of-run check starts the server and brings the database online");
          }
        }
      } else {
        out.Note("nothing to repair here: the doctor changed nothing");
      }
    }

    out.Section("disk space");
    const std::string db_dir = host::ExtractFilePath(names.DbFileName);
    const std::int64_t size = std::max({files.live.size, files.lst.size, files.fresh.size, std::int64_t{0}});
    const std::int64_t free = system.GetDiskFreeBytes(db_dir);
    if (free >= 0 && free < size) {
      out.Problem("beside the database (" + db_dir + "): " + Megabytes(free) + " free; an update copies the " +
                  Megabytes(size) + " database there and cannot");
    } else {
      out.Ok("beside the database (" + db_dir + "): " + Megabytes(free) + " free; the database takes " +
             Megabytes(size));
    }
  } else {
    out.Section("disk space");
  }
  if (system.DirectoryExists(dm.TmpDir)) out.Ok("TMP (" + dm.TmpDir + "): " + Megabytes(system.GetDiskFreeBytes(dm.TmpDir)) + " free");

  out.Section("services");
  ReportService(out, dm, service_name, "database server", true);
  ReportService(out, dm, "OrvPromos", "promotion service", false);
  ReportService(out, dm, "OrvPromGuard", "promotion guard", false);
  ReportService(out, dm, packages::kLauncherServiceName, "launcher service", false);

  out.Section("last run");
  ReportLastRun(out, system, args->dir);
  ReportPacket(out, system, dm.OutDir, pred > 0 || node > 0 ? packages::RequestPacketFileName(pred, node) : "");

  PrintLine(system, out.problems() == 0 ? std::string("doctor: no problem found")
                                        : "doctor: " + IntToStr(out.problems()) + " problem(s)");
  return out.problems() == 0 ? 0 : 1;
}

const ToolCommandRegistration kDoctor(ToolCommand{
    "doctor",
    "doctor [--dir DIR] [--ini FILE] [--repair]",
    "explain an installation of the utility, and undo an interrupted update",
    "Reads the installation of the utility in DIR (default: the toolkit's own\n"
    "directory, for a korvel-tool placed beside the utility) exactly as the\n"
    "utility does, with FILE as /INI takes it, and reports a line each, with what\n"
    "to do about a problem:\n"
    "  the configuration, the directories, the installed version, the office key;\n"
    "  the database: reachable, its chain, pharmacy and schema version, its shadow;\n"
    "  the database files of the safe swap (the live file, .lst, .new, .tmp and the\n"
    "    copy in Tmp, their sizes and times) and what state they are in;\n"
    "  the disk space beside the database and in TMP;\n"
    "  the services: the Firebird server, the promotion services, the launcher;\n"
    "  the last run: its last log lines and the request packet in the outbox.\n"
    "Nothing is changed. With --repair, when the live database file is missing\n"
    "and a complete copy from before the interrupted update is there, it is put\n"
    "back with the utility's own recovery (the server stopped, the copy moved back\n"
    "and the shadow's with it, the server started and the database online); any\n"
    "other state is left as it is.\n"
    "Exit code: 0 no problem found, 1 problems found (or the repair failed),\n"
    "2 a usage error.",
    RunDoctor,
});

}  // namespace
}  // namespace korvel::tool
