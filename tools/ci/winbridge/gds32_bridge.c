/*
 * For the tests only: a Winelib DLL that stands in for the Windows Firebird
 * client (gds32.dll, fbclient.dll) under 64-bit wine. Every entry point the
 * utility loads is exported with the Windows calling convention and goes
 * to the same function of this machine's Linux client, libfbclient.so.2,
 * so that the Windows build talks to the real Firebird server.
 *
 * The Windows program names database and backup files by Windows paths in
 * Windows-1251 ("Z:\tmp\...", "C:\users\..."), as a Windows server would
 * open them; the Linux server opens POSIX paths in UTF-8. The bridge
 * translates the path form and the encoding where a file name crosses:
 * the connection string of an attachment, the literal of CREATE DATABASE
 * and the file items of a service request. This translation exists for
 * the tests under wine alone; nothing of the kind is in the shipped
 * program, which finds a real Windows client on a Windows server.
 *
 * Types across the boundary: the Windows side is LLP64 (long is 32 bits),
 * this side LP64. The client's header keeps every type of these calls the
 * same size on both (ISC_STATUS is intptr_t, ISC_LONG 32 bits, handles
 * unsigned int, XSQLDA of 32-bit ISC_LONG and 64-bit pointers); the
 * assertions below hold this side to the layout the Windows side has.
 */
#include <ctype.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

/* The Linux client's declarations, with the Linux calling convention:
   winegcc defines the Windows macros that would make ibase.h declare them
   __stdcall. */
#pragma push_macro("WIN32")
#pragma push_macro("_WIN32")
#pragma push_macro("__WIN32__")
#undef WIN32
#undef _WIN32
#undef __WIN32__
#include <ibase.h>
#pragma pop_macro("WIN32")
#pragma pop_macro("_WIN32")
#pragma pop_macro("__WIN32__")

#include <windef.h>
#include <winbase.h>
#include <winnls.h>

_Static_assert(sizeof(ISC_STATUS) == 8, "ISC_STATUS is 64-bit on Win64");
_Static_assert(sizeof(ISC_LONG) == 4 && sizeof(ISC_ULONG) == 4, "ISC_LONG is 32-bit on Win64");
_Static_assert(sizeof(FB_API_HANDLE) == 4, "handles are unsigned int on Win64");
_Static_assert(sizeof(ISC_QUAD) == 8 && sizeof(ISC_INT64) == 8, "quad and int64");
_Static_assert(sizeof(XSQLVAR) == 160 && offsetof(XSQLVAR, sqldata) == 8 && offsetof(XSQLVAR, sqlind) == 16,
               "XSQLVAR as on Win64");
_Static_assert(sizeof(XSQLDA) == 184 && offsetof(XSQLDA, sqlvar) == 24, "XSQLDA as on Win64");

#define BRIDGE __attribute__((ms_abi))

/* ---- Path translation (tests under wine only) -------------------------- */

/* Whether `p` starts with a drive path: a letter, ':', and '\' or '/'. */
static int IsDrivePath(const char* p, size_t length) {
  return length >= 3 && isalpha((unsigned char)p[0]) && p[1] == ':' && (p[2] == '\\' || p[2] == '/');
}

/* The POSIX path (UTF-8) of the Windows path `windows` (Windows-1251,
   `length` bytes), malloc'ed; null when wine cannot map it. */
static char* UnixPath(const char* windows, size_t length) {
  WCHAR wide[4096];
  int n = MultiByteToWideChar(1251, 0, windows, (int)length, wide, 4095);
  if (n <= 0) return NULL;
  wide[n] = 0;
  char* mapped = wine_get_unix_file_name(wide);
  if (mapped == NULL) return NULL;
  char* copy = strdup(mapped);
  HeapFree(GetProcessHeap(), 0, mapped);
  return copy;
}

/* A connection string with a drive path at its file part: "[server:]X:\...".
   Returns the translated string (malloc'ed) or null to keep `name`. */
static char* TranslateConnection(const char* name, size_t length) {
  size_t path_at = 0;
  if (!IsDrivePath(name, length)) {
    const char* colon = memchr(name, ':', length);
    if (colon == NULL) return NULL;
    path_at = (size_t)(colon - name) + 1;
    if (!IsDrivePath(name + path_at, length - path_at)) return NULL;
  }
  char* path = UnixPath(name + path_at, length - path_at);
  if (path == NULL) return NULL;
  char* result = malloc(path_at + strlen(path) + 1);
  memcpy(result, name, path_at);
  strcpy(result + path_at, path);
  free(path);
  return result;
}

