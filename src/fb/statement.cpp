#include "fb/statement.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "fb/client_api.h"
#include "fb/named_params.h"
#include "host/text.h"

namespace korvel::fb {

namespace {

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

void SizeBuffer(Buffer& buffer, std::size_t bytes) { buffer.assign(bytes / 8 + 1, 0); }

int BaseType(const XSQLVAR& var) { return var.sqltype & ~1; }

// Days between the client's day zero (17 November 1858) and the host's
// (30 December 1899).
constexpr int kDateOffset = 15018;
constexpr double kTimeUnitsPerDay = 86400.0 * ISC_TIME_SECONDS_PRECISION;

std::int64_t PowerOfTen(int exponent) {
  std::int64_t value = 1;
  while (exponent-- > 0) value *= 10;
  return value;
}

// A scaled integer as decimal text: digits after the separator as the
// scale says, trailing zeros dropped.
std::string ScaledToString(std::int64_t value, int scale) {
  if (scale >= 0) return IntToStr(value * PowerOfTen(scale));
  const bool negative = value < 0;
  const std::uint64_t magnitude =
      negative ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  const std::size_t places = static_cast<std::size_t>(-scale);
  if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
  std::string whole = digits.substr(0, digits.size() - places);
  std::string fraction = digits.substr(digits.size() - places);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  std::string text = negative ? "-" + whole : whole;
  if (!fraction.empty()) text += GlobalFormatSettings().decimal_separator + fraction;
  return text;
}

std::string DoubleToString(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  std::string text = buffer;
  for (char& c : text) {
    if (c == '.') c = GlobalFormatSettings().decimal_separator;
  }
  return text;
}

std::int32_t CheckedInt32(std::int64_t value) {
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    throw EIBClientError("Value " + IntToStr(value) + " out of range for an integer");
  }
  return static_cast<std::int32_t>(value);
}

std::int64_t RoundToInt64(double value) {
  if (!(std::fabs(value) < 9.2e18)) throw EIBClientError("Value out of range for an integer");
  return std::llround(value);
}

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

constexpr std::size_t kSegmentSize = 32768;

}  // namespace

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

// ---- Statement ----

Statement::Statement(Database& database, Transaction& transaction) : impl_(std::make_unique<Impl>()) {
  if (&transaction.DefaultDatabase() != &database) throw EIBClientError("Transaction belongs to another database");
  impl_->database = &database;
  impl_->transaction = &transaction;
  database.statements_.push_back(this);
}

