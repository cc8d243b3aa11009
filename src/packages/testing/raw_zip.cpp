#include "packages/testing/raw_zip.h"

namespace korvel::packages::testing {

namespace {

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

std::uint32_t Crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string BuildZip(const std::vector<RawEntry>& entries) {
  std::string out, central;
  for (const RawEntry& e : entries) {
    const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t size = e.declared_size >= 0 ? static_cast<std::uint32_t>(e.declared_size)
                                                    : static_cast<std::uint32_t>(e.data.size());
    const std::uint32_t crc = e.declared_crc >= 0 ? static_cast<std::uint32_t>(e.declared_crc) : Crc32(e.data);
    Put32(out, 0x04034b50);
    Put16(out, 20);
    Put16(out, e.flags);
    Put16(out, 0);
    Put16(out, e.dos_time);
    Put16(out, e.dos_date);
    Put32(out, crc);
    Put32(out, size);
    Put32(out, size);
    Put16(out, static_cast<std::uint32_t>(e.name.size()));
    Put16(out, static_cast<std::uint32_t>(e.extra.size()));
    out += e.name;
    out += e.extra;
    out += e.data;

    Put32(central, 0x02014b50);
    Put16(central, (static_cast<std::uint32_t>(e.made_by_system) << 8) | 20);
    Put16(central, 20);
    Put16(central, e.flags);
    Put16(central, 0);
    Put16(central, e.dos_time);
    Put16(central, e.dos_date);
    Put32(central, crc);
    Put32(central, size);
    Put32(central, size);
    Put16(central, static_cast<std::uint32_t>(e.name.size()));
    Put16(central, static_cast<std::uint32_t>(e.extra.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, e.external_attributes);
    Put32(central, offset);
    central += e.name;
    central += e.extra;
  }
  const std::uint32_t central_offset = static_cast<std::uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put32(out, static_cast<std::uint32_t>(central.size()));
  Put32(out, central_offset);
  Put16(out, 0);
  return out;
}

std::string UnicodePathField(const std::string& raw_name, const std::string& utf8_name) {
  std::string field;
  Put16(field, 0x7075);
  Put16(field, static_cast<std::uint32_t>(5 + utf8_name.size()));
  field += '\x01';
  Put32(field, Crc32(raw_name));
  field += utf8_name;
  return field;
}

RawEntry LinkEntry(const std::string& name, const std::string& target) {
  RawEntry e;
  e.name = name;
  e.data = target;
  e.made_by_system = 3;
  e.external_attributes = (0120777u << 16);
  return e;
}

}  // namespace korvel::packages::testing
