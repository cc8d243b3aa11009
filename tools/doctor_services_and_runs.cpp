// korvel-tool doctor: the sections of the running installation, the
// services and the last run (its log and its request packet).
#include <algorithm>
#include <cstdint>
#include <memory>

#include "host/cp1251.h"
#include "host/text.h"
#include "packages/launcher_service.h"
#include "tools/doctor_findings.h"
#include "xml/xml_node.h"

namespace korvel::tool {

using namespace korvel::literals;

namespace {

constexpr std::size_t kLogLinesShown = 12;

}  // namespace

void ReportService(Findings& out, run::TdmKorvel& dm, const std::string& name, ServiceRole role) {
  host::Host& host = dm.Host();
  const std::string image = host.GetServiceImagePath(name);
  const std::string what = role == ServiceRole::kDatabaseServer ? "database server "
                           : role == ServiceRole::kLauncher     ? "launcher service "
                                                                : "promotion service ";
  if (image.empty()) {
    if (role == ServiceRole::kDatabaseServer) {
      out.Problem(what + name + ": not installed; the run stops and starts the server by this name");
      out.Todo("register the database server under this name (README: \"The Firebird server as a service\")");
    } else {
      out.Note(what + name + ": not installed");
    }
    return;
  }
  const std::string found = what + name + " (" + image + ")";
  if (role == ServiceRole::kLauncher && !SameText(host::ExtractFileName(image), packages::kLauncherProgramName)) {
    out.Problem(found + ": its program is not " + packages::kLauncherProgramName +
                "; every full run that checks it stops with \"Имя файла службы ... отличается от эталонного\""_cp);
    out.Todo("reinstall the launcher service from " + std::string(packages::kLauncherProgramName));
    return;
  }
  if (dm.IsServiceRunning(name)) {
    out.Ok(found + ": running");
    return;
  }
  switch (role) {
    case ServiceRole::kDatabaseServer:
      out.Note(found + ": stopped; the next run starts it, and until then nothing reaches the database");
      break;
    case ServiceRole::kLauncher:
      out.Note(found + ": stopped; it starts no run of the utility until it runs again");
      break;
    case ServiceRole::kPromotion:
      out.Problem(found + ": stopped; every run stops it and starts it again at its end, so a run cut off in "
                  "between leaves it stopped");
      break;
  }
  out.Todo(host.ServiceCommandLine(name, true));
}

// The newest run log beside the utility and its last lines.
void ReportLastRun(Findings& out, host::Host& host, const std::string& dir) {
  const std::string log_dir = LogDir(dir);
  std::vector<std::string> logs;
  host.ListFiles(log_dir, "*.log", logs);
  if (logs.empty()) {
    out.Note("no run log in " + log_dir + ": the utility has not run from here yet");
    return;
  }
  // yyyymm.log: the newest month sorts last.
  const std::string newest = log_dir + *std::max_element(logs.begin(), logs.end());
  const std::string text = host.ReadFileText(newest);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  // Every run begins with an empty line.
  std::size_t first = lines.size();
  while (first > 0 && !lines[first - 1].empty()) --first;
  const std::size_t shown_from = std::max(first, lines.size() > kLogLinesShown ? lines.size() - kLogLinesShown : 0);
  out.Ok("run log " + newest + ": the last " + IntToStr(static_cast<std::int64_t>(lines.size() - shown_from)) +
         " of the last run's " + IntToStr(static_cast<std::int64_t>(lines.size() - first)) + " lines");
  for (std::size_t i = shown_from; i < lines.size(); ++i) out.Plain("           | " + lines[i]);
  bool ended_well = false, failed = false;
  for (std::size_t i = first; i < lines.size(); ++i) {
    ended_well = ended_well || lines[i].ends_with("Завершение - OK"_cp);
    failed = failed || lines[i].find("\tОшибка "_cp) != std::string::npos;
  }
  if (failed) {
    out.Problem("the last run failed: its error is in the lines above");
  } else if (!ended_well) {
    out.Note("the last run did not log \"Завершение - OK\": it was cut off, or it still runs"_cp);
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
    out.Note("no request packet in " + out_dir + " (sent already, or no run got past its initialisation)");
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
        out.Problem(text + ": the run that wrote it failed; the office gets its log with it");
      }
    } catch (const Exception& e) {
      out.Problem("request packet " + out_dir + packet + " cannot be read:");
      out.Message(e.Message());
    }
  }
}

}  // namespace korvel::tool
