// Recordset: fields, records, cursor, filter and the JSON document.
#include "platform/recordset.h"

#include <cmath>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/file_system.h"
#include "platform/platform.h"

namespace qv {

namespace {

using Json = nlohmann::json;

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string FoldText(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

bool NamesMatch(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool ParseFieldType(const std::string& name, FieldType* type) {
  for (FieldType t : {FieldType::kInteger, FieldType::kNumber,
                      FieldType::kString, FieldType::kBoolean}) {
    if (name == FieldTypeName(t)) {
      *type = t;
      return true;
    }
  }
  return false;
}

const char* VariantTypeName(VariantType type) {
  switch (type) {
    case VariantType::kNull: return "null";
    case VariantType::kInteger: return "integer";
    case VariantType::kNumber: return "number";
    case VariantType::kText: return "text";
    case VariantType::kBoolean: return "boolean";
  }
  return "?";
}

// Whether a double holds an integer that fits in int64_t.
bool IntegralInRange(double value) {
  // 2^63 is exactly representable; every double below it that is integral
  // fits.
  constexpr double kLimit = 9223372036854775808.0;
  return std::isfinite(value) && std::trunc(value) == value &&
         value >= -kLimit && value < kLimit;
}

// Fits a value to a field's type (see Recordset::AddRecord). Returns false
// when it does not suit the field.
bool CoerceToField(FieldType type, Variant* value) {
  if (value->IsNull()) return true;
  switch (type) {
    case FieldType::kInteger:
      if (value->IsInteger()) return true;
      if (value->IsNumber() && IntegralInRange(value->number_value())) {
        *value = Variant::Integer(static_cast<int64_t>(value->number_value()));
        return true;
      }
      return false;
    case FieldType::kNumber:
      if (value->IsNumber()) return true;
      if (value->IsInteger()) {
        *value = Variant::Number(static_cast<double>(value->integer_value()));
        return true;
      }
      return false;
    case FieldType::kString:
      return value->IsText();
    case FieldType::kBoolean:
      return value->IsBoolean();
  }
  return false;
}

// Reads a JSON value for a field. On failure *error says why.
bool VariantFromJson(const Json& json, FieldType type, Variant* value,
                     std::string* error) {
  if (json.is_null()) {
    *value = Variant::Null();
    return true;
  }
  switch (type) {
    case FieldType::kInteger:
      if (json.is_number_unsigned()) {
        const uint64_t u = json.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
          *error = "integer " + json.dump() + " is out of range";
          return false;
        }
        *value = Variant::Integer(static_cast<int64_t>(u));
        return true;
      }
      if (json.is_number_integer()) {
        *value = Variant::Integer(json.get<int64_t>());
        return true;
      }
      if (json.is_number_float()) {
        *value = Variant::Number(json.get<double>());
        if (CoerceToField(type, value)) return true;
        *error = "expected an integer, found " + json.dump();
        return false;
      }
      break;
    case FieldType::kNumber:
      if (json.is_number()) {
        *value = Variant::Number(json.get<double>());
        return true;
      }
      break;
    case FieldType::kString:
      if (json.is_string()) {
        *value = Variant::Text(json.get<std::string>());
        return true;
      }
      break;
    case FieldType::kBoolean:
      if (json.is_boolean()) {
        *value = Variant::Boolean(json.get<bool>());
        return true;
      }
      break;
  }
  *error = std::string("expected ") + FieldTypeName(type) + " or null, found " +
           json.type_name();
  return false;
}

std::string JsonText(const std::string& text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void AppendJsonValue(const Variant& value, std::string* out) {
  switch (value.type()) {
    case VariantType::kNull:
      *out += "null";
      return;
    case VariantType::kInteger:
      *out += std::to_string(value.integer_value());
      return;
    case VariantType::kNumber:
      *out += std::isfinite(value.number_value())
                  ? Json(value.number_value()).dump()
                  : "null";
      return;
    case VariantType::kText:
      *out += JsonText(value.text_value());
      return;
    case VariantType::kBoolean:
      *out += value.boolean_value() ? "true" : "false";
      return;
  }
}

Status DocumentError(const std::string& message) {
  return Status::Corrupt("install list document: " + message);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

Status FilterError(const std::string& filter, const std::string& why) {
  return Status::InvalidArgument("filter \"" + filter + "\": " + why);
}

}  // namespace

const char* FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::kInteger: return "integer";
    case FieldType::kNumber: return "number";
    case FieldType::kString: return "string";
    case FieldType::kBoolean: return "boolean";
  }
  return "?";
}

// ---- Building -------------------------------------------------------------

Status Recordset::AddField(const std::string& name, FieldType type) {
  if (name.empty()) return Status::InvalidArgument("a field needs a name");
  if (!records_.empty()) {
    return Status::InvalidArgument("field \"" + name +
                                   "\" cannot be added to a list that holds records");
  }
  if (HasField(name)) {
    return Status::InvalidArgument("the list already has a field \"" + name + "\"");
  }
  fields_.push_back({name, type});
  return Status::OK();
}

Status Recordset::AddRecord(std::vector<Variant> values) {
  if (values.size() != fields_.size()) {
    return Status::InvalidArgument(
        "a record needs " + std::to_string(fields_.size()) + " values, not " +
        std::to_string(values.size()));
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const VariantType given = values[i].type();
    if (!CoerceToField(fields_[i].type, &values[i])) {
      return Status::InvalidArgument(
          "field \"" + fields_[i].name + "\" (" + FieldTypeName(fields_[i].type) +
          ") cannot hold a " + VariantTypeName(given) + " value");
    }
  }
  records_.push_back(std::move(values));
  // The records before it were filtered already: only the new one is judged.
  if (Matches(records_.back())) visible_.push_back(records_.size() - 1);
  position_ = 0;
  return Status::OK();
}

void Recordset::Clear() { *this = Recordset(); }

int Recordset::FieldIndex(const std::string& name) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (NamesMatch(fields_[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

// ---- Cursor ---------------------------------------------------------------

int32_t Recordset::AbsolutePosition() const {
  if (Eof()) return kPositionEof;
  return static_cast<int32_t>(position_ + 1);
}

Status Recordset::MoveNext() {
  if (Eof()) {
    return Status::Error(kErrorNoMoreItems,
                         "the list is at its end; there is no next record");
  }
  ++position_;
  return Status::OK();
}

Status Recordset::Value(const std::string& name, Variant* out) const {
  *out = Variant::Null();
  const int index = FieldIndex(name);
  if (index < 0) {
    return Status::InvalidArgument("the list has no field \"" + name + "\"");
  }
  if (Eof()) {
    return Status::Error(kErrorNoMoreItems,
                         "the list has no current record to read \"" + name +
                             "\" from");
  }
  *out = records_[visible_[position_]][static_cast<size_t>(index)];
  return Status::OK();
}

Variant Recordset::Field(const std::string& name) const {
  Variant value;
  Value(name, &value);
  return value;
}

// ---- Filter ---------------------------------------------------------------

Status Recordset::SetFilter(const std::string& text) {
  size_t pos = 0;
  auto skip_space = [&] {
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
  };
  skip_space();
  if (pos == text.size()) {
    filter_text_.clear();
    condition_.reset();
    Refresh();
    return Status::OK();
  }

  // The field.
  std::string field_name;
  if (text[pos] == '[') {
    const size_t close = text.find(']', pos + 1);
    if (close == std::string::npos) return FilterError(text, "missing ]");
    field_name = text.substr(pos + 1, close - pos - 1);
    pos = close + 1;
  } else {
    const size_t start = pos;
    while (pos < text.size() && IsNameChar(text[pos])) ++pos;
    field_name = text.substr(start, pos - start);
  }
  if (field_name.empty()) return FilterError(text, "expected a field name");
  skip_space();

  // The operator.
  Condition condition;
  static const std::pair<const char*, CompareOp> kOps[] = {
      {"<=", CompareOp::kLessEqual}, {">=", CompareOp::kGreaterEqual},
      {"<>", CompareOp::kNotEqual},  {"=", CompareOp::kEqual},
      {"<", CompareOp::kLess},       {">", CompareOp::kGreater}};
  bool have_op = false;
  for (const auto& [spelling, op] : kOps) {
    if (text.compare(pos, std::char_traits<char>::length(spelling), spelling) == 0) {
      condition.op = op;
      pos += std::char_traits<char>::length(spelling);
      have_op = true;
      break;
    }
  }
  if (!have_op) {
    return FilterError(text, "expected one of = <> < > <= >= after the field name");
  }
  skip_space();

  // The literal.
  bool quoted = false;
  std::string literal;
  if (pos < text.size() && text[pos] == '\'') {
    quoted = true;
    ++pos;
    bool closed = false;
    while (pos < text.size()) {
      if (text[pos] == '\'') {
        if (pos + 1 < text.size() && text[pos + 1] == '\'') {
          literal += '\'';
          pos += 2;
          continue;
        }
        ++pos;
        closed = true;
        break;
      }
      literal += text[pos++];
    }
    if (!closed) return FilterError(text, "unterminated quoted text");
  } else {
    const size_t start = pos;
    while (pos < text.size() && !IsSpace(text[pos])) ++pos;
    literal = text.substr(start, pos - start);
    if (literal.empty()) return FilterError(text, "expected a value to compare with");
  }
  skip_space();
  if (pos != text.size()) {
    return FilterError(text, "only a single comparison is supported");
  }

  condition.field = FieldIndex(field_name);
  if (condition.field < 0) {
    return FilterError(text, "the list has no field \"" + field_name + "\"");
  }
  const FieldType type = fields_[static_cast<size_t>(condition.field)].type;
  if (type == FieldType::kString) {
    double unused = 0.0;
    if (!quoted && !ParseDecimal(literal, &unused)) {
      return FilterError(text, "text must be given in single quotes");
    }
    condition.numeric = false;
    condition.text = FoldText(literal);
  } else {
    condition.numeric = true;
    if (!quoted && NamesMatch(literal, "True")) {
      condition.number = -1.0;
    } else if (!quoted && NamesMatch(literal, "False")) {
      condition.number = 0.0;
    } else if (!ParseDecimal(literal, &condition.number)) {
      return FilterError(text, "field \"" + field_name + "\" compares with numbers, not \"" +
                                   literal + "\"");
    }
  }

  filter_text_ = text;
  condition_ = std::move(condition);
  Refresh();
  return Status::OK();
}

bool Recordset::Matches(const std::vector<Variant>& record) const {
  if (!condition_) return true;
  const Variant& value = record[static_cast<size_t>(condition_->field)];
  if (value.IsNull()) return false;
  int order = 0;  // <0, 0, >0 as value is below, equal to, above the literal
  if (condition_->numeric) {
    double number = 0.0;
    if (!value.ToDouble(&number) || std::isnan(number)) return false;
    order = number < condition_->number ? -1 : (number > condition_->number ? 1 : 0);
  } else {
    const int c = FoldText(value.ToText()).compare(condition_->text);
    order = c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  switch (condition_->op) {
    case CompareOp::kEqual: return order == 0;
    case CompareOp::kNotEqual: return order != 0;
    case CompareOp::kLess: return order < 0;
    case CompareOp::kGreater: return order > 0;
    case CompareOp::kLessEqual: return order <= 0;
    case CompareOp::kGreaterEqual: return order >= 0;
  }
  return false;
}

void Recordset::Refresh() {
  visible_.clear();
  for (size_t i = 0; i < records_.size(); ++i) {
    if (Matches(records_[i])) visible_.push_back(i);
  }
  position_ = 0;
}

// ---- Persistence ----------------------------------------------------------

Status Recordset::ParseJson(const std::string& text) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::exception& e) {
    return DocumentError(std::string("not valid JSON: ") + e.what());
  }
  if (!doc.is_object()) return DocumentError("expected a JSON object");

  const auto format = doc.find("format");
  if (format == doc.end() || !format->is_string()) {
    return DocumentError("no \"format\" name");
  }
  if (format->get<std::string>() != kRecordsetFormat) {
    return Status::Error(kErrorNotSupported,
                         "install list document: format \"" +
                             format->get<std::string>() + "\" is not \"" +
                             kRecordsetFormat + "\"");
  }
  // Versions are whole numbers from 1; a newer one may mean anything.
  const auto version = doc.find("version");
  if (version == doc.end() || !version->is_number_unsigned() ||
      version->get<uint64_t>() < 1) {
    return DocumentError("\"version\" must be a whole number from 1");
  }
  if (version->get<uint64_t>() > static_cast<uint64_t>(kRecordsetVersion)) {
    return Status::Error(
        kErrorNotSupported,
        "install list document: version " + version->dump() +
            " is newer than this program reads (" +
            std::to_string(kRecordsetVersion) + ")");
  }

  Recordset result;
  const auto fields = doc.find("fields");
  if (fields == doc.end() || !fields->is_array()) {
    return DocumentError("\"fields\" must be an array");
  }
  for (size_t i = 0; i < fields->size(); ++i) {
    const Json& field = (*fields)[i];
    const std::string where = "field " + std::to_string(i + 1);
    if (!field.is_object()) return DocumentError(where + " is not an object");
    const auto name = field.find("name");
    const auto type = field.find("type");
    if (name == field.end() || !name->is_string() ||
        name->get<std::string>().empty()) {
      return DocumentError(where + " has no name");
    }
    FieldType field_type = FieldType::kString;
    if (type == field.end() || !type->is_string() ||
        !ParseFieldType(type->get<std::string>(), &field_type)) {
      return DocumentError(where + " (\"" + name->get<std::string>() +
                           "\") has no known type (integer, number, string, boolean)");
    }
    Status s = result.AddField(name->get<std::string>(), field_type);
    if (!s.ok()) return DocumentError(s.message());
  }

  const auto records = doc.find("records");
  if (records == doc.end() || !records->is_array()) {
    return DocumentError("\"records\" must be an array");
  }
  result.records_.reserve(records->size());
  for (size_t r = 0; r < records->size(); ++r) {
    const Json& record = (*records)[r];
    const std::string where = "record " + std::to_string(r + 1);
    if (!record.is_array()) return DocumentError(where + " is not an array");
    if (record.size() != result.fields_.size()) {
      return DocumentError(where + " has " + std::to_string(record.size()) +
                           " values for " + std::to_string(result.fields_.size()) +
                           " fields");
    }
    std::vector<Variant> values(record.size());
    for (size_t f = 0; f < record.size(); ++f) {
      std::string error;
      if (!VariantFromJson(record[f], result.fields_[f].type, &values[f], &error)) {
        return DocumentError(where + ", field \"" + result.fields_[f].name +
                             "\": " + error);
      }
    }
    result.records_.push_back(std::move(values));
  }
  result.Refresh();
  *this = std::move(result);
  return Status::OK();
}

std::string Recordset::ToJson() const {
  std::string out;
  out += "{\n  \"format\": ";
  out += JsonText(kRecordsetFormat);
  out += ",\n  \"version\": " + std::to_string(kRecordsetVersion) + ",\n";
  out += "  \"fields\": [";
  for (size_t i = 0; i < fields_.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    out += "{\"name\": " + JsonText(fields_[i].name) + ", \"type\": \"" +
           FieldTypeName(fields_[i].type) + "\"}";
  }
  out += fields_.empty() ? "],\n" : "\n  ],\n";
  out += "  \"records\": [";
  for (size_t r = 0; r < records_.size(); ++r) {
    out += r == 0 ? "\n    [" : ",\n    [";
    for (size_t f = 0; f < records_[r].size(); ++f) {
      if (f > 0) out += ", ";
      AppendJsonValue(records_[r][f], &out);
    }
    out += "]";
  }
  out += records_.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

Status Recordset::Open(const std::string& windows_path) {
  if (!HasCurrentPlatform() || CurrentPlatform().files == nullptr) {
    return Status::Error(kErrorNotSupported, "no file system to open " + windows_path);
  }
  std::string text;
  Status s = ReadFileToString(*CurrentPlatform().files, windows_path, &text);
  if (!s.ok()) {
    return Status::Error(s.code(), "cannot read " + windows_path + ": " + s.message());
  }
  s = ParseJson(text);
  if (!s.ok()) return Status::Error(s.code(), windows_path + ": " + s.message());
  return Status::OK();
}

Status Recordset::save(const std::string& windows_path) const {
  if (!HasCurrentPlatform() || CurrentPlatform().files == nullptr) {
    return Status::Error(kErrorNotSupported, "no file system to save " + windows_path);
  }
  Status s = WriteFileAtomically(*CurrentPlatform().files, windows_path, ToJson());
  if (!s.ok()) {
    return Status::Error(s.code(), "cannot save " + windows_path + ": " + s.message());
  }
  return Status::OK();
}

}  // namespace qv
