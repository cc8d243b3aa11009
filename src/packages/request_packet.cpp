#include "packages/request_packet.h"

#include <algorithm>

#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::packages {

using namespace korvel::literals;

namespace {

// The packet's type among the files exchanged with the office: 40 request
// packet, 41 update package, 42 private update.
constexpr const char* kRequestPacketType = "40";

}  // namespace

std::string RequestPacketFileName(std::int32_t pred_id, std::int32_t node_id) {
  return IntToStr(pred_id, 4) + IntToStr(node_id, 3) + ".UPR";
}

std::vector<std::string> PacketModules(std::string_view modules, bool classic) {
  std::string list(modules);
  std::vector<std::string> words = SplitString(list, ';');
  if (classic && std::find(words.begin(), words.end(), "200") == words.end()) {
    list = "200;" + list;
    words = SplitString(list, ';');
  }
  words.erase(std::remove(words.begin(), words.end(), std::string()), words.end());
  return words;
}

std::unique_ptr<xml::TXMLNode> BuildRequestPacket(const RequestPacketData& data) {
  std::unique_ptr<xml::TXMLNode> packet = xml::TXMLNode::CreateDocument("PACKET");
  xml::TXMLNodeList& attributes = *packet->Attributes();
  std::string from = IntToStr(data.NodeId);
  if (from.size() < 3) from.insert(0, 3 - from.size(), '0');
  attributes.AddNode("TYPE", kRequestPacketType, xml::nkAttribute);
  attributes.AddNode("NAME", "Запрос обновления ПО"_cp, xml::nkAttribute);
  attributes.AddNode("PRED_ID", IntToStr(data.PredId), xml::nkAttribute);
  attributes.AddNode("FROM", from, xml::nkAttribute);
  attributes.AddNode("TO", "000", xml::nkAttribute);
  attributes.AddNode("OLDVERNO", IntToStr(data.OldVersion), xml::nkAttribute);
  attributes.AddNode("VERNO", IntToStr(data.CurVersion), xml::nkAttribute);
  attributes.AddNode("DBVERNO", IntToStr(data.SysVerNo), xml::nkAttribute);
  attributes.AddNode("DATE", FormatDateTime("dd.mm.yyyy hh:nn", data.Date), xml::nkAttribute);
  attributes.AddNode("EXE", data.ExePath, xml::nkAttribute);
  attributes.AddNode("EXE_VERSION", data.ExeVersion, xml::nkAttribute);

  xml::TXMLNode* modules = packet->Children()->AddNode("MODULES", "", xml::nkElement);
  for (const std::string& id : PacketModules(data.Modules, data.Classic)) {
    modules->Children()->AddNode("MODULE", "", xml::nkElement)->Attributes()->AddNode("ID", id, xml::nkAttribute);
  }
  packet->Children()->AddChild("STATUS", data.Error ? "ERROR" : "OK", xml::nkElement);
  if (data.Error) {
    std::string messages;
    for (const std::string& line : data.Messages) messages += line + "\r\n";
    packet->Children()->AddChild("MESSAGES", messages, xml::nkElement);
  }
  return packet;
}

namespace {

// A temporary name beside `file_name` that nothing occupies: file_name +
// ".tmp", cleared of what a crashed run left there (read-only too), or,
// when that cannot go (a directory, a file another process holds),
// file_name + ".N.tmp". A leftover never stops the packet.
std::string FreeTemporaryName(host::Host& host, const std::string& file_name) {
  constexpr int kTries = 100;
  std::string name;
  for (int n = 0; n < kTries; ++n) {
    name = file_name + (n == 0 ? std::string() : "." + std::to_string(n)) + ".tmp";
    if (!host.GetAttributes(name)) return name;
    host.ClearFileAttributes(name);
    try {
      host.DeleteFile(name);
    } catch (const Exception&) {
      // It stays; the next name is tried.
    }
    if (!host.GetAttributes(name)) return name;
  }
  return name;  // the write reports why it cannot be used
}

}  // namespace

void SaveRequestPacket(host::Host& host, const xml::TXMLNode& document, const std::string& file_name) {
  const std::string temporary = FreeTemporaryName(host, file_name);
  try {
    document.SaveToFile(host, temporary);
    host.RenameFileOrFail(temporary, file_name);
  } catch (const Exception&) {
    try {
      if (host.FileExists(temporary)) host.DeleteFile(temporary);
    } catch (const Exception&) {
      // The failure of the save is the one to report.
    }
    throw;
  }
}