/* ---- Plain forwards ---------------------------------------------------- */

#define FORWARD(type, name, params, args) \
  type BRIDGE bridge_##name params { return name args; }

FORWARD(ISC_STATUS, isc_detach_database, (ISC_STATUS* s, isc_db_handle* db), (s, db))
FORWARD(ISC_STATUS, isc_drop_database, (ISC_STATUS* s, isc_db_handle* db), (s, db))
FORWARD(ISC_STATUS, isc_database_info,
        (ISC_STATUS* s, isc_db_handle* db, short il, const ISC_SCHAR* items, short bl, ISC_SCHAR* buffer),
        (s, db, il, items, bl, buffer))
FORWARD(ISC_STATUS, isc_start_multiple, (ISC_STATUS* s, isc_tr_handle* tr, short count, void* teb),
        (s, tr, count, teb))
FORWARD(ISC_STATUS, isc_commit_transaction, (ISC_STATUS* s, isc_tr_handle* tr), (s, tr))
FORWARD(ISC_STATUS, isc_commit_retaining, (ISC_STATUS* s, isc_tr_handle* tr), (s, tr))
FORWARD(ISC_STATUS, isc_rollback_transaction, (ISC_STATUS* s, isc_tr_handle* tr), (s, tr))
FORWARD(ISC_STATUS, isc_rollback_retaining, (ISC_STATUS* s, isc_tr_handle* tr), (s, tr))
FORWARD(ISC_STATUS, isc_dsql_allocate_statement, (ISC_STATUS* s, isc_db_handle* db, isc_stmt_handle* st),
        (s, db, st))
FORWARD(ISC_STATUS, isc_dsql_prepare,
        (ISC_STATUS* s, isc_tr_handle* tr, isc_stmt_handle* st, unsigned short l, const ISC_SCHAR* sql,
         unsigned short dialect, XSQLDA* da),
        (s, tr, st, l, sql, dialect, da))
FORWARD(ISC_STATUS, isc_dsql_describe, (ISC_STATUS* s, isc_stmt_handle* st, unsigned short v, XSQLDA* da),
        (s, st, v, da))
FORWARD(ISC_STATUS, isc_dsql_describe_bind, (ISC_STATUS* s, isc_stmt_handle* st, unsigned short v, XSQLDA* da),
        (s, st, v, da))
FORWARD(ISC_STATUS, isc_dsql_sql_info,
        (ISC_STATUS* s, isc_stmt_handle* st, short il, const ISC_SCHAR* items, short bl, ISC_SCHAR* buffer),
        (s, st, il, items, bl, buffer))
FORWARD(ISC_STATUS, isc_dsql_execute,
        (ISC_STATUS* s, isc_tr_handle* tr, isc_stmt_handle* st, unsigned short v, const XSQLDA* da),
        (s, tr, st, v, da))
FORWARD(ISC_STATUS, isc_dsql_execute2,
        (ISC_STATUS* s, isc_tr_handle* tr, isc_stmt_handle* st, unsigned short v, const XSQLDA* in,
         const XSQLDA* out),
        (s, tr, st, v, in, out))
FORWARD(ISC_STATUS, isc_dsql_fetch, (ISC_STATUS* s, isc_stmt_handle* st, unsigned short v, const XSQLDA* da),
        (s, st, v, da))
FORWARD(ISC_STATUS, isc_dsql_free_statement, (ISC_STATUS* s, isc_stmt_handle* st, unsigned short option),
        (s, st, option))
FORWARD(ISC_STATUS, isc_open_blob2,
        (ISC_STATUS* s, isc_db_handle* db, isc_tr_handle* tr, isc_blob_handle* blob, ISC_QUAD* id,
         ISC_USHORT bl, const ISC_UCHAR* bpb),
        (s, db, tr, blob, id, bl, bpb))
FORWARD(ISC_STATUS, isc_create_blob2,
        (ISC_STATUS* s, isc_db_handle* db, isc_tr_handle* tr, isc_blob_handle* blob, ISC_QUAD* id, short bl,
         const ISC_SCHAR* bpb),
        (s, db, tr, blob, id, bl, bpb))
