// The install record's fields and how the run reads them.
#include "installlist/install_list.h"

#include <cmath>
#include <utility>
#include <vector>

namespace qv {

namespace {

// The fields every record must have a value in (SequenceID may be null).
constexpr const char* kRequiredFields[] = {kFieldSequenceID, kFieldFileName,
                                           kFieldDownloadLocation,
                                           kFieldInstallType, kFieldFileVersion};

std::string TrimSpaces(const std::string& text) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  const size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

// text as 64 lowercase hex digits, or "" when it is not 64 hex digits.
std::string LowerHexDigest(const std::string& text) {
  if (text.size() != 64) return "";
  std::string digest = text;
  for (char& c : digest) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
  }
  return digest;
}

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(' ') == std::string::npos;
}

// Fits a value to a list whose field has another type than a new list's:
// a flag becomes 1 or 0 in a numeric field, a number becomes text in a text
// field.
Variant FitToField(FieldType type, const Variant& value) {
  if (value.IsBoolean() &&
      (type == FieldType::kInteger || type == FieldType::kNumber)) {
    return Variant::Integer(value.boolean_value() ? 1 : 0);
  }
  if ((value.IsInteger() || value.IsNumber()) && type == FieldType::kString) {
    return Variant::Text(value.ToText());
  }
  return value;
}

}  // namespace

Recordset NewInstallList() {
  Recordset list;
  const std::pair<const char*, FieldType> kLayout[] = {
      {kFieldSequenceID, FieldType::kInteger},
      {kFieldFileName, FieldType::kString},
      {kFieldDownloadLocation, FieldType::kString},
      {kFieldInstallType, FieldType::kInteger},
      {kFieldFileVersion, FieldType::kString},
      {kFieldAltCheck, FieldType::kString},
      {kFieldAltCheckRegValue, FieldType::kString},
      {kFieldInstallLocation, FieldType::kString},
      {kFieldIsQVObject, FieldType::kBoolean},
      {kFieldDescription, FieldType::kString},
      {kFieldIsCompressed, FieldType::kBoolean},
  };
  for (const auto& [name, type] : kLayout) list.AddField(name, type);
  return list;
}

Status ValidateInstallList(const Recordset& list) {
  for (const char* name : kRequiredFields) {
    if (!list.HasField(name)) {
      return Status::Corrupt(std::string("the install list has no field \"") +
                             name + "\"");
    }
  }
  return Status::OK();
}

bool InstallRecord::HasRegistryCheck() const {
  return !IsBlank(alt_check_reg_value);
}

bool InstallRecord::HasFileCheck() const {
  return !HasRegistryCheck() && !IsBlank(alt_check);
}

Status ReadInstallRecord(const Recordset& list, InstallRecord* record) {
  *record = InstallRecord();
  if (list.Eof()) {
    return Status::Error(kErrorNoMoreItems,
                         "the install list has no current record");
  }
  const std::string where =
      "install record " + std::to_string(list.AbsolutePosition());
  Status first_failure;
  auto fail = [&](const std::string& message) {
    if (first_failure.ok()) first_failure = Status::Corrupt(where + ": " + message);
  };
  // A required field: missing and (except for SequenceID) null are failures.
  auto required = [&](const char* name, bool may_be_null) {
    Variant value;
    if (!list.Value(name, &value).ok()) {
      fail(std::string("the list has no field \"") + name + "\"");
    } else if (value.IsNull() && !may_be_null) {
      fail(std::string("\"") + name + "\" is empty");
    }
    return value;
  };

  record->sequence_id = required(kFieldSequenceID, true).ToNumber();
  record->file_name = required(kFieldFileName, false).ToText();
  record->download_location = required(kFieldDownloadLocation, false).ToText();
  const Variant install_type = required(kFieldInstallType, false);
  if (!install_type.IsNull() && !install_type.ToInt16(&record->install_type)) {
    fail("\"InstallType\" " + install_type.ToText() +
         " is not a whole number from -32768 to 32767");
  }
  record->file_version = TrimSpaces(required(kFieldFileVersion, false).ToText());

  record->alt_check = list.Field(kFieldAltCheck).ToText();
  record->alt_check_reg_value = list.Field(kFieldAltCheckRegValue).ToText();
  record->install_location = list.Field(kFieldInstallLocation).ToText();
  record->is_qv_object = list.Field(kFieldIsQVObject).IsNonZero();
  record->description = list.Field(kFieldDescription).ToText();
  record->is_compressed = list.Field(kFieldIsCompressed).IsNonZero();

  const Variant sha256 = list.Field(kFieldFileSHA256);
  if (!sha256.IsNull()) {
    record->file_sha256 = LowerHexDigest(sha256.ToText());
    if (record->file_sha256.empty()) {
      fail("\"FileSHA256\" " + sha256.ToText() + " is not 64 hexadecimal digits");
    }
  }
  const Variant size = list.Field(kFieldFileSize);
  if (!size.IsNull()) {
    const double bytes = size.ToNumber();
    if (!(size.IsInteger() || size.IsNumber()) || bytes < 0 || std::trunc(bytes) != bytes ||
        bytes > 9.0e15) {
      fail("\"FileSize\" " + size.ToText() + " is not a whole number of bytes");
    } else {
      record->file_size = static_cast<int64_t>(bytes);
    }
  }
  return first_failure;
}

Status AppendInstallRecord(Recordset* list, const InstallRecord& record) {
  const double id = record.sequence_id;
  const Variant sequence_id =
      std::trunc(id) == id && std::fabs(id) < 9.0e18
          ? Variant::Integer(static_cast<int64_t>(id))
          : Variant::Number(id);
  const std::pair<const char*, Variant> kValues[] = {
      {kFieldSequenceID, sequence_id},
      {kFieldFileName, Variant::Text(record.file_name)},
      {kFieldDownloadLocation, Variant::Text(record.download_location)},
      {kFieldInstallType, Variant::Integer(record.install_type)},
      {kFieldFileVersion, Variant::Text(record.file_version)},
      {kFieldAltCheck, Variant::Text(record.alt_check)},
      {kFieldAltCheckRegValue, Variant::Text(record.alt_check_reg_value)},
      {kFieldInstallLocation, Variant::Text(record.install_location)},
      {kFieldIsQVObject, Variant::Boolean(record.is_qv_object)},
      {kFieldDescription, Variant::Text(record.description)},
      {kFieldIsCompressed, Variant::Boolean(record.is_compressed)},
      {kFieldFileSHA256,
       record.file_sha256.empty() ? Variant() : Variant::Text(record.file_sha256)},
      {kFieldFileSize, record.file_size < 0 ? Variant() : Variant::Integer(record.file_size)},
  };
  std::vector<Variant> values(list->fields().size());
  for (const auto& [name, value] : kValues) {
    const int index = list->FieldIndex(name);
    if (index < 0) continue;
    const size_t i = static_cast<size_t>(index);
    values[i] = FitToField(list->fields()[i].type, value);
  }
  return list->AddRecord(std::move(values));
}

}  // namespace qv
