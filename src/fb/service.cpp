#include "fb/service.h"

#include "fb/client_api.h"
#include "host/text.h"

namespace korvel::fb {

static_assert(kBackupIgnoreChecksums == isc_spb_bkp_ignore_checksums);
static_assert(kBackupIgnoreLimbo == isc_spb_bkp_ignore_limbo);
static_assert(kBackupMetadataOnly == isc_spb_bkp_metadata_only);
static_assert(kBackupNoGarbageCollection == isc_spb_bkp_no_garbage_collect);
static_assert(kBackupOldMetadataDesc == isc_spb_bkp_old_descriptions);
static_assert(kBackupNonTransportable == isc_spb_bkp_non_transportable);
static_assert(kBackupConvertExtTables == isc_spb_bkp_convert);
static_assert(kRestoreDeactivateIndexes == isc_spb_res_deactivate_idx);
static_assert(kRestoreNoShadow == isc_spb_res_no_shadow);
static_assert(kRestoreNoValidityCheck == isc_spb_res_no_validity);
static_assert(kRestoreOneRelationAtATime == isc_spb_res_one_at_a_time);
static_assert(kRestoreReplace == isc_spb_res_replace);
static_assert(kRestoreCreateNewDB == isc_spb_res_create);
static_assert(kRestoreUseAllSpace == isc_spb_res_use_all_space);

namespace {

// The attach block's items carry a one-byte length.
void AppendShortString(std::string& block, char item, std::string_view value) {
  if (value.size() > 255) throw EIBClientError("Service parameter too long");
  block += item;
  block += static_cast<char>(value.size());
  block.append(value);
}

// The items of a request block carry a two-byte length, low byte first.
void AppendString(std::string& block, char item, std::string_view value) {
  if (value.size() > 0xFFFF) throw EIBClientError("Service parameter too long");
  block += item;
  block += static_cast<char>(value.size() & 0xFF);
  block += static_cast<char>((value.size() >> 8) & 0xFF);
  block.append(value);
}

void AppendNumber(std::string& block, char item, std::uint32_t value) {
  block += item;
  for (int i = 0; i < 4; ++i) block += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string StripPrefix(std::string_view name, std::string_view prefix) {
  std::string trimmed = Trim(name);
  if (StartsText(prefix, trimmed)) trimmed.erase(0, prefix.size());
  return LowerCase(trimmed);
}

int ReadLength(const char* p) {
  return static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8);
}

}  // namespace

std::string ServerPart(std::string_view connection) {
  const std::size_t colon = connection.find(':');
  if (colon == std::string_view::npos || colon < 2) return {};
  return std::string(connection.substr(0, colon));
}

std::string BuildServiceAttachBlock(const std::vector<std::string>& params) {
  std::string block;
  block += static_cast<char>(isc_spb_version);
  block += static_cast<char>(isc_spb_current_version);
  for (const std::string& line : params) {
    if (Trim(line).empty()) continue;
    const std::size_t eq = line.find('=');
    const std::string name = StripPrefix(line.substr(0, eq), "isc_spb_");
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (name == "user_name" || name == "user") {
      AppendShortString(block, isc_spb_user_name, value);
    } else if (name == "password") {
      AppendShortString(block, isc_spb_password, value);
    } else {
      throw EIBClientError("Unknown service parameter " + Trim(line.substr(0, eq)));
    }
  }
  return block;
}

// isc_action_svc_backup, the database, each backup file, the options and
// the verbose switch.
std::string BuildBackupBlock(const BackupRequest& request) {
  std::string block(1, static_cast<char>(isc_action_svc_backup));
  AppendString(block, isc_spb_dbname, request.Database);
  for (const std::string& file : request.BackupFiles) AppendString(block, isc_spb_bkp_file, file);
  if (request.BlockingFactor > 0)
    AppendNumber(block, isc_spb_bkp_factor, static_cast<std::uint32_t>(request.BlockingFactor));
  AppendNumber(block, isc_spb_options, request.Options);
  if (request.Verbose) block += static_cast<char>(isc_spb_verbose);
  return block;
}

// isc_action_svc_restore: the backup files first, then the database files
// (the server takes them in this order), page size and buffers, options.
std::string BuildRestoreBlock(const RestoreRequest& request) {
  std::string block(1, static_cast<char>(isc_action_svc_restore));
  for (const std::string& file : request.BackupFiles) AppendString(block, isc_spb_bkp_file, file);
  for (const std::string& file : request.DatabaseFiles) AppendString(block, isc_spb_dbname, file);
  if (request.PageSize > 0) AppendNumber(block, isc_spb_res_page_size, static_cast<std::uint32_t>(request.PageSize));
  if (request.PageBuffers > 0)
    AppendNumber(block, isc_spb_res_buffers, static_cast<std::uint32_t>(request.PageBuffers));
  AppendNumber(block, isc_spb_options, request.Options);
  if (request.Verbose) block += static_cast<char>(isc_spb_verbose);
  return block;
}

std::string BuildShutdownBlock(std::string_view database, int wait_seconds) {
  std::string block(1, static_cast<char>(isc_action_svc_properties));
  AppendString(block, isc_spb_dbname, database);
  block += static_cast<char>(isc_spb_prp_shutdown_mode);
  block += static_cast<char>(isc_spb_prp_sm_full);
  AppendNumber(block, isc_spb_prp_force_shutdown, static_cast<std::uint32_t>(wait_seconds));
  return block;
}

std::string BuildOnlineBlock(std::string_view database) {
  std::string block(1, static_cast<char>(isc_action_svc_properties));
  AppendString(block, isc_spb_dbname, database);
  AppendNumber(block, isc_spb_options, isc_spb_prp_db_online);
  return block;
}

ServiceManager::ServiceManager(ClientLibrary& client) : client_(client) {}

ServiceManager::~ServiceManager() {
  try {
    Detach();
  } catch (const Exception&) {
    // The attachment is gone either way; a destructor must not throw.
  }
}

void ServiceManager::Attach() {
  if (Attached()) throw EIBClientError("Service already attached");
  const ClientApi& api = client_.Api();
  const std::string name = ServerName.empty() ? "service_mgr" : ServerName + ":service_mgr";
  const std::string spb = BuildServiceAttachBlock(Params);
  ISC_STATUS_ARRAY status{};
  api.isc_service_attach(status, static_cast<unsigned short>(name.size()), name.c_str(), &handle_,
                         static_cast<unsigned short>(spb.size()), spb.data());
  if (status[1] != 0) handle_ = 0;
  CheckStatus(api, status);
}

void ServiceManager::Detach() {
  if (!Attached()) return;
  const ClientApi& api = client_.Api();
  ISC_STATUS_ARRAY status{};
  api.isc_service_detach(status, &handle_);
  handle_ = 0;
  CheckStatus(api, status);
}

void ServiceManager::Start(std::string_view request) {
  if (!Attached()) throw EIBClientError("Service not attached");
  if (request.size() > 0xFFFF) throw EIBClientError("Service request too long");
  const ClientApi& api = client_.Api();
  ISC_STATUS_ARRAY status{};
  api.isc_service_start(status, &handle_, nullptr, static_cast<unsigned short>(request.size()), request.data());
  CheckStatus(api, status);
}

// isc_info_svc_to_eof returns as much output as the buffer holds, in one
// cluster: the item, a two-byte length and the bytes, followed by
// isc_info_truncated while more is to come. The server's lines are cut at
// arbitrary points between answers, so a partial line is carried over. The
// output has ended when an answer brings nothing and is not truncated.
void ServiceManager::ReadOutput(const std::function<void(const std::string&)>& line) {
  if (!Attached()) throw EIBClientError("Service not attached");
  const ClientApi& api = client_.Api();
  const char request[] = {isc_info_svc_to_eof};
  std::vector<char> buffer(32000);
  std::string pending;
  auto emit_lines = [&](bool flush) {
    std::size_t start = 0;
    for (std::size_t eol; (eol = pending.find('\n', start)) != std::string::npos; start = eol + 1) {
      std::string text = pending.substr(start, eol - start);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      line(text);
    }
    pending.erase(0, start);
    if (flush && !pending.empty()) {
      line(pending);
      pending.clear();
    }
  };
  for (;;) {
    ISC_STATUS_ARRAY status{};
    api.isc_service_query(status, &handle_, nullptr, 0, nullptr, sizeof request, request,
                          static_cast<unsigned short>(buffer.size()), buffer.data());
    CheckStatus(api, status);
    const char* p = buffer.data();
    const char* const end = buffer.data() + buffer.size();
    int received = 0;
    bool more = false;
    while (p < end && *p != isc_info_end) {
      const char item = *p++;
      if (item == isc_info_svc_to_eof) {
        if (end - p < 2) break;
        const int length = ReadLength(p);
        p += 2;
        if (length > end - p) throw EIBClientError("Service answer damaged");
        pending.append(p, static_cast<std::size_t>(length));
        p += length;
        received += length;
      } else if (item == isc_info_truncated || item == isc_info_data_not_ready) {
        more = true;
      } else if (item == isc_info_svc_timeout) {
        more = true;
      } else {
        throw EIBClientError("Unexpected service answer item " + std::to_string(static_cast<unsigned char>(item)));
      }
    }
    emit_lines(false);
    if (received == 0 && !more) break;
  }
  emit_lines(true);
}

}  // namespace korvel::fb
