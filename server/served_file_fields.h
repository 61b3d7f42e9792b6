// FillServedFileFields: writes into an install list what each listed file is
// as the server hands it out (FileSHA256 and FileSize), read from the files
// folder, so that a client can refuse a file that was changed or cut short
// afterwards.
//
// Safe to call from any thread on a list of its own.
#ifndef QV_SERVER_SERVED_FILE_FIELDS_H_
#define QV_SERVER_SERVED_FILE_FIELDS_H_

#include <string>

#include "platform/recordset.h"
#include "platform/status.h"

namespace qv::server {

// For every record whose DownloadLocation names a file below files_dir (a
// plain relative path, as "serve --files" hands it out), or only those naming
// `only` when it is not empty, sets FileSHA256 and FileSize from that file.
// The fields are added to a list that lacks them. Records naming no such file
// keep what they had. *filled counts the records set. Fails when a file
// cannot be read or the list has one of the fields with another type; the
// list is then unchanged.
Status FillServedFileFields(const std::string& files_dir, const std::string& only, Recordset* list,
                            int* filled);

}  // namespace qv::server

#endif  // QV_SERVER_SERVED_FILE_FIELDS_H_
