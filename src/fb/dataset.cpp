#include "fb/dataset.h"

#include "host/text.h"

namespace korvel::fb {

namespace {

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines[i];
  }
  return text;
}

// Prepares `text` on `statement` unless it is prepared with it already.
void PrepareOnce(Statement& statement, const std::string& text, std::string& prepared_text) {
  if (statement.Prepared() && text == prepared_text) return;
  statement.Prepare(text);
  prepared_text = text;
}

}  // namespace

// ---- DataSetField ----

bool DataSetField::IsNull() const {
  if (const DataSet::Value* value = dataset_->Changed(index_)) return value->null;
  return dataset_->select_.Fields(index_).IsNull();
}

std::int64_t DataSetField::AsInt64() const {
  if (const DataSet::Value* value = dataset_->Changed(index_)) {
    if (value->null) return 0;
    return value->integer ? value->number : StrToInt64(Trim(value->text));
  }
  return dataset_->select_.Fields(index_).AsInt64();
}

std::int32_t DataSetField::AsInteger() const {
  if (const DataSet::Value* value = dataset_->Changed(index_)) {
    if (value->null) return 0;
    return value->integer ? static_cast<std::int32_t>(value->number) : StrToInt(Trim(value->text));
  }
  return dataset_->select_.Fields(index_).AsInteger();
}

std::string DataSetField::AsString() const {
  if (const DataSet::Value* value = dataset_->Changed(index_)) {
    if (value->null) return {};
    return value->integer ? IntToStr(value->number) : value->text;
  }
  const Field field = dataset_->select_.Fields(index_);
  if (dataset_->TrimCharFields && field.IsCharacter()) return Trim(field.AsString());
  return field.AsString();
}

void DataSetField::Clear() { dataset_->Set(index_, {}); }

void DataSetField::SetInteger(std::int64_t value) {
  DataSet::Value v;
  v.null = false;
  v.integer = true;
  v.number = value;
  dataset_->Set(index_, std::move(v));
}

void DataSetField::SetString(std::string_view value) {
  DataSet::Value v;
  v.null = false;
  v.text = std::string(value);
  dataset_->Set(index_, std::move(v));
}

// ---- DataSet ----

DataSet::DataSet(Database& database, Transaction& transaction)
    : select_(database, transaction), update_(database, transaction) {}

void DataSet::Open() {
  ForgetRow();
  Transaction& transaction = select_.GetTransaction();
  if (!transaction.InTransaction()) transaction.StartTransaction();
  PrepareOnce(select_, JoinLines(SelectSQL), select_text_);
  select_.Execute();
  select_.Fetch();
}

void DataSet::Close() {
  ForgetRow();
  select_.Close();
}

bool DataSet::Active() const { return select_.CursorOpen() || select_.HasRow(); }

bool DataSet::Eof() const { return !select_.HasRow(); }

void DataSet::Next() {
  ForgetRow();
  select_.Fetch();
}

void DataSet::Edit() {
  if (!select_.HasRow()) throw EIBClientError("Dataset has no current row");
  editing_ = true;
}

void DataSet::Post() {
  if (!Editing()) throw EIBClientError("Dataset not in edit mode");
  const std::string text = JoinLines(UpdateSQL);
  if (Trim(text).empty()) throw EIBClientError("Dataset has no update text");
  PrepareOnce(update_, text, update_text_);
  for (int i = 0; i < update_.ParamCount(); ++i) {
    const std::string& name = update_.ParamName(i);
    const int column = select_.FieldIndex(name);
    if (name.empty() || column < 0) throw EIBClientError("Field '" + name + "' not found");
    Param param = update_.Params(i);
    const Value* value = Changed(column);
    if (value == nullptr) {
      param.Assign(select_.Fields(column));
    } else if (value->null) {
      param.Clear();
    } else if (value->integer) {
      param.SetInteger(value->number);
    } else {
      param.SetString(value->text);
    }
  }
  update_.Execute();
  for (auto& [column, value] : pending_) posted_[column] = std::move(value);
  pending_.clear();
  editing_ = false;
}

void DataSet::Cancel() {
  pending_.clear();
  editing_ = false;
}

bool DataSet::Editing() const { return editing_ && select_.HasRow(); }

DataSetField DataSet::FieldByName(std::string_view name) {
  const int index = select_.FieldIndex(name);
  if (index < 0) throw EIBClientError("Field '" + std::string(name) + "' not found");
  return DataSetField(*this, index);
}

const DataSet::Value* DataSet::Changed(int index) const {
  // Once the row is gone (the cursor moved on or was closed by the end of
  // the transaction) its changes no longer apply.
  if (!select_.HasRow()) return nullptr;
  if (editing_) {
    const auto pending = pending_.find(index);
    if (pending != pending_.end()) return &pending->second;
  }
  const auto posted = posted_.find(index);
  return posted == posted_.end() ? nullptr : &posted->second;
}

void DataSet::Set(int index, Value value) {
  if (!Editing()) throw EIBClientError("Dataset not in edit mode");
  pending_[index] = std::move(value);
}

void DataSet::ForgetRow() {
  pending_.clear();
  posted_.clear();
  editing_ = false;
}

}  // namespace korvel::fb
