// An attachment to a Firebird server's services manager: the server-side
// backup and restore of a database and the database properties that take
// it down (full shutdown) and bring it online again.
//
// A ServiceManager belongs to one ClientLibrary, which outlives it. One
// attachment runs one service at a time: Start... sends the request, and
// ReadOutput reads the server's output of the running service to its end;
// for a backup or a restore that read is what waits until the server has
// finished. An error of the service is raised by Start or ReadOutput,
// whichever call the server answers with it; callers run both. Destroying an
// attached ServiceManager detaches without throwing.
//
// Failures of the client or of the service raise EIBInterBaseError with
// the client's text and the status codes (for example kIscBadShutdownMode
// when a database is to be shut down that is shut down already); misuse of
// the layer raises EIBClientError.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fb/client_library.h"
#include "fb/ib_error.h"

namespace korvel::fb {

// Option bits of a backup (the services API's isc_spb_bkp_* flags).
inline constexpr std::uint32_t kBackupIgnoreChecksums = 0x01;
inline constexpr std::uint32_t kBackupIgnoreLimbo = 0x02;
inline constexpr std::uint32_t kBackupMetadataOnly = 0x04;
inline constexpr std::uint32_t kBackupNoGarbageCollection = 0x08;
inline constexpr std::uint32_t kBackupOldMetadataDesc = 0x10;
inline constexpr std::uint32_t kBackupNonTransportable = 0x20;
inline constexpr std::uint32_t kBackupConvertExtTables = 0x40;

// Option bits of a restore (isc_spb_res_* flags). A restore with
// kRestoreCreateNewDB and without kRestoreReplace fails when the target
// file exists.
inline constexpr std::uint32_t kRestoreDeactivateIndexes = 0x0100;
inline constexpr std::uint32_t kRestoreNoShadow = 0x0200;
inline constexpr std::uint32_t kRestoreNoValidityCheck = 0x0400;
inline constexpr std::uint32_t kRestoreOneRelationAtATime = 0x0800;
inline constexpr std::uint32_t kRestoreReplace = 0x1000;
inline constexpr std::uint32_t kRestoreCreateNewDB = 0x2000;
inline constexpr std::uint32_t kRestoreUseAllSpace = 0x4000;

// The server part of a connection string: the text before the first ":"
// when that colon is the third character or later, else "" (a local path
// such as "D:\Db\base.fdb" names no server). "127.0.0.1/3050:/db/base.fdb"
// gives "127.0.0.1/3050".
std::string ServerPart(std::string_view connection);

struct BackupRequest {
  std::string Database;                  // path on the server
  std::vector<std::string> BackupFiles;  // files the server writes
  std::uint32_t Options = 0;             // kBackup* bits
  bool Verbose = true;
  int BlockingFactor = 0;                // 0: not sent (the server's default)
};

struct RestoreRequest {
  std::vector<std::string> DatabaseFiles;  // files the server creates
  std::vector<std::string> BackupFiles;    // files the server reads
  std::uint32_t Options = 0;               // kRestore* bits
  bool Verbose = true;
  int PageSize = 8192;    // 0: not sent
  int PageBuffers = 0;    // 0: not sent
};

// The service parameter blocks (exposed for tests).
std::string BuildServiceAttachBlock(const std::vector<std::string>& params);
std::string BuildBackupBlock(const BackupRequest& request);
std::string BuildRestoreBlock(const RestoreRequest& request);
// Full shutdown, forced after `wait_seconds`: every attachment is closed,
// and none, not even the administrator's, is accepted until it is online.
std::string BuildShutdownBlock(std::string_view database, int wait_seconds);
// The properties option that brings a shut-down database online.
std::string BuildOnlineBlock(std::string_view database);

class ServiceManager {
 public:
  explicit ServiceManager(ClientLibrary& client);
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // The server: host name, optionally "/" and a port ("127.0.0.1/3050").
  // The attachment goes to ServerName + ":service_mgr" (TCP); an empty
  // ServerName attaches to the local services manager.
  std::string ServerName;
  // "user_name=..." and "password=..." lines (letter case of the names and
  // the prefix "isc_spb_" do not matter). An unknown name raises
  // EIBClientError "Unknown service parameter <name>" at Attach.
  std::vector<std::string> Params;

  // Raises when already attached.
  void Attach();
  // Does nothing when not attached. The attachment counts as closed
  // afterwards even when the client reports a failure, which is raised.
  void Detach();
  bool Attached() const { return handle_ != 0; }

  // Sends a request (one of the Build... blocks). Raises when not attached.
  void Start(std::string_view request);
  void StartBackup(const BackupRequest& request) { Start(BuildBackupBlock(request)); }
  void StartRestore(const RestoreRequest& request) { Start(BuildRestoreBlock(request)); }

  // Reads the output of the service started last until the server reports
  // its end, handing each line (without its line break) to `line`. Without
  // verbose output the read still waits for the end.
  void ReadOutput(const std::function<void(const std::string&)>& line);

  ClientLibrary& Client() { return client_; }

 private:
  ClientLibrary& client_;
  ApiHandle handle_{};
};

}  // namespace korvel::fb