FORWARD(ISC_STATUS, isc_get_segment,
        (ISC_STATUS* s, isc_blob_handle* blob, unsigned short* got, unsigned short size, ISC_SCHAR* buffer),
        (s, blob, got, size, buffer))
FORWARD(ISC_STATUS, isc_put_segment,
        (ISC_STATUS* s, isc_blob_handle* blob, unsigned short size, const ISC_SCHAR* buffer),
        (s, blob, size, buffer))
FORWARD(ISC_STATUS, isc_close_blob, (ISC_STATUS* s, isc_blob_handle* blob), (s, blob))
FORWARD(ISC_STATUS, isc_cancel_blob, (ISC_STATUS* s, isc_blob_handle* blob), (s, blob))
FORWARD(ISC_STATUS, isc_service_attach,
        (ISC_STATUS* s, unsigned short l, const ISC_SCHAR* name, isc_svc_handle* svc, unsigned short bl,
         const ISC_SCHAR* spb),
        (s, l, name, svc, bl, spb))
FORWARD(ISC_STATUS, isc_service_detach, (ISC_STATUS* s, isc_svc_handle* svc), (s, svc))
FORWARD(ISC_STATUS, isc_service_query,
        (ISC_STATUS* s, isc_svc_handle* svc, isc_resv_handle* resv, unsigned short sl, const ISC_SCHAR* spb,
         unsigned short rl, const ISC_SCHAR* request, unsigned short bl, ISC_SCHAR* buffer),
        (s, svc, resv, sl, spb, rl, request, bl, buffer))
FORWARD(ISC_LONG, fb_interpret, (ISC_SCHAR* buffer, unsigned int size, const ISC_STATUS** vector),
        (buffer, size, vector))
FORWARD(ISC_LONG, isc_sqlcode, (const ISC_STATUS* s), (s))
FORWARD(ISC_LONG, isc_vax_integer, (const ISC_SCHAR* p, short length), (p, length))

/* ---- Forwards that translate file names ------------------------------ */

ISC_STATUS BRIDGE bridge_isc_attach_database(ISC_STATUS* s, short l, const ISC_SCHAR* name, isc_db_handle* db,
                                             short dl, const ISC_SCHAR* dpb) {
  size_t length = l != 0 ? (size_t)(unsigned short)l : strlen(name);
  char* unix_name = TranslateConnection(name, length);
  if (unix_name == NULL) return isc_attach_database(s, l, name, db, dl, dpb);
  ISC_STATUS result = isc_attach_database(s, (short)strlen(unix_name), unix_name, db, dl, dpb);
  free(unix_name);
  return result;
}

/* CREATE DATABASE 'name' ...: the statement the client runs without an
   attachment. The literal is rewritten with the translated name. */
static char* TranslateCreateDatabase(const char* sql, size_t length) {
  static const char kCreate[] = "CREATE DATABASE '";
  const size_t prefix = sizeof kCreate - 1;
  if (length < prefix || strncasecmp(sql, kCreate, prefix) != 0) return NULL;
  /* The literal's text, with '' for a quote inside. */
  char* literal = malloc(length);
  size_t n = 0, at = prefix;
  for (; at < length; ++at) {
    if (sql[at] == '\'') {
      if (at + 1 < length && sql[at + 1] == '\'') {
        literal[n++] = '\'';
        ++at;
        continue;
      }
      break;
    }
    literal[n++] = sql[at];
  }
  char* unix_name = at < length ? TranslateConnection(literal, n) : NULL;
  free(literal);
  if (unix_name == NULL) return NULL;
  size_t quotes = 0;
  for (const char* p = unix_name; *p; ++p) quotes += *p == '\'';
  char* result = malloc(prefix + strlen(unix_name) + quotes + (length - at) + 1);
  memcpy(result, sql, prefix);
  char* out = result + prefix;
  for (const char* p = unix_name; *p; ++p) {
    *out++ = *p;
    if (*p == '\'') *out++ = '\'';
  }
  memcpy(out, sql + at, length - at);
  out[length - at] = 0;
  free(unix_name);
  return result;
}

