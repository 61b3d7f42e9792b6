// RecordsetReader: an install list document from parser events.
#include "platform/recordset_reader.h"

#include <cmath>
#include <limits>
#include <utility>

namespace qv {

namespace {

using Json = nlohmann::json;

Status DocumentError(const std::string& message) {
  return Status::Corrupt("install list document: " + message);
}

bool ParseFieldType(const std::string& name, FieldType* type) {
  for (FieldType t :
       {FieldType::kInteger, FieldType::kNumber, FieldType::kString, FieldType::kBoolean}) {
    if (name == FieldTypeName(t)) {
      *type = t;
      return true;
    }
  }
  return false;
}

// Whether a double holds an integer that fits in int64_t.
bool IntegralInRange(double value) {
  // 2^63 is exactly representable; every double below it that is integral
  // fits.
  constexpr double kLimit = 9223372036854775808.0;
  return std::isfinite(value) && std::trunc(value) == value && value >= -kLimit && value < kLimit;
}

}  // namespace

// ---- Parser events ------------------------------------------------------------

bool RecordsetReader::null() {
  if (RawValue* raw = OnScalar()) {
    raw->kind = RawValue::Kind::kNull;
    ScalarDone(raw);
  }
  return true;
}

bool RecordsetReader::boolean(bool value) {
  if (RawValue* raw = OnScalar()) {
    raw->kind = RawValue::Kind::kBoolean;
    raw->boolean = value;
    ScalarDone(raw);
  }
  return true;
}

bool RecordsetReader::number_integer(int64_t value) {
  if (RawValue* raw = OnScalar()) {
    raw->kind = RawValue::Kind::kInteger;
    raw->integer = value;
    ScalarDone(raw);
  }
  return true;
}

bool RecordsetReader::number_unsigned(uint64_t value) {
  if (RawValue* raw = OnScalar()) {
    raw->kind = RawValue::Kind::kUnsigned;
    raw->unsigned_integer = value;
    ScalarDone(raw);
  }
  return true;
}

bool RecordsetReader::number_float(double value, const std::string&) {
  if (RawValue* raw = OnScalar()) {
    raw->kind = RawValue::Kind::kFloat;
    raw->number = value;
    ScalarDone(raw);
  }
  return true;
}

bool RecordsetReader::string(std::string& value) {
  if (RawValue* raw = OnScalar()) {
    raw->kind = RawValue::Kind::kString;
    raw->text.assign(value);  // keeps the slot's buffer for the next record
    ScalarDone(raw);
  }
  return true;
}

bool RecordsetReader::binary(nlohmann::json::binary_t&) {
  // JSON text has no binary values.
  return true;
}

bool RecordsetReader::start_object(size_t) {
  OnStart(/*object=*/true);
  return true;
}

bool RecordsetReader::start_array(size_t) {
  OnStart(/*object=*/false);
  return true;
}

bool RecordsetReader::end_object() {
  OnEnd();
  return true;
}

bool RecordsetReader::end_array() {
  OnEnd();
  return true;
}

bool RecordsetReader::key(std::string& key) {
  if (skip_depth_ > 0) return true;
  if (building_) {
    builder_.Key(key);
  } else if (place_ == Place::kTop) {
    key_ = key == "format"    ? Key::kFormat
           : key == "version" ? Key::kVersion
           : key == "fields"  ? Key::kFields
           : key == "records" ? Key::kRecords
                              : Key::kOther;
    if (key_ == Key::kOther) other_key_ = key;
  }
  return true;
}

bool RecordsetReader::parse_error(size_t, const std::string&,
                                  const nlohmann::json::exception& error) {
  syntax_error_ = error.what();
  return false;
}

// ---- Where events go ----------------------------------------------------------

void RecordsetReader::OnStart(bool object) {
  if (skip_depth_ > 0) {
    ++skip_depth_;
    return;
  }
  if (building_) {
    object ? builder_.StartObject() : builder_.StartArray();
    return;
  }
  switch (place_) {
    case Place::kDocument:
      if (object) {
        place_ = Place::kTop;
      } else {
        top_is_object_ = false;
        place_ = Place::kAfter;
        skip_depth_ = 1;
      }
      return;
    case Place::kTop:
      if (key_ == Key::kRecords) {
        BeginRecords(/*array=*/!object);
        if (object) skip_depth_ = 1;
      } else {
        building_ = true;
        builder_.Reset();
        object ? builder_.StartObject() : builder_.StartArray();
      }
      return;
    case Place::kRecords:
      BeginRecord();
      if (object) {
        RecordFault(" is not an array");
        skip_depth_ = 1;
      } else {
        place_ = Place::kRecord;
      }
      return;
    case Place::kRecord: {
      // A value that is an object or an array: only its kind matters.
      if (raw_count_ == raw_.size()) raw_.emplace_back();
      raw_[raw_count_++].kind = object ? RawValue::Kind::kObject : RawValue::Kind::kArray;
      skip_depth_ = 1;
      return;
    }
    case Place::kAfter:
      skip_depth_ = 1;
      return;
  }
}

void RecordsetReader::OnEnd() {
  if (skip_depth_ > 0) {
    --skip_depth_;
    return;
  }
  if (building_) {
    builder_.End();
    if (builder_.done()) HeadValueDone();
    return;
  }
  switch (place_) {
    case Place::kRecord:
      CheckRecord();
      place_ = Place::kRecords;
      return;
    case Place::kRecords:
      place_ = Place::kTop;
      return;
    case Place::kTop:
      place_ = Place::kAfter;
      return;
    case Place::kDocument:
    case Place::kAfter:
      return;
  }
}

RecordsetReader::RawValue* RecordsetReader::OnScalar() {
  if (skip_depth_ > 0) return nullptr;
  if (building_) return &scalar_;
  switch (place_) {
    case Place::kDocument:
      top_is_object_ = false;
      place_ = Place::kAfter;
      return nullptr;
    case Place::kTop:
      if (key_ == Key::kRecords) {
        BeginRecords(/*array=*/false);
        return nullptr;
      }
      return &scalar_;
    case Place::kRecords:
      BeginRecord();
      RecordFault(" is not an array");
      return nullptr;
    case Place::kRecord:
      if (raw_count_ == raw_.size()) raw_.emplace_back();
      return &raw_[raw_count_++];
    case Place::kAfter:
      return nullptr;
  }
  return nullptr;
}

void RecordsetReader::ScalarDone(RawValue* raw) {
  if (raw != &scalar_) return;  // a record's value, checked when the record ends
  Json value;
  switch (raw->kind) {
    case RawValue::Kind::kBoolean:
      value = raw->boolean;
      break;
    case RawValue::Kind::kInteger:
      value = raw->integer;
      break;
    case RawValue::Kind::kUnsigned:
      value = raw->unsigned_integer;
      break;
    case RawValue::Kind::kFloat:
      value = raw->number;
      break;
    case RawValue::Kind::kString:
      value = raw->text;
      break;
    case RawValue::Kind::kNull:
      value = nullptr;
      break;
    default:
      break;
  }
  if (building_) {
    builder_.Scalar(std::move(value));
    return;
  }
  builder_.Reset();
  builder_.Scalar(std::move(value));
  HeadValueDone();
}

// ---- The document's parts -------------------------------------------------------

void RecordsetReader::HeadValueDone() {
  building_ = false;
  Json value = builder_.Take();
  switch (key_) {
    case Key::kFormat:
      format_ = std::move(value);
      has_format_ = true;
      return;
    case Key::kVersion:
      version_ = std::move(value);
      has_version_ = true;
      return;
    case Key::kFields:
      fields_json_ = std::move(value);
      has_fields_ = true;
      if (second_pass_) return;
      if (records_present_) {
        fields_after_records_ = true;
      } else {
        ApplyFields();
      }
      return;
    case Key::kOther: {
      std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
      for (auto& [name, json_text] : extra_keys_) {
        if (name == other_key_) {  // a key given twice keeps its last value
          json_text = std::move(text);
          return;
        }
      }
      extra_keys_.emplace_back(other_key_, std::move(text));
      return;
    }
    case Key::kRecords:
      return;
  }
}

void RecordsetReader::ApplyFields() {
  list_ = Recordset();
  fields_ready_ = false;
  fields_error_ = Status::OK();
  if (!fields_json_.is_array()) {
    fields_error_ = DocumentError("\"fields\" must be an array");
    return;
  }
  for (size_t i = 0; i < fields_json_.size(); ++i) {
    const Json& field = fields_json_[i];
    const std::string where = "field " + std::to_string(i + 1);
    if (!field.is_object()) {
      fields_error_ = DocumentError(where + " is not an object");
      return;
    }
    const auto name = field.find("name");
    const auto type = field.find("type");
    if (name == field.end() || !name->is_string() || name->get<std::string>().empty()) {
      fields_error_ = DocumentError(where + " has no name");
      return;
    }
    FieldType field_type = FieldType::kString;
    if (type == field.end() || !type->is_string() ||
        !ParseFieldType(type->get<std::string>(), &field_type)) {
      fields_error_ = DocumentError(where + " (\"" + name->get<std::string>() +
                                    "\") has no known type (integer, number, string, boolean)");
      return;
    }
    Status s = list_.AddField(name->get<std::string>(), field_type);
    if (!s.ok()) {
      fields_error_ = DocumentError(s.message());
      return;
    }
  }
  fields_ready_ = true;
}

void RecordsetReader::BeginRecords(bool array) {
  // A key given twice keeps its last value.
  records_present_ = true;
  records_is_array_ = array;
  record_number_ = 0;
  record_fault_.clear();
  list_.store_.Clear();
  if (array) place_ = Place::kRecords;
}

void RecordsetReader::BeginRecord() {
  ++record_number_;
  raw_count_ = 0;
}

void RecordsetReader::RecordFault(const std::string& message) {
  if (fields_ready_ && record_fault_.empty()) {
    record_fault_ = "record " + std::to_string(record_number_) + message;
  }
}

void RecordsetReader::CheckRecord() {
  if (!fields_ready_ || !record_fault_.empty()) return;
  const std::vector<FieldInfo>& fields = list_.fields();
  if (raw_count_ != fields.size()) {
    RecordFault(" has " + std::to_string(raw_count_) + " values for " +
                std::to_string(fields.size()) + " fields");
    return;
  }
  encoder_.Clear();
  for (size_t f = 0; f < raw_count_; ++f) {
    using Kind = RawValue::Kind;
    const RawValue& raw = raw_[f];
    const FieldType type = fields[f].type;
    std::string error;
    switch (raw.kind) {
      case Kind::kNull:
        encoder_.AddNull();
        continue;
      case Kind::kBoolean:
        if (type == FieldType::kBoolean) {
          encoder_.AddBoolean(raw.boolean);
          continue;
        }
        break;
      case Kind::kInteger:
      case Kind::kUnsigned:
        if (type == FieldType::kNumber) {
          encoder_.AddNumber(raw.kind == Kind::kInteger
                                 ? static_cast<double>(raw.integer)
                                 : static_cast<double>(raw.unsigned_integer));
          continue;
        }
        if (type != FieldType::kInteger) break;
        if (raw.kind == Kind::kInteger) {
          encoder_.AddInteger(raw.integer);
          continue;
        }
        if (raw.unsigned_integer <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
          encoder_.AddInteger(static_cast<int64_t>(raw.unsigned_integer));
          continue;
        }
        error = "integer " + std::to_string(raw.unsigned_integer) + " is out of range";
        break;
      case Kind::kFloat:
        if (type == FieldType::kNumber) {
          encoder_.AddNumber(raw.number);
          continue;
        }
        if (type != FieldType::kInteger) break;
        if (IntegralInRange(raw.number)) {
          encoder_.AddInteger(static_cast<int64_t>(raw.number));
          continue;
        }
        error = "expected an integer, found " + Json(raw.number).dump();
        break;
      case Kind::kString:
        if (type == FieldType::kString) {
          encoder_.AddText(raw.text);
          continue;
        }
        break;
      case Kind::kArray:
      case Kind::kObject:
        break;
    }
    if (error.empty()) {
      static const char* const kKindNames[] = {"null",   "boolean", "number", "number",
                                               "number", "string",  "array",  "object"};
      error = std::string("expected ") + FieldTypeName(type) + " or null, found " +
              kKindNames[static_cast<int>(raw.kind)];
    }
    RecordFault(", field \"" + fields[f].name + "\": " + error);
    return;
  }
  list_.store_.Append(encoder_);
}

// ---- After the last event -------------------------------------------------------

RecordsetReader RecordsetReader::ForSecondPass() const {
  RecordsetReader next;
  next.second_pass_ = true;
  next.fields_json_ = fields_json_;
  next.has_fields_ = true;
  next.ApplyFields();
  return next;
}

Status RecordsetReader::Finish(Recordset* out) {
  if (!syntax_error_.empty()) return DocumentError("not valid JSON: " + syntax_error_);
  if (!top_is_object_) return DocumentError("expected a JSON object");
  if (!has_format_ || !format_.is_string()) return DocumentError("no \"format\" name");
  if (format_.get<std::string>() != kRecordsetFormat) {
    return Status::Error(kErrorNotSupported, "install list document: format \"" +
                                                 format_.get<std::string>() + "\" is not \"" +
                                                 kRecordsetFormat + "\"");
  }
  // Versions are whole numbers from 1; a newer one may mean anything.
  if (!has_version_ || !version_.is_number_unsigned() || version_.get<uint64_t>() < 1) {
    return DocumentError("\"version\" must be a whole number from 1");
  }
  if (version_.get<uint64_t>() > static_cast<uint64_t>(kRecordsetVersion)) {
    return Status::Error(kErrorNotSupported, "install list document: version " + version_.dump() +
                                                 " is newer than this program reads (" +
                                                 std::to_string(kRecordsetVersion) + ")");
  }
  if (!has_fields_) return DocumentError("\"fields\" must be an array");
  if (!fields_error_.ok()) return fields_error_;
  if (!records_present_ || !records_is_array_) {
    return DocumentError("\"records\" must be an array");
  }
  if (!record_fault_.empty()) return DocumentError(record_fault_);
  list_.extra_keys_ = std::move(extra_keys_);
  list_.Refresh();
  *out = std::move(list_);
  return Status::OK();
}

}  // namespace qv
