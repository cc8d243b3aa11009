// The request packet: the XML file the utility leaves in the outbox for the
// central office at the end of every run that got through initialisation.
// It names the pharmacy, the software and schema versions now installed,
// the installation's modules and the outcome of the run; after a failure it
// carries the run's whole log. The office answers with the next package.
//
// The file is OutDir + "%.4d%.3d.UPR" (chain, pharmacy): one per pharmacy,
// which another system forwards to the office as soon as it stands there.
// It is therefore written beside its final name and renamed over it only
// when complete, so that a crash or a full disk never leaves a truncated
// packet under that name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/datetime.h"
#include "host/host.h"
#include "xml/xml_node.h"

namespace korvel::packages {

// What a request packet reports.
struct RequestPacketData {
  std::int32_t PredId = 0;      // chain
  std::int32_t NodeId = 0;      // pharmacy within the chain
  std::int32_t OldVersion = 0;  // software version found at the start of the run
  std::int32_t CurVersion = 0;  // software version installed now
  std::int32_t SysVerNo = 0;    // database schema version now
  std::string Modules;          // the configuration's "2;5" list
  bool Classic = false;         // the Classic server (module 200)
  TDateTime Date = 0;           // when the packet was made
  std::string ExePath;          // the running executable
  std::string ExeVersion;       // its file version
  bool Error = false;           // STATUS ERROR with Messages, else OK
  std::vector<std::string> Messages;
};

// "%.4d%.3d.UPR": chain 12, pharmacy 5 give "0012005.UPR".
std::string RequestPacketFileName(std::int32_t pred_id, std::int32_t node_id);

// The module identifiers the packet lists: the words of `modules` between
// ";" (empty words skipped), with "200" in front when `classic` is set and
// "200" is not among them.
std::vector<std::string> PacketModules(std::string_view modules, bool classic);

// The document: PACKET with TYPE, NAME, PRED_ID, FROM, TO, OLDVERNO, VERNO,
// DBVERNO, DATE, EXE, EXE_VERSION, then MODULES with one MODULE ID=... per
// module, STATUS and, with Error, MESSAGES holding every message followed
// by CR LF.
std::unique_ptr<xml::TXMLNode> BuildRequestPacket(const RequestPacketData& data);

// Saves `document` as `file_name`: written completely under file_name +
// ".tmp" first, then renamed over file_name (replacing an earlier packet).
// A temporary file left by an earlier run is removed first, read-only too;
// one that cannot be removed is left alone and file_name + ".N.tmp" is
// used instead.
// On failure the temporary file is removed, an earlier packet stays as it
// was, and the error propagates (EInOutError of the write, or the rename's
// "Ошибка переименования файла ..." message).
void SaveRequestPacket(host::Host& host, const xml::TXMLNode& document, const std::string& file_name);

// What the office reads back from a packet.
struct RequestPacketReport {
  std::int32_t PredId = 0;
  std::int32_t NodeId = 0;      // FROM
  std::int32_t CurVersion = 0;  // VERNO
  std::int32_t SysVerNo = 0;    // DBVERNO
  TDateTime Date = 0;
  std::string DateText;  // DATE as written
  std::string ExeVersion;
  bool Error = false;  // STATUS ERROR
  // After an error: the last entry of MESSAGES, the line with its time and
  // the lines that continue it, joined with " / " (the tab after the time
  // a space); empty otherwise.
  std::string LastMessage;
};

// Reads a packet from its text (Windows-1251 XML). Throws Exception, in
// English for the office, with the reason: the XML parser's message, a
// root other than PACKET, a TYPE other than 40, a missing or non-numeric
// PRED_ID, FROM, VERNO or DBVERNO, a missing EXE_VERSION, a DATE that
// ParsePacketDate refuses, a STATUS neither OK nor ERROR.
RequestPacketReport ReadRequestPacket(std::string_view text);

// "dd.mm.yyyy hh:nn" exactly (a real date, hours 0-23), as DATE is
// written; false for anything else.
bool ParsePacketDate(std::string_view text, TDateTime& value);

}  // namespace korvel::packages
