// korvel-tool fleet: the office's view of a chain from the request packets
// its pharmacies send back, for a person, a spreadsheet, a page or cron.
#include <optional>
#include <string>
#include <vector>

#include "host/text.h"
#include "packages/package_maker.h"
#include "packages/request_packet.h"
#include "tools/fleet_report.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"

namespace korvel::tool {
namespace {

struct FleetOptions {
  bool csv = false;
  std::string html;
  int stale_days = 7;
  std::optional<TDateTime> now;
  std::string expect;
  std::vector<std::string> paths;
};

// The options; UsageError for what is wrong.
FleetOptions ParseOptions(const std::vector<std::string>& args) {
  FleetOptions options;
  std::optional<std::int32_t> stale;
  std::string now;
  options.paths = ToolOptions()
                      .Flag("--csv", options.csv)
                      .Value("--html", options.html)
                      .Number("--stale", stale)
                      .Value("--now", now)
                      .Value("--expect", options.expect)
                      .Parse(args);
  if (options.paths.empty()) throw UsageError("expected at least one PATH");
  if (stale) {
    if (*stale < 0) throw UsageError("--stale needs a number of days, not " + IntToStr(*stale));
    options.stale_days = *stale;
  }
  if (!now.empty()) {
    TDateTime value = 0;
    if (!packages::ParsePacketDate(now, value)) throw UsageError("--now needs \"DD.MM.YYYY HH:MM\", not '" + now + "'");
    options.now = value;
  }
  return options;
}

int Fleet(ToolContext& context) {
  const FleetOptions options = ParseOptions(context.args);
  host::Host& host = context.host;
  for (const std::string& path : options.paths) {
    if (!host.GetAttributes(path)) throw UsageError(path + ": not found");
  }
  std::vector<packages::Pharmacy> expected;
  if (!options.expect.empty()) {
    const std::string list = AboutFile(options.expect, [&] { return host.ReadFileText(options.expect); });
    expected = packages::ReadPharmacyList(list, options.expect);
  }
  const FleetReport report =
      CollectFleet(host, options.paths, expected, options.now.value_or(host.Now()), options.stale_days);

  if (!options.html.empty()) {
    const std::string part = options.html + ".part";
    AboutFile(options.html, [&] {
      host.WriteFileText(part, FleetPage(report));
      host.MoveFile(part, options.html, false);
    });
  }
  if (options.csv) {
    host::WriteStandardOutput(FleetCsv(report));
  } else {
    for (const std::string& line : FleetLines(report)) PrintLine(host, line);
  }
  return report.ExitCode();
}

const ToolCommandRegistration fleet_registration({
    "fleet",
    "fleet [--csv] [--html FILE] [--stale DAYS] [--now \"DD.MM.YYYY HH:MM\"] [--expect LIST] PATH...",
    "what the pharmacies' request packets report, for the whole chain",
    "Reads every request packet (*.UPR, any letter case) in the files and\n"
    "directories given (directories with everything below them; symbolic\n"
    "links are not followed). For each pharmacy its newest packet by DATE\n"
    "counts (equal DATEs: the file modified last). Prints one line per\n"
    "pharmacy, by chain and pharmacy: version, schema, status, date,\n"
    "executable version and, after an error, the last entry of its log.\n"
    "Then the pharmacies per version, how many report OK and ERROR, the\n"
    "silent ones and the packets that could not be read, with the reason.\n"
    "A pharmacy whose newest packet is older than --stale days is silent,\n"
    "whatever it reported then.\n"
    "\n"
    "  --csv          the rows as CSV instead (UTF-8 with a byte-order mark,\n"
    "                 \";\" between fields) with the header\n"
    "                 chain;pharmacy;version;schema;status;date;exe_version;packet;message\n"
    "                 (status NONE: an expected pharmacy without a packet)\n"
    "  --html FILE    also a page: a chart of the pharmacies per version and\n"
    "                 the table, failing and silent pharmacies first\n"
    "  --stale DAYS   silent after DAYS days without a packet (default 7)\n"
    "  --now TIME     count the days from TIME instead of the current time\n"
    "  --expect LIST  the pharmacies that should report, one CHAIN;PHARMACY\n"
    "                 a line (as for pack --for); one without any packet\n"
    "                 counts as silent\n"
    "\n"
    "Exit code 0 when every pharmacy reports OK and none is silent or\n"
    "missing; 1 when one reports ERROR, is silent or missing, or a packet\n"
    "could not be read; 2 for wrong arguments.\n"
    "\n"
    "Example: korvel-tool fleet --expect chain12.txt --html fleet.html in/packets",
    Fleet,
});

}  // namespace
}  // namespace korvel::tool