namespace {

bool TwoDigits(std::string_view s, std::size_t at, int& value) {
  if (s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9') return false;
  value = (s[at] - '0') * 10 + (s[at + 1] - '0');
  return true;
}

// A log entry begins with its time, "hh:nn:ss" and a tab.
bool HasTimePrefix(std::string_view line) {
  int h = 0, m = 0, sec = 0;
  return line.size() >= 9 && line[2] == ':' && line[5] == ':' && line[8] == '\t' && TwoDigits(line, 0, h) &&
         TwoDigits(line, 3, m) && TwoDigits(line, 6, sec);
}

std::string LastLogEntry(std::string_view messages) {
  std::vector<std::string_view> lines;
  while (!messages.empty()) {
    const std::size_t end = messages.find_first_of("\r\n");
    std::string_view line = messages.substr(0, end);
    if (!Trim(line).empty()) lines.push_back(line);
    if (end == std::string_view::npos) break;
    messages.remove_prefix(end + 1);
  }
  std::size_t first = lines.size();
  while (first > 0 && !HasTimePrefix(lines[first - 1])) --first;
  if (first > 0) --first;  // the entry's own line; without any, every line
  std::string entry;
  for (std::size_t i = first; i < lines.size(); ++i) {
    if (!entry.empty()) entry += " / ";
    std::string line = Trim(lines[i]);
    std::replace(line.begin(), line.end(), '\t', ' ');
    entry += line;
  }
  return entry;
}

std::int32_t NumberAttribute(const xml::TXMLNode& packet, std::string_view name) {
  const xml::TXMLNode* attribute = packet.Attributes()->Find(name);
  if (attribute == nullptr) throw Exception("no " + std::string(name) + " attribute");
  std::int32_t value = 0;
  if (!TryStrToInt(attribute->Value, value)) throw Exception(std::string(name) + " is not a number");
  return value;
}

}  // namespace

bool ParsePacketDate(std::string_view text, TDateTime& value) {
  int day = 0, month = 0, century = 0, year = 0, hour = 0, minute = 0;
  if (text.size() != 16 || text[2] != '.' || text[5] != '.' || text[10] != ' ' || text[13] != ':') return false;
  if (!TwoDigits(text, 0, day) || !TwoDigits(text, 3, month) || !TwoDigits(text, 6, century) ||
      !TwoDigits(text, 8, year) || !TwoDigits(text, 11, hour) || !TwoDigits(text, 14, minute)) {
    return false;
  }
  year += century * 100;
  if (year < 1 || !IsValidDate(year, month, day) || hour > 23 || minute > 59) return false;
  value = EncodeDateTime({year, month, day, hour, minute, 0, 0});
  return true;
}

RequestPacketReport ReadRequestPacket(std::string_view text) {
  const std::unique_ptr<xml::TXMLNode> document = xml::TXMLNode::CreateFromText(text);
  const xml::TXMLNode* packet = document.get();
  if (packet->Name != "PACKET") {
    throw Exception("not a request packet (no PACKET element)");
  }
  if (packet->GetAttribute("TYPE") != kRequestPacketType) {
    throw Exception("TYPE is not " + std::string(kRequestPacketType) + " (a request packet)");
  }
  RequestPacketReport report;
  report.PredId = NumberAttribute(*packet, "PRED_ID");
  report.NodeId = NumberAttribute(*packet, "FROM");
  report.CurVersion = NumberAttribute(*packet, "VERNO");
  report.SysVerNo = NumberAttribute(*packet, "DBVERNO");
  report.DateText = packet->GetAttribute("DATE");
  if (!ParsePacketDate(report.DateText, report.Date)) throw Exception("DATE is not a date dd.mm.yyyy hh:nn");
  const xml::TXMLNode* exe_version = packet->Attributes()->Find("EXE_VERSION");
  if (exe_version == nullptr) throw Exception("no EXE_VERSION attribute");
  report.ExeVersion = exe_version->Value;
  const xml::TXMLNode* status = packet->Children()->Find("STATUS");
  const std::string status_text = status == nullptr ? std::string() : Trim(status->GetText());
  if (status_text != "OK" && status_text != "ERROR") throw Exception("STATUS is neither OK nor ERROR");
  report.Error = status_text == "ERROR";
  if (report.Error) {
    const xml::TXMLNode* messages = packet->Children()->Find("MESSAGES");
    if (messages != nullptr) report.LastMessage = LastLogEntry(messages->GetText());
  }
  return report;
}

}  // namespace korvel::packages
