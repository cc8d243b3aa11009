// The office's view of a chain from the request packets its pharmacies
// send back: the newest packet of every pharmacy, what it reports, and who
// has gone silent. korvel-tool fleet prints it as lines, CSV or a page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/datetime.h"
#include "host/host.h"
#include "packages/package_maker.h"
#include "packages/request_packet.h"

namespace korvel::tool {

// How a pharmacy stands, in the order the page lists them.
enum class FleetState {
  kError,   // its newest packet reports ERROR and is recent
  kSilent,  // its newest packet is older than the stale limit
  kNever,   // expected, but no packet of it was found
  kOk,
};

struct FleetRow {
  packages::Pharmacy pharmacy;
  FleetState state = FleetState::kNever;
  packages::RequestPacketReport report;  // empty for kNever
  std::string packet;                    // the file the row comes from
  TDateTime modified = 0;                // its last-write time
};

struct UnreadablePacket {
  std::string file;
  std::string reason;
};

struct FleetReport {
  std::vector<FleetRow> rows;  // one per pharmacy, by chain and pharmacy
  std::vector<UnreadablePacket> unreadable;  // by file name
  int packets = 0;   // read
  int older = 0;     // read, but a newer one of the same pharmacy counts
  int skipped = 0;   // files that are not *.UPR, and symbolic links
  TDateTime now = 0;
  int stale_days = 7;

  // 0 when every pharmacy reports OK, nothing is silent or missing and
  // every packet could be read; 1 otherwise.
  int ExitCode() const;
};

// Reads every *.UPR (any letter case) below the files and directories of
// `paths`, never following a symbolic link. For each pharmacy the packet
// with the latest DATE counts (equal DATEs: the one modified last, then
// the greater file name); a pharmacy of `expected` without a packet is
// kNever. A packet is silent when its DATE lies more than `stale_days`
// before `now`. A packet that cannot be read goes to `unreadable` with the
// reason; nothing stops the reading. Throws Exception for a path that does
// not exist.
FleetReport CollectFleet(host::Host& host, const std::vector<std::string>& paths,
                         const std::vector<packages::Pharmacy>& expected, TDateTime now, int stale_days);

// "OK", "ERROR", "silent N days" or "never reported".
std::string StateText(const FleetRow& row, TDateTime now);

// The lines korvel-tool fleet prints (Windows-1251): one per pharmacy, then
// the summary and the unreadable packets.
std::vector<std::string> FleetLines(const FleetReport& report);

// The CSV: UTF-8 with a byte-order mark, ";" between fields, RFC 4180
// quoting, CR LF line ends, the header
// chain;pharmacy;version;schema;status;date;exe_version;packet;message.
// status is the packet's (OK, ERROR), or NONE for a pharmacy without one.
std::string FleetCsv(const FleetReport& report);

// One self-contained XHTML page in UTF-8 (no byte-order mark, scripts or
// external files): the summary as an SVG bar chart of pharmacies per
// version, then the table, failing, silent and missing pharmacies first.
std::string FleetPage(const FleetReport& report);

}  // namespace korvel::tool