Statement::~Statement() {
  if (impl_->database == nullptr) return;
  try {
    impl_->CloseCursor();
  } catch (const Exception&) {
    // Freeing the statement below closes the cursor on the server anyway.
  }
  impl_->FreeHandle();
  auto& list = impl_->database->statements_;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void Statement::Release() { impl_->FreeHandle(); }

void Statement::DatabaseGone() {
  impl_->FreeHandle();
  impl_->database = nullptr;
  impl_->transaction = nullptr;
}

void Statement::TransactionGone(Transaction& transaction) {
  if (impl_->transaction != &transaction) return;
  TransactionEnding(transaction);
  impl_->transaction = nullptr;
}

void Statement::TransactionEnding(Transaction& transaction) {
  if (impl_->transaction != &transaction) return;
  try {
    impl_->CloseCursor();
  } catch (const Exception&) {
    // Ending the transaction closes the cursor on the server as well.
  }
}

Database& Statement::GetDatabase() const {
  if (impl_->database == nullptr) throw EIBClientError("Database not assigned");
  return *impl_->database;
}

Transaction& Statement::GetTransaction() const { return impl_->Tr(); }

void Statement::Prepare(std::string_view sql, bool parse_params) {
  Impl& s = *impl_;
  const ClientApi& api = s.Api();
  if (!s.database->Connected()) throw EIBClientError("Database not connected");
  if (!s.Tr().InTransaction()) throw EIBClientError("Transaction is not active");
  s.CloseCursor();
  ParsedParams parsed;
  if (parse_params) {
    parsed = ParseNamedParams(sql);
  } else {
    parsed.sql = std::string(sql);
  }
  s.prepared = false;
  s.inputs.clear();
  s.columns.clear();
  ISC_STATUS_ARRAY status{};
  if (s.handle == 0) {
    api.isc_dsql_allocate_statement(status, s.database->Handle(), &s.handle);
    CheckStatus(api, status);
  }
  const unsigned short length =
      parsed.sql.size() < 0xFFFF ? static_cast<unsigned short>(parsed.sql.size()) : 0;
  api.isc_dsql_prepare(status, s.Tr().Handle(), &s.handle, length, parsed.sql.c_str(),
                       static_cast<unsigned short>(s.database->SQLDialect), nullptr);
  CheckStatus(api, status);
  s.type = s.QueryType(api);
  s.Describe(api, s.out, false);
  s.Describe(api, s.in, true);
  s.BindColumns();
  s.BindInputs(parsed.names);
  s.prepared = true;
}

bool Statement::Prepared() const { return impl_->prepared; }

StatementType Statement::Type() const { return impl_->type; }

void Statement::Free() { impl_->FreeHandle(); }

int Statement::ParamCount() const { return static_cast<int>(impl_->inputs.size()); }

const std::string& Statement::ParamName(int index) const {
  if (index < 0 || index >= ParamCount()) throw EIBClientError("Parameter index " + IntToStr(index) + " out of range");
  return impl_->inputs[static_cast<std::size_t>(index)].name;
}

Param Statement::ParamByName(std::string_view name) {
  std::vector<int> positions;
  for (int i = 0; i < ParamCount(); ++i) {
    if (!impl_->inputs[static_cast<std::size_t>(i)].name.empty() &&
        SameText(impl_->inputs[static_cast<std::size_t>(i)].name, name)) {
      positions.push_back(i);
    }
  }
  if (positions.empty()) throw EIBClientError("Parameter '" + std::string(name) + "' not found");
  return Param(*this, std::move(positions));
}

Param Statement::Params(int index) {
  if (index < 0 || index >= ParamCount()) throw EIBClientError("Parameter index " + IntToStr(index) + " out of range");
  return Param(*this, {index});
}

void Statement::Execute() {
  Impl& s = *impl_;
  if (!s.prepared) throw EIBClientError("Statement is not prepared");
  const ClientApi& api = s.Api();
  Transaction& transaction = s.Tr();
  if (!transaction.InTransaction()) throw EIBClientError("Transaction is not active");
  s.CloseCursor();
  s.WritePendingBlobs(api);
  const XSQLDA* in = s.inputs.empty() ? nullptr : s.in.get();
  const auto dialect = static_cast<unsigned short>(s.database->SQLDialect);
  ISC_STATUS_ARRAY status{};
  if (s.type == StatementType::kSelect || s.type == StatementType::kSelectForUpdate) {
    api.isc_dsql_execute(status, transaction.Handle(), &s.handle, dialect, in);
    CheckStatus(api, status);
    s.cursor_open = true;
  } else if (!s.columns.empty()) {
    api.isc_dsql_execute2(status, transaction.Handle(), &s.handle, dialect, in, s.out.get());
    CheckStatus(api, status);
    s.has_row = true;
  } else {
    api.isc_dsql_execute(status, transaction.Handle(), &s.handle, dialect, in);
    CheckStatus(api, status);
  }
}

bool Statement::Fetch() {
  Impl& s = *impl_;
  s.has_row = false;
  if (!s.cursor_open) return false;
  const ClientApi& api = s.Api();
  ISC_STATUS_ARRAY status{};
  const ISC_STATUS result = api.isc_dsql_fetch(status, &s.handle, SQLDA_VERSION1, s.out.get());
  if (result == 100) {
    s.CloseCursor();
    return false;
  }
  CheckStatus(api, status);
  s.has_row = true;
  return true;
}

void Statement::Close() { impl_->CloseCursor(); }

bool Statement::CursorOpen() const { return impl_->cursor_open; }

bool Statement::HasRow() const { return impl_->has_row; }

int Statement::FieldCount() const { return static_cast<int>(impl_->columns.size()); }

const std::string& Statement::FieldName(int index) const {
  if (index < 0 || index >= FieldCount()) throw EIBClientError("Field index " + IntToStr(index) + " out of range");
  return impl_->columns[static_cast<std::size_t>(index)].name;
}

int Statement::FieldIndex(std::string_view name) const {
  for (int i = 0; i < FieldCount(); ++i) {
    if (SameText(impl_->columns[static_cast<std::size_t>(i)].name, name)) return i;
  }
  return -1;
}

Field Statement::FieldByName(std::string_view name) const {
  const int index = FieldIndex(name);
  if (index < 0) throw EIBClientError("Field '" + std::string(name) + "' not found");
  return Field(*this, index);
}

Field Statement::Fields(int index) const {
  if (index < 0 || index >= FieldCount()) throw EIBClientError("Field index " + IntToStr(index) + " out of range");
  return Field(*this, index);
}

// ---- Field ----

const std::string& Field::Name() const { return statement_->FieldName(index_); }

bool Field::IsNull() const {
  const Statement::Impl& s = *statement_->impl_;
  if (!s.has_row) return true;
  const XSQLVAR& var = s.out[index_];
  return (var.sqltype & 1) != 0 && *var.sqlind < 0;
}

std::int64_t Field::AsInt64() const {
  if (IsNull()) return 0;
  const Statement::Impl& s = *statement_->impl_;
  const XSQLVAR& var = s.out[index_];
  const char* data = var.sqldata;
  auto scaled = [&](std::int64_t value) -> std::int64_t {
    if (var.sqlscale >= 0) return value * PowerOfTen(var.sqlscale);
    return RoundToInt64(static_cast<double>(value) / static_cast<double>(PowerOfTen(-var.sqlscale)));
  };
  switch (BaseType(var)) {
    case SQL_SHORT: {
      std::int16_t value;
      std::memcpy(&value, data, sizeof value);
      return scaled(value);
    }
    case SQL_LONG: {
      std::int32_t value;
      std::memcpy(&value, data, sizeof value);
      return scaled(value);
    }
    case SQL_INT64: {
      std::int64_t value;
      std::memcpy(&value, data, sizeof value);
      return scaled(value);
    }
    case SQL_FLOAT: {
      float value;
      std::memcpy(&value, data, sizeof value);
      return RoundToInt64(value);
    }
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      double value;
      std::memcpy(&value, data, sizeof value);
      return RoundToInt64(value);
    }
    case SQL_BOOLEAN:
      return data[0] != 0 ? 1 : 0;
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB:
      return StrToInt64(Trim(AsString()));
    default:
      throw EIBClientError("Field '" + Name() + "' cannot be read as an integer");
  }
}

