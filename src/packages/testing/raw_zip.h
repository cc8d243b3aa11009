// Test support: ZIP archives assembled byte by byte, so that tests and
// fuzzers can make archives no well-behaved writer would: any name, any
// attributes, sizes and CRCs that lie, links, trailing bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel::packages::testing {

std::uint32_t Crc32(const std::string& data);

struct RawEntry {
  std::string name;  // stored bytes as they are
  std::string data;  // stored uncompressed
  // Declared values; by default the true ones.
  std::int64_t declared_size = -1;
  std::int64_t declared_crc = -1;
  std::uint8_t made_by_system = 0;  // 0 MS-DOS, 3 Unix
  std::uint32_t external_attributes = 0;
  std::uint16_t flags = 0;  // bit 11: the name is UTF-8
  std::string extra;        // extra fields, in the local and central headers
  std::uint16_t dos_time = 0x6000;  // 12:00:00
  std::uint16_t dos_date = 0x5A21;  // 2025-01-01
};

// A stored (method 0) archive of the entries, central directory and end
// record included.
std::string BuildZip(const std::vector<RawEntry>& entries);

// An Info-ZIP Unicode path extra field (0x7075, version 1) giving
// `utf8_name` for an entry stored as `raw_name` (whose CRC it carries).
std::string UnicodePathField(const std::string& raw_name, const std::string& utf8_name);

// A Unix symbolic link entry pointing at `target`.
RawEntry LinkEntry(const std::string& name, const std::string& target);

}  // namespace korvel::packages::testing
