// Install list documents as the server's tools read them.
#include "server/list_document.h"

#include "installlist/install_list.h"
#include "installlist/list_signature.h"

namespace qv::server {

Status ParseListDocument(const std::string& text, const std::string& where, Recordset* list) {
  Status status = list->ParseJson(text);
  if (status.ok()) status = ValidateInstallList(*list);
  if (!status.ok()) return Status::Error(status.code(), where + ": " + status.message());
  list->RemoveExtraKey(kListSignatureKey);
  return status;
}

Status ReadStoredList(Storage& storage, const std::string& key_name, bool* found, Recordset* list,
                      int64_t* generation) {
  std::string document;
  Status status = storage.GetInstallList(key_name, found, &document, generation);
  if (status.ok() && *found) {
    status = ParseListDocument(document, "the stored list of " + key_name, list);
  }
  return status;
}

}  // namespace qv::server
