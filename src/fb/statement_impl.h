// The inside of a Statement, shared by statement.cpp (preparing, executing,
// fetching) and statement_values.cpp (fields and parameters): the client's
// descriptors, the storage each column and parameter binds, BLOB handles.
// Only those two files include it.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "fb/client_api.h"
#include "fb/statement.h"

namespace korvel::fb::statement_detail {

// An XSQLDA of a given capacity, in memory of the client's layout.
class Descriptor {
 public:
  Descriptor() = default;
  ~Descriptor() { std::free(area_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  void Reset(int capacity) {
    std::free(area_);
    area_ = static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(capacity < 1 ? 1 : capacity)));
    if (area_ == nullptr) throw std::bad_alloc();
    area_->version = SQLDA_VERSION1;
    area_->sqln = static_cast<ISC_SHORT>(capacity < 1 ? 1 : capacity);
  }
  XSQLDA* get() const { return area_; }
  int Count() const { return area_ == nullptr ? 0 : area_->sqld; }
  XSQLVAR& operator[](int index) const { return area_->sqlvar[index]; }

 private:
  XSQLDA* area_ = nullptr;
};

// Eight-byte aligned storage for one value.
using Buffer = std::vector<std::int64_t>;

inline void SizeBuffer(Buffer& buffer, std::size_t bytes) { buffer.assign(bytes / 8 + 1, 0); }

inline int BaseType(const XSQLVAR& var) { return var.sqltype & ~1; }

// Releases a BLOB handle that an exception left open.
class BlobHandle {
 public:
  explicit BlobHandle(const ClientApi& api) : api_(api) {}
  ~BlobHandle() {
    if (handle_ != 0) {
      ISC_STATUS_ARRAY status{};
      api_.isc_cancel_blob(status, &handle_);
    }
  }
  BlobHandle(const BlobHandle&) = delete;
  BlobHandle& operator=(const BlobHandle&) = delete;
  isc_blob_handle* get() { return &handle_; }
  void Close() {
    ISC_STATUS_ARRAY status{};
    api_.isc_close_blob(status, &handle_);
    if (status[1] != 0) handle_ = 0;  // a failed close leaves nothing to cancel
    CheckStatus(api_, status);
  }

 private:
  const ClientApi& api_;
  isc_blob_handle handle_ = 0;
};

inline constexpr std::size_t kSegmentSize = 32768;

}  // namespace korvel::fb::statement_detail

namespace korvel::fb {

using namespace statement_detail;

struct Column {
  std::string name;
  Buffer data;
  short indicator = 0;
};

struct Input {
  std::string name;
  XSQLVAR described{};  // the server's description, before any value changed it
  Buffer data;
  short indicator = -1;
  bool blob_pending = false;
  std::string blob_text;
};

struct Statement::Impl {
  Database* database = nullptr;
  Transaction* transaction = nullptr;
  isc_stmt_handle handle = 0;
  bool prepared = false;
  StatementType type = StatementType::kUnknown;
  Descriptor in, out;
  std::vector<Input> inputs;
  std::vector<Column> columns;
  bool cursor_open = false;
  bool has_row = false;

