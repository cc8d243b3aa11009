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

}  // namespace korvel::packages
