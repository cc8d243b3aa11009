// The request packet step of the data module: the run's state into the
// packet of packages/request_packet.h, at most once per run.
#include "host/cp1251.h"
#include "packages/request_packet.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

void TdmKorvel::WriteRequestPacket(bool error, bool replace) {
  if (!RequestPending) return;
  // Cleared first: a failure below must not lead to a second attempt.
  RequestPending = false;
  const std::vector<std::string> lines = LogLines;
  WriteLog("Создания пакета запроса на обновление ..."_cp);
  // Read again, so that DBVERNO shows the schema after this run's scripts.
  ReadDbParams();

  packages::RequestPacketData data;
  data.PredId = PredId;
  data.NodeId = NodeId;
  data.OldVersion = OldVersion;
  data.CurVersion = CurVersion;
  data.SysVerNo = SysVerNo;
  data.Modules = Modules;
  data.Classic = Classic;
  data.Date = host_.Now();
  data.ExePath = host_.ExecutablePath();
  data.ExeVersion = host_.FileVersion(data.ExePath);
  data.Error = error;
  if (error) data.Messages = lines;
  const std::unique_ptr<xml::TXMLNode> packet = packages::BuildRequestPacket(data);

  const std::string file_name = OutDir + packages::RequestPacketFileName(PredId, NodeId);
  const bool exists = host_.FileExists(file_name);
  if (exists) host_.ClearFileAttributes(file_name);
  if (replace || !exists) packages::SaveRequestPacket(host_, *packet, file_name);
  WriteLog("Создания пакета запроса на обновление - OK"_cp);
}

}  // namespace korvel::run
