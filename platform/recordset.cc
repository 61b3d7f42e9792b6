// Recordset: fields, records, cursor, filter and the JSON document.
#include "platform/recordset.h"

#include <cmath>
#include <istream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <streambuf>
#include <utility>

#include "platform/file_system.h"
#include "platform/platform.h"
#include "platform/recordset_reader.h"

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

// Whether text goes into a JSON string as it is: printable ASCII without a
// quote or a backslash.
bool IsPlainJsonText(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
  }
  return true;
}

void AppendJsonText(std::string_view text, std::string* out) {
  if (IsPlainJsonText(text)) {
    out->push_back('"');
    out->append(text);
    out->push_back('"');
    return;
  }
  *out += Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void AppendJsonValue(const ValueView& value, std::string* out) {
  switch (value.type) {
    case VariantType::kNull:
      *out += "null";
      return;
    case VariantType::kInteger:
      *out += std::to_string(value.integer);
      return;
    case VariantType::kNumber:
      *out += std::isfinite(value.number) ? Json(value.number).dump() : "null";
      return;
    case VariantType::kText:
      AppendJsonText(value.text, out);
      return;
    case VariantType::kBoolean:
      *out += value.boolean ? "true" : "false";
      return;
  }
}

// What WriteJson gathers before it hands a piece to its sink.
constexpr size_t kJsonPiece = 256 << 10;

// A file of the current platform's machine read as a stream, for the parser.
class FileStreamBuffer : public std::streambuf {
 public:
  explicit FileStreamBuffer(const RandomAccessFile& file) : file_(file), buffer_(kJsonPiece) {}

  // The first failure to read; the stream then ends.
  const Status& status() const { return status_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    size_t got = 0;
    if (status_.ok()) {
      status_ =
          file_.Read(offset_, buffer_.size(), reinterpret_cast<uint8_t*>(buffer_.data()), &got);
    }
    if (!status_.ok() || got == 0) return traits_type::eof();
    offset_ += got;
    setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
    return traits_type::to_int_type(*gptr());
  }

 private:
  const RandomAccessFile& file_;
  std::vector<char> buffer_;
  uint64_t offset_ = 0;
  Status status_;
};

// Parses the file at windows_path into *reader.
Status ParseFile(FileSystem& files, const std::string& windows_path, RecordsetReader* reader) {
  std::unique_ptr<RandomAccessFile> file;
  Status s = files.NewRandomAccessFile(windows_path, &file);
  if (!s.ok()) return s;
  FileStreamBuffer buffer(*file);
  std::istream stream(&buffer);
  Json::sax_parse(stream, reader);
  return buffer.status();
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
  if (!store_.empty()) {
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
  RecordEncoder record;
  for (const Variant& value : values) record.Add(value);
  store_.Append(record);
  // The records before it were filtered already: only the new one is judged.
  const size_t index = store_.size() - 1;
  if (condition_ && Matches(index)) visible_.push_back(static_cast<uint32_t>(index));
  position_ = 0;
  return Status::OK();
}

void Recordset::Clear() { *this = Recordset(); }

// ---- Extra top-level keys -------------------------------------------------

const std::string* Recordset::ExtraKey(const std::string& name) const {
  for (const auto& [key, json_text] : extra_keys_) {
    if (key == name) return &json_text;
  }
  return nullptr;
}

void Recordset::SetExtraKey(const std::string& name, std::string json_text) {
  for (auto& [key, value] : extra_keys_) {
    if (key == name) {
      value = std::move(json_text);
      return;
    }
  }
  extra_keys_.emplace_back(name, std::move(json_text));
}

void Recordset::RemoveExtraKey(const std::string& name) {
  std::erase_if(extra_keys_, [&](const auto& entry) { return entry.first == name; });
}

std::vector<Variant> Recordset::RecordValues(size_t index) const {
  std::vector<ValueView> views;
  store_.GetAll(index, fields_.size(), &views);
  std::vector<Variant> values;
  values.reserve(views.size());
  for (const ValueView& view : views) values.push_back(view.ToVariant());
  return values;
}

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
  *out = store_.Get(VisibleRecord(position_), static_cast<size_t>(index)).ToVariant();
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

bool Recordset::Matches(size_t record) const {
  if (!condition_) return true;
  const Variant value = store_.Get(record, static_cast<size_t>(condition_->field)).ToVariant();
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
  if (condition_) {
    for (size_t i = 0; i < store_.size(); ++i) {
      if (Matches(i)) visible_.push_back(static_cast<uint32_t>(i));
    }
  }
  visible_.shrink_to_fit();
  position_ = 0;
}

// ---- Persistence ----------------------------------------------------------

Status Recordset::ParseJson(const std::string& text) {
  RecordsetReader reader;
  Json::sax_parse(text, &reader);
  if (reader.NeedsSecondPass()) {
    reader = reader.ForSecondPass();
    Json::sax_parse(text, &reader);
  }
  return reader.Finish(this);
}

Status Recordset::WriteJson(const std::function<Status(std::string_view)>& sink) const {
  return WriteDocument(/*with_extra_keys=*/true, sink);
}

Status Recordset::WriteContentJson(const std::function<Status(std::string_view)>& sink) const {
  return WriteDocument(/*with_extra_keys=*/false, sink);
}

Status Recordset::WriteDocument(bool with_extra_keys,
                                const std::function<Status(std::string_view)>& sink) const {
  std::string out;
  out.reserve(kJsonPiece + 4096);
  auto flush = [&](bool always) {
    if (out.empty() || (!always && out.size() < kJsonPiece)) return Status::OK();
    Status s = sink(out);
    out.clear();
    return s;
  };
  out += "{\n  \"format\": ";
  AppendJsonText(kRecordsetFormat, &out);
  out += ",\n  \"version\": " + std::to_string(kRecordsetVersion) + ",\n";
  out += "  \"fields\": [";
  for (size_t i = 0; i < fields_.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    out += "{\"name\": ";
    AppendJsonText(fields_[i].name, &out);
    out += ", \"type\": \"";
    out += FieldTypeName(fields_[i].type);
    out += "\"}";
  }
  out += fields_.empty() ? "],\n" : "\n  ],\n";
  out += "  \"records\": [";
  std::vector<ValueView> values;
  for (size_t r = 0; r < store_.size(); ++r) {
    out += r == 0 ? "\n    [" : ",\n    [";
    store_.GetAll(r, fields_.size(), &values);
    for (size_t f = 0; f < values.size(); ++f) {
      if (f > 0) out += ", ";
      AppendJsonValue(values[f], &out);
    }
    out += "]";
    Status s = flush(false);
    if (!s.ok()) return s;
  }
  out += store_.empty() ? "]" : "\n  ]";
  if (with_extra_keys) {
    for (const auto& [name, json_text] : extra_keys_) {
      out += ",\n  ";
      AppendJsonText(name, &out);
      out += ": ";
      out += json_text;
    }
  }
  out += "\n}\n";
  return flush(true);
}

std::string Recordset::ToJson() const {
  std::string out;
  WriteJson([&](std::string_view piece) {
    out.append(piece);
    return Status::OK();
  });
  return out;
}

Status Recordset::Open(const std::string& windows_path) {
  if (!HasCurrentPlatform() || CurrentPlatform().files == nullptr) {
    return Status::Error(kErrorNotSupported, "no file system to open " + windows_path);
  }
  FileSystem& files = *CurrentPlatform().files;
  RecordsetReader reader;
  Status s = ParseFile(files, windows_path, &reader);
  if (s.ok() && reader.NeedsSecondPass()) {
    reader = reader.ForSecondPass();
    s = ParseFile(files, windows_path, &reader);
  }
  if (!s.ok()) {
    return Status::Error(s.code(), "cannot read " + windows_path + ": " + s.message());
  }
  s = reader.Finish(this);
  if (!s.ok()) return Status::Error(s.code(), windows_path + ": " + s.message());
  return Status::OK();
}

Status Recordset::save(const std::string& windows_path) const {
  if (!HasCurrentPlatform() || CurrentPlatform().files == nullptr) {
    return Status::Error(kErrorNotSupported, "no file system to save " + windows_path);
  }
  Status s = WriteFileAtomically(*CurrentPlatform().files, windows_path, [&](WritableFile& file) {
    return WriteJson(
        [&](std::string_view piece) { return file.Append(piece.data(), piece.size()); });
  });
  if (!s.ok()) {
    return Status::Error(s.code(), "cannot save " + windows_path + ": " + s.message());
  }
  return Status::OK();
}

}  // namespace qv
