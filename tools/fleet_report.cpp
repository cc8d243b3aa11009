#include "tools/fleet_report.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::tool {

namespace {

// A packet is a few kilobytes, a failed run's whole log some hundred; a
// larger file is no packet and is not read into memory.
constexpr std::int64_t kMaxPacketBytes = 16 << 20;

struct Collector {
  host::Host& host;
  std::map<packages::Pharmacy, FleetRow> newest;
  FleetReport& report;

  void Packet(const std::string& path) {
    FleetRow row;
    row.packet = path;
    try {
      const std::int64_t size = host.FileSize(path);
      if (size > kMaxPacketBytes) throw Exception("larger than 16 MB, no request packet");
      row.report = packages::ReadRequestPacket(host.ReadFileText(path));
    } catch (const Exception& e) {
      report.unreadable.push_back({path, e.Message()});
      return;
    }
    ++report.packets;
    row.modified = host.FileWriteTime(path).value_or(0);
    row.pharmacy = {row.report.PredId, row.report.NodeId};
    const auto later = [](const FleetRow& a, const FleetRow& b) {
      return std::tie(a.report.Date, a.modified, a.packet) > std::tie(b.report.Date, b.modified, b.packet);
    };
    const auto [at, added] = newest.try_emplace(row.pharmacy);
    if (!added) {
      ++report.older;
      if (!later(row, at->second)) return;
    }
    at->second = std::move(row);
  }

