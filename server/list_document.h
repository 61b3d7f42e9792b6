// ListDocument: reading an install list document the way every tool of the
// server reads one ("qvserver list import" and "list export", "publish
// --list" and the web console), so that they all accept and write the same
// documents.
//
// Safe to call from any thread on lists of its own.
#ifndef QV_SERVER_LIST_DOCUMENT_H_
#define QV_SERVER_LIST_DOCUMENT_H_

#include <cstdint>
#include <string>

#include "platform/recordset.h"
#include "platform/status.h"
#include "server/storage.h"

namespace qv::server {

// Reads and checks an install list document: the format, the types, and the
// fields every record needs. A failure's message starts with where (the
// file or what else the text came from). A list saved by a client carries
// the signature it was served with; it is dropped, since the server signs
// what it hands out itself.
Status ParseListDocument(const std::string& text, const std::string& where, Recordset* list);

// The stored install list of key_name, read as ParseListDocument reads it,
// and its generation; *found false when the key name has none.
Status ReadStoredList(Storage& storage, const std::string& key_name, bool* found, Recordset* list,
                      int64_t* generation);

}  // namespace qv::server

#endif  // QV_SERVER_LIST_DOCUMENT_H_