std::int32_t Field::AsInteger() const {
  const Statement::Impl& s = *statement_->impl_;
  if (!IsNull()) {
    const int type = BaseType(s.out[index_]);
    // Texts convert with the host's own rules and messages.
    if (type == SQL_TEXT || type == SQL_VARYING || type == SQL_BLOB) return StrToInt(Trim(AsString()));
  }
  return CheckedInt32(AsInt64());
}

TDateTime Field::AsDateTime() const {
  if (IsNull()) return 0;
  const Statement::Impl& s = *statement_->impl_;
  const XSQLVAR& var = s.out[index_];
  switch (BaseType(var)) {
    case SQL_TYPE_DATE: {
      ISC_DATE date;
      std::memcpy(&date, var.sqldata, sizeof date);
      return static_cast<double>(date) - kDateOffset;
    }
    case SQL_TYPE_TIME: {
      ISC_TIME time;
      std::memcpy(&time, var.sqldata, sizeof time);
      return static_cast<double>(time) / kTimeUnitsPerDay;
    }
    case SQL_TIMESTAMP: {
      ISC_TIMESTAMP stamp;
      std::memcpy(&stamp, var.sqldata, sizeof stamp);
      return static_cast<double>(stamp.timestamp_date) - kDateOffset +
             static_cast<double>(stamp.timestamp_time) / kTimeUnitsPerDay;
    }
    default:
      throw EIBClientError("Field '" + Name() + "' cannot be read as a date");
  }
}