  // Every *.UPR below `dir`; links are not followed, so that the reading
  // stays inside the given directories.
  void Directory(const std::string& dir) {
    for (const host::DirEntry& entry : host.FindEntries(dir + "*")) {
      if (entry.name == "." || entry.name == "..") continue;
      const std::string path = dir + entry.name;
      const bool packet = SameText(host::ExtractFileExt(entry.name), ".UPR");
      if (!entry.directory && !packet) {
        ++report.skipped;
        continue;
      }
      const std::optional<host::FileAttributes> attributes =
          entry.reachable() ? host.GetAttributes(path) : std::nullopt;
      if (!attributes || attributes->link) {
        ++report.skipped;
      } else if (attributes->directory) {
        Directory(host::IncludePathDelimiter(path));
      } else {
        Packet(path);
      }
    }
  }
};

bool Silent(const FleetRow& row, TDateTime now, int stale_days) {
  return now - row.report.Date > stale_days;
}

std::string Pad(std::string text, std::size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

int StateOrder(FleetState state) { return static_cast<int>(state); }

}  // namespace

int FleetReport::ExitCode() const {
  if (!unreadable.empty()) return 1;
  for (const FleetRow& row : rows) {
    if (row.state != FleetState::kOk) return 1;
  }
  return 0;
}

FleetReport CollectFleet(host::Host& host, const std::vector<std::string>& paths,
                         const std::vector<packages::Pharmacy>& expected, TDateTime now, int stale_days) {
  FleetReport report;
  report.now = now;
  report.stale_days = stale_days;
  Collector collector{host, {}, report};
  for (const std::string& path : paths) {
    const std::optional<host::FileAttributes> attributes = host.GetAttributes(path);
    if (!attributes) throw Exception(path + ": not found");
    if (attributes->directory) {
      collector.Directory(host::IncludePathDelimiter(path));
    } else if (SameText(host::ExtractFileExt(path), ".UPR")) {
      collector.Packet(path);
    } else {
      ++report.skipped;
    }
  }
  for (const packages::Pharmacy& pharmacy : expected) {
    FleetRow& row = collector.newest[pharmacy];
    row.pharmacy = pharmacy;
  }
  for (auto& [pharmacy, row] : collector.newest) {
    if (!row.packet.empty()) {
      row.state = Silent(row, now, stale_days) ? FleetState::kSilent
                  : row.report.Error           ? FleetState::kError
                                               : FleetState::kOk;
    }
    report.rows.push_back(std::move(row));
  }
  std::sort(report.unreadable.begin(), report.unreadable.end(),
            [](const UnreadablePacket& a, const UnreadablePacket& b) { return a.file < b.file; });
  return report;
}

std::string StateText(const FleetRow& row, TDateTime now) {
  switch (row.state) {
    case FleetState::kNever:
      return "never reported";
    case FleetState::kSilent:
      return "silent " + IntToStr(static_cast<std::int64_t>(now - row.report.Date)) + " days";
    case FleetState::kError:
      return "ERROR";
    case FleetState::kOk:
      break;
  }
  return "OK";
}

namespace {

// Pharmacies per software version, by state; version -1 gathers those
// without a packet.
struct VersionCounts {
  int ok = 0, error = 0, silent = 0, never = 0;
  int Total() const { return ok + error + silent + never; }
  void Add(FleetState state) {
    (state == FleetState::kOk ? ok : state == FleetState::kError ? error : state == FleetState::kSilent ? silent : never)++;
  }
};

std::map<std::int32_t, VersionCounts, std::greater<>> CountByVersion(const FleetReport& report) {
  std::map<std::int32_t, VersionCounts, std::greater<>> counts;
  for (const FleetRow& row : report.rows) {
    counts[row.state == FleetState::kNever ? -1 : row.report.CurVersion].Add(row.state);
  }
  return counts;
}

std::string VersionLabel(std::int32_t version) { return version < 0 ? "no packet" : "version " + IntToStr(version); }

}  // namespace

std::vector<std::string> FleetLines(const FleetReport& report) {
  std::vector<std::string> lines;
  lines.push_back("chain pharmacy  version   schema  status          date              exe_version   message");
  for (const FleetRow& row : report.rows) {
    std::string line = IntToStr(row.pharmacy.chain, 4) + "  " + Pad(IntToStr(row.pharmacy.pharmacy, 3), 8);
    if (row.state == FleetState::kNever) {
      line += Pad("-", 10) + Pad("-", 8) + StateText(row, report.now);
    } else {
      line += Pad(IntToStr(row.report.CurVersion), 10) + Pad(IntToStr(row.report.SysVerNo), 8) +
              Pad(StateText(row, report.now), 16) + Pad(row.report.DateText, 18) + Pad(row.report.ExeVersion, 14) +
              row.report.LastMessage;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  VersionCounts all;
  for (const FleetRow& row : report.rows) all.Add(row.state);
  lines.push_back("");
  lines.push_back("Pharmacies: " + IntToStr(all.Total()) + "; OK " + IntToStr(all.ok) + ", ERROR " +
                  IntToStr(all.error) + ", silent for more than " + IntToStr(report.stale_days) + " days " +
                  IntToStr(all.silent) + ", never reported " + IntToStr(all.never));
  for (const auto& [version, counts] : CountByVersion(report)) {
    lines.push_back("  " + Pad(VersionLabel(version) + ":", 18) + IntToStr(counts.Total()) + " (OK " +
                    IntToStr(counts.ok) + ", ERROR " + IntToStr(counts.error) + ", silent " +
                    IntToStr(counts.silent + counts.never) + ")");
  }
  lines.push_back("Packets: " + IntToStr(report.packets) + " read, " + IntToStr(report.older) +
                  " older ones not shown, " + IntToStr(static_cast<std::int64_t>(report.unreadable.size())) +
                  " unreadable; " + IntToStr(report.skipped) + " other files skipped");
  if (!report.unreadable.empty()) {
    lines.push_back("Unreadable packets:");
    for (const UnreadablePacket& bad : report.unreadable) lines.push_back("  " + bad.file + ": " + bad.reason);
  }
  return lines;
}

namespace {

// RFC 4180: a field holding the separator, a quote or a line break is
// quoted, its quotes doubled.
std::string CsvField(std::string_view text) {
  if (text.find_first_of(";\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string FleetCsv(const FleetReport& report) {
  std::string csv = "chain;pharmacy;version;schema;status;date;exe_version;packet;message\r\n";
  for (const FleetRow& row : report.rows) {
    const bool never = row.state == FleetState::kNever;
    const packages::RequestPacketReport& r = row.report;
    const std::vector<std::string> fields = {
        IntToStr(row.pharmacy.chain),
        IntToStr(row.pharmacy.pharmacy),
        never ? "" : IntToStr(r.CurVersion),
        never ? "" : IntToStr(r.SysVerNo),
        never ? "NONE" : r.Error ? "ERROR" : "OK",
        r.DateText,
        r.ExeVersion,
        row.packet,
        r.LastMessage,
    };
    for (std::size_t i = 0; i < fields.size(); ++i) csv += (i ? ";" : "") + CsvField(fields[i]);
    csv += "\r\n";
  }
  return "\xEF\xBB\xBF" + cp1251::ToUtf8(csv);
}

namespace {

// Text and attribute values of the page: the five characters XML knows
// by name are the only entities written.
std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

const char* StateClass(FleetState state) {
  switch (state) {
    case FleetState::kError: return "error";
    case FleetState::kSilent: return "silent";
    case FleetState::kNever: return "never";
    case FleetState::kOk: break;
  }
  return "ok";
}

// Horizontal bars, one per version, its pharmacies by state side by side.
std::string Chart(const FleetReport& report) {
  const auto counts = CountByVersion(report);
  int most = 1;
  for (const auto& [version, c] : counts) most = std::max(most, c.Total());
  constexpr int kLabel = 110, kBar = 480, kRow = 24, kTop = 30;
  const int height = kTop + kRow * static_cast<int>(counts.size()) + 8;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + IntToStr(kLabel + kBar + 60) +
                    "\" height=\"" + IntToStr(height) + "\" role=\"img\"><title>Pharmacies per version</title>\n";
  const struct {
    const char* name;
    const char* cls;
  } legend[] = {{"OK", "ok"}, {"ERROR", "error"}, {"silent", "silent"}, {"never reported", "never"}};
  int x = kLabel;
  for (const auto& entry : legend) {
    svg += "<rect class=\"" + std::string(entry.cls) + "\" x=\"" + IntToStr(x) + "\" y=\"6\" width=\"12\" height=\"12\"/>";
    svg += "<text x=\"" + IntToStr(x + 16) + "\" y=\"17\">" + entry.name + "</text>\n";
    x += 30 + 8 * static_cast<int>(std::string_view(entry.name).size());
  }
  int y = kTop;
  for (const auto& [version, c] : counts) {
    svg += "<text x=\"0\" y=\"" + IntToStr(y + 15) + "\">" + Escaped(VersionLabel(version)) + "</text>";
    int at = kLabel;
    const std::pair<int, const char*> parts[] = {{c.ok, "ok"}, {c.error, "error"}, {c.silent, "silent"}, {c.never, "never"}};
    for (const auto& [n, cls] : parts) {
      if (n == 0) continue;
      const int width = std::max(1, n * kBar / most);
      svg += "<rect class=\"" + std::string(cls) + "\" x=\"" + IntToStr(at) + "\" y=\"" + IntToStr(y) + "\" width=\"" +
             IntToStr(width) + "\" height=\"18\"><title>" + IntToStr(n) + "</title></rect>";
      at += width;
    }
    svg += "<text x=\"" + IntToStr(at + 6) + "\" y=\"" + IntToStr(y + 15) + "\">" + IntToStr(c.Total()) + "</text>\n";
    y += kRow;
  }
  return svg + "</svg>\n";
}

}  // namespace

std::string FleetPage(const FleetReport& report) {
  const std::string when = FormatDateTime("dd.mm.yyyy hh:nn", report.now);
  std::string page =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n"
      "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n<meta charset=\"UTF-8\"/>\n"
      "<meta name=\"viewport\" content=\"width=device-width\"/>\n<title>Pharmacies, " + when + "</title>\n"
      "<style>\n"
      "body{font-family:sans-serif;margin:1em auto;max-width:75em;padding:0 1em}\n"
      "table{border-collapse:collapse;width:100%;table-layout:fixed;font-size:90%}\n"
      "th,td{border-bottom:1px solid #ccc;padding:2px 4px;text-align:left;vertical-align:top;overflow-wrap:anywhere}\n"
      "th.n{width:4em}th.v{width:5em}th.s{width:8em}th.d{width:9em}th.e{width:7em}th.p{width:9em}\n"
      "svg{max-width:100%;height:auto}svg text{font-size:12px}\n"
      "rect.ok{fill:#2e7d32}rect.error{fill:#c62828}rect.silent{fill:#9e9e9e}rect.never{fill:#424242}\n"
      "tr.error td{background:#fdecea}tr.silent td,tr.never td{background:#f2f2f2}\n"
      "</style>\n</head>\n<body>\n<h1>Pharmacies on " + when + "</h1>\n";
  std::vector<std::string> lines = FleetLines(report);
  const auto summary = std::find(lines.begin(), lines.end(), std::string());
  page += "<p>";
  for (auto line = summary + 1; line != lines.end() && !StartsText("Unreadable", *line); ++line) {
    page += Escaped(Trim(*line)) + "<br/>";
  }
  page += "</p>\n" + Chart(report);

  std::vector<const FleetRow*> rows;
  for (const FleetRow& row : report.rows) rows.push_back(&row);
  std::stable_sort(rows.begin(), rows.end(),
                   [](const FleetRow* a, const FleetRow* b) { return StateOrder(a->state) < StateOrder(b->state); });
  page +=
      "<table>\n<thead><tr><th class=\"n\">chain</th><th class=\"n\">pharmacy</th><th class=\"s\">status</th>"
      "<th class=\"v\">version</th><th class=\"v\">schema</th><th class=\"d\">date</th><th class=\"e\">exe_version</th>"
      "<th>message</th><th class=\"p\">packet</th></tr></thead>\n<tbody>\n";
  for (const FleetRow* row : rows) {
    const bool never = row->state == FleetState::kNever;
    page += "<tr class=\"" + std::string(StateClass(row->state)) + "\"><td>" + IntToStr(row->pharmacy.chain, 4) +
            "</td><td>" + IntToStr(row->pharmacy.pharmacy, 3) + "</td><td>" + Escaped(StateText(*row, report.now)) +
            "</td><td>" + (never ? "" : IntToStr(row->report.CurVersion)) + "</td><td>" +
            (never ? "" : IntToStr(row->report.SysVerNo)) + "</td><td>" + Escaped(row->report.DateText) + "</td><td>" +
            Escaped(row->report.ExeVersion) + "</td><td>" + Escaped(row->report.LastMessage) + "</td><td title=\"" +
            Escaped(row->packet) + "\">" + Escaped(host::ExtractFileName(row->packet)) + "</td></tr>\n";
  }
  page += "</tbody>\n</table>\n";
  if (!report.unreadable.empty()) {
    page += "<h2>Unreadable packets</h2>\n<ul>\n";
    for (const UnreadablePacket& bad : report.unreadable) {
      page += "<li>" + Escaped(bad.file) + ": " + Escaped(bad.reason) + "</li>\n";
    }
    page += "</ul>\n";
  }
  return cp1251::ToUtf8(page + "</body>\n</html>\n");
}

}  // namespace korvel::tool