  const ClientApi& Api() const {
    if (database == nullptr) throw EIBClientError("Database not assigned");
    return database->Client().Api();
  }
  Transaction& Tr() const {
    if (transaction == nullptr) throw EIBClientError("Transaction not assigned");
    return *transaction;
  }
  void FreeHandle() {
    if (handle != 0 && database != nullptr && database->Connected()) {
      ISC_STATUS_ARRAY status{};
      database->Client().Api().isc_dsql_free_statement(status, &handle, DSQL_drop);
    }
    handle = 0;
    prepared = false;
    cursor_open = false;
    has_row = false;
    inputs.clear();
    columns.clear();
  }
  void CloseCursor() {
    has_row = false;
    if (!cursor_open) return;
    cursor_open = false;
    const ClientApi& api = Api();
    ISC_STATUS_ARRAY status{};
    api.isc_dsql_free_statement(status, &handle, DSQL_close);
    CheckStatus(api, status);
  }
  void Describe(const ClientApi& api, Descriptor& descriptor, bool bind) {
    ISC_STATUS_ARRAY status{};
    descriptor.Reset(1);
    auto describe = bind ? api.isc_dsql_describe_bind : api.isc_dsql_describe;
    describe(status, &handle, SQLDA_VERSION1, descriptor.get());
    CheckStatus(api, status);
    const int count = descriptor.get()->sqld;
    if (count > descriptor.get()->sqln) {
      descriptor.Reset(count);
      describe(status, &handle, SQLDA_VERSION1, descriptor.get());
      CheckStatus(api, status);
    }
  }
  StatementType QueryType(const ClientApi& api) {
    const char items[] = {isc_info_sql_stmt_type};
    char buffer[16] = {};
    ISC_STATUS_ARRAY status{};
    api.isc_dsql_sql_info(status, &handle, sizeof items, items, sizeof buffer, buffer);
    CheckStatus(api, status);
    if (buffer[0] != isc_info_sql_stmt_type) return StatementType::kUnknown;
    const short length = static_cast<short>(api.isc_vax_integer(buffer + 1, 2));
    return static_cast<StatementType>(api.isc_vax_integer(buffer + 3, length));
  }
  void BindColumns() {
    columns.assign(static_cast<std::size_t>(out.Count()), Column{});
    for (int i = 0; i < out.Count(); ++i) {
      XSQLVAR& var = out[i];
      Column& column = columns[static_cast<std::size_t>(i)];
      column.name.assign(var.aliasname, static_cast<std::size_t>(var.aliasname_length));
      const std::size_t size = static_cast<std::size_t>(var.sqllen) + (BaseType(var) == SQL_VARYING ? 2 : 0);
      SizeBuffer(column.data, size);
      var.sqldata = reinterpret_cast<ISC_SCHAR*>(column.data.data());
      var.sqlind = &column.indicator;
    }
  }
  void BindInputs(const std::vector<std::string>& names) {
    inputs.assign(static_cast<std::size_t>(in.Count()), Input{});
    for (int i = 0; i < in.Count(); ++i) {
      XSQLVAR& var = in[i];
      Input& input = inputs[static_cast<std::size_t>(i)];
      if (static_cast<std::size_t>(i) < names.size()) input.name = names[static_cast<std::size_t>(i)];
      input.described = var;
      SizeBuffer(input.data, static_cast<std::size_t>(var.sqllen) + 2);
      var.sqltype = static_cast<ISC_SHORT>(var.sqltype | 1);
      var.sqldata = reinterpret_cast<ISC_SCHAR*>(input.data.data());
      var.sqlind = &input.indicator;
    }
  }
  void WritePendingBlobs(const ClientApi& api) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      Input& input = inputs[i];
      if (!input.blob_pending) continue;
      BlobHandle blob(api);
      ISC_QUAD id{};
      ISC_STATUS_ARRAY status{};
      api.isc_create_blob2(status, database->Handle(), Tr().Handle(), blob.get(), &id, 0, nullptr);
      CheckStatus(api, status);
      for (std::size_t offset = 0; offset < input.blob_text.size(); offset += kSegmentSize) {
        const std::size_t length = std::min(kSegmentSize, input.blob_text.size() - offset);
        api.isc_put_segment(status, blob.get(), static_cast<unsigned short>(length),
                            input.blob_text.data() + offset);
        CheckStatus(api, status);
      }
      blob.Close();
      std::memcpy(input.data.data(), &id, sizeof id);
    }
  }
  std::string ReadBlob(const ISC_QUAD& id) const {
    const ClientApi& api = Api();
    BlobHandle blob(api);
    ISC_STATUS_ARRAY status{};
    ISC_QUAD blob_id = id;
    api.isc_open_blob2(status, database->Handle(), Tr().Handle(), blob.get(), &blob_id, 0, nullptr);
    CheckStatus(api, status);
    std::string text;
    char segment[kSegmentSize];
    for (;;) {
      unsigned short length = 0;
      const ISC_STATUS result = api.isc_get_segment(status, blob.get(), &length, sizeof segment - 1, segment);
      if (result == isc_segstr_eof) break;
      if (result != 0 && result != isc_segment) CheckStatus(api, status);
      text.append(segment, length);
    }
    blob.Close();
    return text;
  }
};

}  // namespace korvel::fb
