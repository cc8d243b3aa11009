// Fields and parameters of a Statement: the conversions between the
// client's types and the program's integers, strings and dates.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "fb/statement.h"
#include "fb/statement_impl.h"
#include "host/text.h"

namespace korvel::fb {

namespace {

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

}  // namespace

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

}  // namespace korvel::fb