bool Field::IsCharacter() const {
  const int type = BaseType(statement_->impl_->out[index_]);
  return type == SQL_TEXT || type == SQL_VARYING;
}

std::string Field::AsString() const {
  if (IsNull()) return {};
  const Statement::Impl& s = *statement_->impl_;
  const XSQLVAR& var = s.out[index_];
  const char* data = var.sqldata;
  const FormatSettings& settings = GlobalFormatSettings();
  switch (BaseType(var)) {
    case SQL_TEXT:
      return std::string(data, static_cast<std::size_t>(var.sqllen));
    case SQL_VARYING: {
      std::uint16_t length;
      std::memcpy(&length, data, sizeof length);
      return std::string(data + 2, length);
    }
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
      std::int64_t value = 0;
      if (BaseType(var) == SQL_SHORT) {
        std::int16_t v;
        std::memcpy(&v, data, sizeof v);
        value = v;
      } else if (BaseType(var) == SQL_LONG) {
        std::int32_t v;
        std::memcpy(&v, data, sizeof v);
        value = v;
      } else {
        std::memcpy(&value, data, sizeof value);
      }
      return ScaledToString(value, var.sqlscale);
    }
    case SQL_FLOAT: {
      float value;
      std::memcpy(&value, data, sizeof value);
      return DoubleToString(value);
    }
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      double value;
      std::memcpy(&value, data, sizeof value);
      return DoubleToString(value);
    }
    case SQL_BOOLEAN:
      return data[0] != 0 ? "True" : "False";
    case SQL_TYPE_DATE:
      return FormatDateTime(settings.short_date_format, AsDateTime());
    case SQL_TYPE_TIME:
      return FormatDateTime(settings.long_time_format, AsDateTime());
    case SQL_TIMESTAMP: {
      const TDateTime value = AsDateTime();
      // Like the host's own DateTimeToStr: midnight shows the date alone.
      if (value == std::floor(value)) return FormatDateTime(settings.short_date_format, value);
      return FormatDateTime(settings.short_date_format + " " + settings.long_time_format, value);
    }
    case SQL_BLOB: {
      ISC_QUAD id;
      std::memcpy(&id, data, sizeof id);
      return s.ReadBlob(id);
    }
    default:
      throw EIBClientError("Field '" + Name() + "' cannot be read as a string");
  }
}

// ---- Param ----

void Param::Clear() {
  Statement::Impl& s = *statement_->impl_;
  for (int position : positions_) {
    Input& input = s.inputs[static_cast<std::size_t>(position)];
    XSQLVAR& var = s.in[position];
    var.sqltype = static_cast<ISC_SHORT>(input.described.sqltype | 1);
    var.sqllen = input.described.sqllen;
    var.sqlscale = input.described.sqlscale;
    var.sqlsubtype = input.described.sqlsubtype;
    SizeBuffer(input.data, static_cast<std::size_t>(var.sqllen) + 2);
    var.sqldata = reinterpret_cast<ISC_SCHAR*>(input.data.data());
    input.indicator = -1;
    input.blob_pending = false;
    input.blob_text.clear();
  }
}

