// Every entry point of the client, called directly with a real request to
// the test server: on Windows this proves whatever client the process
// loads (under wine, the bridge to the Linux client) passes each call with
// its arguments and results intact, file names included.
#include "fb/client_api.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "fb/database.h"
#include "fb/service.h"
#include "fb/testing/test_server.h"
#include "host/cp1251.h"
#include "host/testing/temp_dir.h"

namespace korvel::fb {
namespace {

using namespace korvel::literals;

// The client's structures as both sides of a 64-bit process lay them out.
static_assert(sizeof(void*) != 8 || (sizeof(XSQLVAR) == 160 && offsetof(XSQLVAR, sqldata) == 8 &&
                                     offsetof(XSQLDA, sqlvar) == 24 && sizeof(ISC_LONG) == 4));

// An XSQLDA of `n` variables.
struct Descriptor {
  explicit Descriptor(int n) : bytes(XSQLDA_LENGTH(n)) {
    da()->version = SQLDA_VERSION1;
    da()->sqln = static_cast<ISC_SHORT>(n);
  }
  XSQLDA* da() { return reinterpret_cast<XSQLDA*>(bytes.data()); }
  XSQLVAR& var(int i) { return da()->sqlvar[i]; }
  std::vector<char> bytes;
};

TEST(ClientApiTest, EveryEntryPointAnswersARealCall) {
  KORVEL_REQUIRE_FB_SERVER();
  const ClientApi& api = testing::TestClient()->Api();
  std::set<std::string> called;
  ISC_STATUS_ARRAY status{};
  // Calls api.name, records it, and expects no error.
#define CALL(name, ...)                                                \
  do {                                                                 \
    called.insert(#name);                                              \
    api.name(status, __VA_ARGS__);                                     \
    ASSERT_EQ(status[1], 0) << #name << ": " << StatusText(api, status); \
  } while (false)

  // A Cyrillic directory: the file names reach the server in its spelling.
  korvel::testing::TempDir dir;
  testing::MakeServerAccessible(dir.path());
  const std::string sub = dir / "База"_cp;
  korvel::testing::SystemHost().CreateDirectory(sub);
  testing::MakeServerAccessible(sub);
  const std::string path = host::JoinPath(sub, "api.fdb");
  const std::string connection = testing::kServerPrefix + host::ToFileNameEncoding(path);

  isc_db_handle db = 0;
  isc_tr_handle tr = 0;
  const std::string create = "CREATE DATABASE '" + connection +
                             "' USER 'SYSDBA' PASSWORD 'pinecrest' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1251";
  CALL(isc_dsql_execute_immediate, &db, &tr, 0, create.c_str(), 3, nullptr);
  CALL(isc_detach_database, &db);
  ASSERT_TRUE(korvel::testing::SystemHost().FileExists(path));

  const std::string dpb = BuildConnectionBlock({"lc_ctype=WIN1251", "user_name=SYSDBA", "password=pinecrest"}, 3);
  CALL(isc_attach_database, static_cast<short>(connection.size()), connection.c_str(), &db,
       static_cast<short>(dpb.size()), dpb.data());
  const char info_items[] = {isc_info_page_size, isc_info_end};
  char info[64] = {};
  CALL(isc_database_info, &db, sizeof info_items, info_items, sizeof info, info);
  called.insert("isc_vax_integer");
  ASSERT_EQ(info[0], isc_info_page_size);
  EXPECT_EQ(api.isc_vax_integer(info + 3, static_cast<short>(api.isc_vax_integer(info + 1, 2))), 8192);

  const char tpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_concurrency, isc_tpb_wait};
  TransactionBlock block{&db, sizeof tpb, tpb};
  CALL(isc_start_multiple, &tr, 1, &block);
  CALL(isc_dsql_execute_immediate, &db, &tr, 0, "create table T (ID integer, NAME varchar(20), B blob sub_type text)",
       3, nullptr);
  CALL(isc_commit_retaining, &tr);

  // A blob written in two segments, and one cancelled.
  isc_blob_handle blob = 0;
  ISC_QUAD blob_id{}, dropped_id{};
  CALL(isc_create_blob2, &db, &tr, &blob, &blob_id, 0, nullptr);
  CALL(isc_put_segment, &blob, 6, "Привет"_cp.c_str());
  CALL(isc_put_segment, &blob, 4, " мир"_cp.c_str());
  CALL(isc_close_blob, &blob);
  CALL(isc_create_blob2, &db, &tr, &blob, &dropped_id, 0, nullptr);
  CALL(isc_cancel_blob, &blob);

  // A row through parameters.
  isc_stmt_handle stmt = 0;
  CALL(isc_dsql_allocate_statement, &db, &stmt);
  const char* insert = "insert into T (ID, NAME, B) values (?, ?, ?)";
  CALL(isc_dsql_prepare, &tr, &stmt, 0, insert, 3, nullptr);
  Descriptor in(3);
  CALL(isc_dsql_describe_bind, &stmt, SQLDA_VERSION1, in.da());
  ASSERT_EQ(in.da()->sqld, 3);
  ISC_LONG id = 1;
  const std::string name = "Аптека"_cp;
  std::vector<char> varchar(2 + name.size());
  varchar[0] = static_cast<char>(name.size());
  name.copy(varchar.data() + 2, name.size());
  void* values[] = {&id, varchar.data(), &blob_id};
  const short types[] = {SQL_LONG, SQL_VARYING, SQL_BLOB};
  for (int i = 0; i < 3; ++i) {
    in.var(i).sqltype = types[i];
    in.var(i).sqldata = static_cast<ISC_SCHAR*>(values[i]);
    in.var(i).sqlind = nullptr;
  }
  CALL(isc_dsql_execute, &tr, &stmt, SQLDA_VERSION1, in.da());
  CALL(isc_commit_retaining, &tr);
  // A second row, undone; then one inserted with its value returned.
  CALL(isc_dsql_execute_immediate, &db, &tr, 0, "insert into T (ID) values (99)", 3, nullptr);
  CALL(isc_rollback_retaining, &tr);
  CALL(isc_dsql_prepare, &tr, &stmt, 0, "insert into T (ID) values (2) returning ID", 3, nullptr);
  Descriptor returned(1);
  CALL(isc_dsql_describe, &stmt, SQLDA_VERSION1, returned.da());
  ISC_LONG returned_id = 0;
  short returned_null = 0;
  returned.var(0).sqltype = SQL_LONG + 1;
  returned.var(0).sqldata = reinterpret_cast<ISC_SCHAR*>(&returned_id);
  returned.var(0).sqlind = &returned_null;
  CALL(isc_dsql_execute2, &tr, &stmt, SQLDA_VERSION1, nullptr, returned.da());
  EXPECT_EQ(returned_id, 2);

  // Reading the first row back: the statement's type, the columns, the blob.
  CALL(isc_dsql_prepare, &tr, &stmt, 0, "select ID, NAME, B from T where ID = 1", 3, nullptr);
  const char type_item[] = {isc_info_sql_stmt_type};
  char type_info[16] = {};
  CALL(isc_dsql_sql_info, &stmt, sizeof type_item, type_item, sizeof type_info, type_info);
  EXPECT_EQ(api.isc_vax_integer(type_info + 3, static_cast<short>(api.isc_vax_integer(type_info + 1, 2))),
            isc_info_sql_stmt_select);
  Descriptor out(3);
  CALL(isc_dsql_describe, &stmt, SQLDA_VERSION1, out.da());
  ISC_LONG got_id = 0;
  std::vector<char> got_name(2 + 20 * 1);
  ISC_QUAD got_blob{};
  short nulls[3] = {};
  void* targets[] = {&got_id, got_name.data(), &got_blob};
  for (int i = 0; i < 3; ++i) {
    out.var(i).sqltype = static_cast<short>(types[i] + 1);
    out.var(i).sqldata = static_cast<ISC_SCHAR*>(targets[i]);
    out.var(i).sqlind = &nulls[i];
  }
  CALL(isc_dsql_execute, &tr, &stmt, SQLDA_VERSION1, nullptr);
  called.insert("isc_dsql_fetch");
  ASSERT_EQ(api.isc_dsql_fetch(status, &stmt, SQLDA_VERSION1, out.da()), 0) << StatusText(api, status);
  EXPECT_EQ(got_id, 1);
  EXPECT_EQ(std::string(got_name.data() + 2, static_cast<unsigned char>(got_name[0])), name);
  EXPECT_EQ(api.isc_dsql_fetch(status, &stmt, SQLDA_VERSION1, out.da()), 100);
  CALL(isc_open_blob2, &db, &tr, &blob, &got_blob, 0, nullptr);
  std::string text;
  for (;;) {
    char segment[64];
    unsigned short got = 0;
    called.insert("isc_get_segment");
    const ISC_STATUS result = api.isc_get_segment(status, &blob, &got, sizeof segment, segment);
    if (result != 0 && result != isc_segment) break;
    text.append(segment, got);
  }
  EXPECT_EQ(status[1], isc_segstr_eof);
  EXPECT_EQ(text, "Привет мир"_cp);
  CALL(isc_close_blob, &blob);
  CALL(isc_dsql_free_statement, &stmt, DSQL_drop);
  CALL(isc_commit_transaction, &tr);

  // The server's backup of the database into the same directory.
  const std::string backup = host::JoinPath(sub, "копия.fbk"_cp);
  isc_svc_handle svc = 0;
  const std::string spb = BuildServiceAttachBlock({"user_name=SYSDBA", "password=pinecrest"});
  const std::string manager = std::string(testing::kServerPrefix) + "service_mgr";
  CALL(isc_service_attach, 0, manager.c_str(), &svc, static_cast<unsigned short>(spb.size()), spb.data());
  BackupRequest request;
  request.Database = host::ToFileNameEncoding(path);
  request.BackupFiles = {host::ToFileNameEncoding(backup)};
  const std::string start = BuildBackupBlock(request);
  CALL(isc_service_start, &svc, nullptr, static_cast<unsigned short>(start.size()), start.data());
  const char line_item[] = {isc_info_svc_line};
  for (int lines = 0; lines < 10000; ++lines) {
    char answer[1024] = {};
    CALL(isc_service_query, &svc, nullptr, 0, nullptr, sizeof line_item, line_item, sizeof answer, answer);
    if (answer[0] == isc_info_svc_line && api.isc_vax_integer(answer + 1, 2) == 0) break;
  }
  CALL(isc_service_detach, &svc);
  EXPECT_TRUE(korvel::testing::SystemHost().FileExists(backup));

  // An error, read as the program reads one.
  called.insert("isc_rollback_transaction");
  api.isc_rollback_transaction(status, &tr);
  EXPECT_NE(status[1], 0);
  called.insert("isc_sqlcode");
  EXPECT_NE(api.isc_sqlcode(status), 0);
  called.insert("fb_interpret");
  EXPECT_FALSE(StatusText(api, status).empty());

  CALL(isc_drop_database, &db);
  EXPECT_FALSE(korvel::testing::SystemHost().FileExists(path));
#undef CALL

  std::set<std::string> all;
#define KORVEL_FB_NAME(name) all.insert(#name);
  KORVEL_FB_ENTRY_POINTS(KORVEL_FB_NAME)
#undef KORVEL_FB_NAME
  EXPECT_EQ(called, all);
}

}  // namespace
}  // namespace korvel::fb
