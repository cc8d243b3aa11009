// The office's reading of request packets on any bytes: a packet either
// reads or raises a Korvel exception. What reads must be what the office
// shows: a date that DATE formats back to, a message of one line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/datetime.h"
#include "packages/request_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  packages::RequestPacketReport report;
  try {
    report = packages::ReadRequestPacket(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const Exception&) {
    return 0;
  }
  if (FormatDateTime("dd.mm.yyyy hh:nn", report.Date) != report.DateText) std::abort();
  if (report.LastMessage.find_first_of("\r\n") != std::string::npos) std::abort();
  if (!report.Error && !report.LastMessage.empty()) std::abort();
  return 0;
}
