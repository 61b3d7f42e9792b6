// ConsoleListPages: the HTML of the console's install-list pages and of its
// published-files page (server/console_lists.h serves them), written as the
// other console pages are (server/console_pages.h): no script, every text
// from a request, a list or the disk escaped.
#ifndef QV_SERVER_CONSOLE_LIST_PAGES_H_
#define QV_SERVER_CONSOLE_LIST_PAGES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/recordset.h"
#include "server/console_pages.h"
#include "server/list_diff.h"
#include "server/published_files.h"
#include "server/storage.h"

namespace qv::server {

// Every key name's list, with links to view and export it, and the form
// that imports a document (id "import-form").
std::string ConsoleListsPage(const ConsoleFrame& frame, const std::vector<InstallListRow>& lists);

// The records one page of a list shows.
inline constexpr size_t kConsoleListRecordsPerPage = 500;

// One key name's list: its generation, when it was stored, page page_number
// of its records (kConsoleListRecordsPerPage a page) with every field, and the
// import form for that key name.
std::string ConsoleListPage(const ConsoleFrame& frame, const InstallListRow& row,
                            const Recordset& list, int64_t page_number);

// What storing document as key_name's list would change (table "diff"),
// compared with the stored list of generation (0: none), and the form that
// stores it (id "apply-form").
std::string ConsoleCheckPage(const ConsoleFrame& frame, const std::string& key_name,
                             int64_t generation, const std::vector<RecordChange>& changes,
                             const std::string& document);

// The files below the files folder (table "files") and the lists' records
// whose file is not there (table "missing"); listing null when the server
// serves no files folder.
std::string ConsoleFilesPage(const ConsoleFrame& frame, const PublishedListing* listing,
                             const std::vector<MissingFile>& missing);

}  // namespace qv::server

#endif  // QV_SERVER_CONSOLE_LIST_PAGES_H_