ISC_STATUS BRIDGE bridge_isc_dsql_execute_immediate(ISC_STATUS* s, isc_db_handle* db, isc_tr_handle* tr,
                                                    unsigned short l, const ISC_SCHAR* sql, unsigned short dialect,
                                                    const XSQLDA* da) {
  char* translated = NULL;
  if (db != NULL && *db == 0) translated = TranslateCreateDatabase(sql, l != 0 ? l : strlen(sql));
  if (translated == NULL) return isc_dsql_execute_immediate(s, db, tr, l, sql, dialect, da);
  ISC_STATUS result = isc_dsql_execute_immediate(s, db, tr, (unsigned short)strlen(translated), translated,
                                                 dialect, da);
  free(translated);
  return result;
}

/* The items of the service requests the utility sends (backup, restore,
   database properties): file names carry a two-byte length, numbers four
   bytes, a few flags one byte or none. Returns the size of the item's value
   after its tag, -1 for an item this bridge does not know. */
static int ItemKind(unsigned char action, unsigned char tag) {
  enum { kFile = -2, kUnknown = -1 };
  if (tag == isc_spb_dbname) return kFile;
  if (tag == isc_spb_options) return 4;
  if (tag == isc_spb_verbose) return 0;
  switch (action) {
    case isc_action_svc_backup:
      if (tag == isc_spb_bkp_file) return kFile;
      if (tag == isc_spb_bkp_factor || tag == isc_spb_bkp_length) return 4;
      break;
    case isc_action_svc_restore:
      if (tag == isc_spb_bkp_file) return kFile;
      if (tag == isc_spb_res_buffers || tag == isc_spb_res_page_size || tag == isc_spb_res_length) return 4;
      if (tag == isc_spb_res_access_mode) return 1;
      break;
    case isc_action_svc_properties:
      if (tag == isc_spb_prp_force_shutdown || tag == isc_spb_prp_page_buffers || tag == isc_spb_prp_sweep_interval)
        return 4;
      if (tag == isc_spb_prp_shutdown_mode || tag == isc_spb_prp_online_mode) return 1;
      break;
  }
  return kUnknown;
}

/* The request block with its file names translated (malloc'ed, its size in
   *out_length), or null to send `spb` as it is. */
static char* TranslateServiceRequest(const char* spb, size_t length, size_t* out_length) {
  if (length == 0) return NULL;
  const unsigned char action = (unsigned char)spb[0];
  size_t capacity = length + 1;
  char* out = malloc(capacity);
  size_t o = 0, at = 1;
  int changed = 0;
  out[o++] = spb[0];
  while (at < length) {
    const unsigned char tag = (unsigned char)spb[at];
    const int kind = ItemKind(action, tag);
    if (kind == -1) break;
    if (kind >= 0) {
      if (at + 1 + (size_t)kind > length) break;
      memcpy(out + o, spb + at, 1 + (size_t)kind);
      o += 1 + (size_t)kind;
      at += 1 + (size_t)kind;
      continue;
    }
    if (at + 3 > length) break;
    size_t n = (unsigned char)spb[at + 1] | ((size_t)(unsigned char)spb[at + 2] << 8);
    if (at + 3 + n > length) break;
    char* unix_name = TranslateConnection(spb + at + 3, n);
    const char* value = unix_name != NULL ? unix_name : spb + at + 3;
    const size_t value_length = unix_name != NULL ? strlen(unix_name) : n;
    changed |= unix_name != NULL;
    if (o + 3 + value_length + (length - at) > capacity) {
      capacity = o + 3 + value_length + (length - at);
      out = realloc(out, capacity);
    }
    out[o++] = (char)tag;
    out[o++] = (char)(value_length & 0xFF);
    out[o++] = (char)((value_length >> 8) & 0xFF);
    memcpy(out + o, value, value_length);
    o += value_length;
    at += 3 + n;
    free(unix_name);
  }
  if (at != length || !changed || o > 0xFFFF) {
    free(out);
    return NULL;
  }
  *out_length = o;
  return out;
}

ISC_STATUS BRIDGE bridge_isc_service_start(ISC_STATUS* s, isc_svc_handle* svc, isc_resv_handle* resv,
                                           unsigned short l, const ISC_SCHAR* spb) {
  size_t translated_length = 0;
  char* translated = TranslateServiceRequest(spb, l, &translated_length);
  if (translated == NULL) return isc_service_start(s, svc, resv, l, spb);
  ISC_STATUS result = isc_service_start(s, svc, resv, (unsigned short)translated_length, translated);
  free(translated);
  return result;
}
