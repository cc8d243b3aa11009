// The client library's entry points as the layer calls them. Only the
// layer's own .cpp files include this header (it brings ibase.h, whose
// macros should not reach the rest of the program). Each pointer has the
// exact type of the function ibase.h declares, calling convention included,
// and is looked up by name when the library is loaded.
#pragma once

#include <ibase.h>

#include <type_traits>

#include "fb/client_library.h"

namespace korvel::fb {

static_assert(std::is_same_v<ApiHandle, FB_API_HANDLE>, "ApiHandle must match the client's handle type");

// Every entry point the layer resolves; the services entries serve the
// database-maintenance object (backup, restore, database properties).
#define KORVEL_FB_ENTRY_POINTS(X) \
  X(isc_attach_database)          \
  X(isc_detach_database)          \
  X(isc_drop_database)            \
  X(isc_database_info)            \
  X(isc_start_multiple)           \
  X(isc_commit_transaction)       \
  X(isc_commit_retaining)         \
  X(isc_rollback_transaction)     \
  X(isc_rollback_retaining)       \
  X(isc_dsql_allocate_statement)  \
  X(isc_dsql_prepare)             \
  X(isc_dsql_describe)            \
  X(isc_dsql_describe_bind)       \
  X(isc_dsql_sql_info)            \
  X(isc_dsql_execute)             \
  X(isc_dsql_execute2)            \
  X(isc_dsql_execute_immediate)   \
  X(isc_dsql_fetch)               \
  X(isc_dsql_free_statement)      \
  X(isc_open_blob2)               \
  X(isc_create_blob2)             \
  X(isc_get_segment)              \
  X(isc_put_segment)              \
  X(isc_close_blob)               \
  X(isc_cancel_blob)              \
  X(isc_service_attach)           \
  X(isc_service_detach)           \
  X(isc_service_start)            \
  X(isc_service_query)            \
  X(fb_interpret)                 \
  X(isc_sqlcode)                  \
  X(isc_vax_integer)

struct ClientApi {
#define KORVEL_FB_DECLARE(name) decltype(&::name) name = nullptr;
  KORVEL_FB_ENTRY_POINTS(KORVEL_FB_DECLARE)
#undef KORVEL_FB_DECLARE
};

// One entry of the vector isc_start_multiple takes: the database, the
// length and the bytes of its transaction parameter block.
struct TransactionBlock {
  isc_db_handle* database;
  int tpb_length;
  const char* tpb;
};

// Raises EIBInterBaseError with the vector's text and codes when the
// vector reports an error (its second element is not 0).
void CheckStatus(const ClientApi& api, const ISC_STATUS* status);

// The client's text for an error vector: fb_interpret's lines, the first as
// it stands and every further one with "-" in front, joined by CR LF (the
// way the client's own tools print it).
std::string StatusText(const ClientApi& api, const ISC_STATUS* status);

}  // namespace korvel::fb
