// Filling in the served files' digests and sizes.
#include "server/served_file_fields.h"

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <utility>
#include <vector>

#include "installlist/install_list.h"
#include "platform/sha256.h"
#include "server/file_root.h"

namespace qv::server {
namespace {

// The digest and size of the file at path, read in pieces.
Status DigestFile(const std::string& path, std::string* sha256, int64_t* size) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::Error(kErrorFileNotFound, "cannot read " + path);
  Sha256 hash;
  std::vector<char> piece(1 << 20);
  *size = 0;
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const std::streamsize got = in.gcount();
    hash.Update(piece.data(), static_cast<size_t>(got));
    *size += got;
  }
  if (in.bad()) return Status::Error(kErrorInvalidData, "cannot read " + path);
  *sha256 = hash.FinishHex();
  if (sha256->empty()) return Status::Error(kErrorInvalidData, "cannot hash " + path);
  return Status::OK();
}

// The list's field name with type, added when missing; its index.
Status FieldOfType(const Recordset& list, const char* name, FieldType type,
                   std::vector<FieldInfo>* fields, size_t* index) {
  const int found = list.FieldIndex(name);
  if (found < 0) {
    fields->push_back({name, type});
    *index = fields->size() - 1;
    return Status::OK();
  }
  *index = static_cast<size_t>(found);
  if ((*fields)[*index].type != type) {
    return Status::Corrupt(std::string("the list's field \"") + name + "\" has another type");
  }
  return Status::OK();
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Status FillServedFileFields(const std::string& files_dir, const std::string& only, Recordset* list,
                            int* filled) {
  *filled = 0;
  std::vector<FieldInfo> fields = list->fields();
  size_t sha_index = 0, size_index = 0;
  Status status = FieldOfType(*list, kFieldFileSHA256, FieldType::kString, &fields, &sha_index);
  if (status.ok()) {
    status = FieldOfType(*list, kFieldFileSize, FieldType::kInteger, &fields, &size_index);
  }
  const int location_index = list->FieldIndex(kFieldDownloadLocation);
  if (!status.ok() || location_index < 0) return status;

  std::vector<std::vector<Variant>> records;
  for (size_t i = 0; i < list->total_records(); ++i) {
    std::vector<Variant> values = list->RecordValues(i);
    values.resize(fields.size());
    const std::string location = values[static_cast<size_t>(location_index)].ToText();
    const std::string path = files_dir + "/" + location;
    if ((only.empty() || location == only) && CheckPlainRelativePath(location).ok() &&
        IsRegularFile(path)) {
      std::string sha256;
      int64_t size = 0;
      status = DigestFile(path, &sha256, &size);
      if (!status.ok()) return status;
      values[sha_index] = Variant::Text(sha256);
      values[size_index] = Variant::Integer(size);
      ++*filled;
    }
    records.push_back(std::move(values));
  }

  Recordset updated;
  for (const FieldInfo& field : fields) {
    status = updated.AddField(field.name, field.type);
    if (!status.ok()) return status;
  }
  for (std::vector<Variant>& values : records) {
    status = updated.AddRecord(std::move(values));
    if (!status.ok()) return status;
  }
  *list = std::move(updated);
  return Status::OK();
}

}  // namespace qv::server