void Param::SetInteger(std::int64_t value) {
  Statement::Impl& s = *statement_->impl_;
  for (int position : positions_) {
    Input& input = s.inputs[static_cast<std::size_t>(position)];
    if (BaseType(input.described) == SQL_BLOB) {
      Param(*statement_, {position}).SetString(IntToStr(value));
      continue;
    }
    XSQLVAR& var = s.in[position];
    SizeBuffer(input.data, sizeof value);
    std::memcpy(input.data.data(), &value, sizeof value);
    var.sqltype = SQL_INT64 | 1;
    var.sqllen = sizeof value;
    var.sqlscale = 0;
    var.sqlsubtype = 0;
    var.sqldata = reinterpret_cast<ISC_SCHAR*>(input.data.data());
    input.indicator = 0;
    input.blob_pending = false;
  }
}

void Param::SetString(std::string_view value) {
  Statement::Impl& s = *statement_->impl_;
  for (int position : positions_) {
    Input& input = s.inputs[static_cast<std::size_t>(position)];
    XSQLVAR& var = s.in[position];
    if (BaseType(input.described) == SQL_BLOB) {
      // The BLOB is written when the statement runs, in its transaction.
      SizeBuffer(input.data, sizeof(ISC_QUAD));
      var.sqltype = SQL_BLOB | 1;
      var.sqllen = sizeof(ISC_QUAD);
      var.sqlscale = input.described.sqlscale;
      var.sqlsubtype = input.described.sqlsubtype;
      var.sqldata = reinterpret_cast<ISC_SCHAR*>(input.data.data());
      input.blob_pending = true;
      input.blob_text = std::string(value);
      input.indicator = 0;
      continue;
    }
    if (value.size() > 32765) throw EIBClientError("String parameter too long");
    const int type = BaseType(input.described);
    SizeBuffer(input.data, value.size());
    std::memcpy(input.data.data(), value.data(), value.size());
    var.sqltype = SQL_TEXT | 1;
    var.sqllen = static_cast<ISC_SHORT>(value.size());
    var.sqlscale = 0;
    // A text keeps the character set the server described for it; a text
    // for another type goes without one and the server converts it.
    var.sqlsubtype = (type == SQL_TEXT || type == SQL_VARYING) ? input.described.sqlsubtype : 0;
    var.sqldata = reinterpret_cast<ISC_SCHAR*>(input.data.data());
    input.indicator = 0;
    input.blob_pending = false;
  }
}

void Param::Assign(const Field& field) {
  if (field.IsNull()) {
    Clear();
    return;
  }
  const XSQLVAR& source = field.statement_->impl_->out[field.index_];
  const std::size_t size =
      static_cast<std::size_t>(source.sqllen) + (BaseType(source) == SQL_VARYING ? 2 : 0);
  Statement::Impl& s = *statement_->impl_;
  for (int position : positions_) {
    Input& input = s.inputs[static_cast<std::size_t>(position)];
    XSQLVAR& var = s.in[position];
    // The server converts the column's type to the parameter's.
    SizeBuffer(input.data, size);
    std::memcpy(input.data.data(), source.sqldata, size);
    var.sqltype = static_cast<ISC_SHORT>(source.sqltype | 1);
    var.sqllen = source.sqllen;
    var.sqlscale = source.sqlscale;
    var.sqlsubtype = source.sqlsubtype;
    var.sqldata = reinterpret_cast<ISC_SCHAR*>(input.data.data());
    input.indicator = 0;
    input.blob_pending = false;
    input.blob_text.clear();
  }
}

// ---- Query ----

Query::Query(Database& database, Transaction& transaction) : statement_(database, transaction) {}

void Query::Prepare() {
  std::string text;
  for (std::size_t i = 0; i < SQL.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += SQL[i];
  }
  Transaction& transaction = statement_.GetTransaction();
  if (!transaction.InTransaction()) transaction.StartTransaction();
  if (statement_.Prepared() && text == prepared_text_) return;
  statement_.Prepare(text);
  prepared_text_ = text;
}

Param Query::ParamByName(std::string_view name) {
  Prepare();
  return statement_.ParamByName(name);
}

void Query::Open() {
  Prepare();
  statement_.Execute();
  statement_.Fetch();
}

}  // namespace korvel::fb
