// ConsoleLists: the web console's install-list pages and its published-files
// page (server/console.h routes to them, signed in and, for a POST, with the
// form token checked).
//
//   GET  /console/lists                    every key name's list
//   GET  /console/lists/view?key_name=K    K's list, its records a page at a
//        [&page=N]                         time
//   GET  /console/lists/export?key_name=K  K's list as "qvserver list export"
//                                          writes it, as a download
//   POST /console/lists/check              key_name, document (a file;
//                                          multipart/form-data): checks the
//                                          document as "list import" does and
//                                          shows what storing it would change
//   POST /console/lists/apply              key_name, generation, document:
//                                          stores the document, unless K's list
//                                          is no longer of that generation
//   GET  /console/files                    the files folder's files, and the
//                                          lists' records whose file is missing
//
// A document over kMaxListDocumentBytes is refused with 413. Thread-safe:
// each request is answered on its own.
#ifndef QV_SERVER_CONSOLE_LISTS_H_
#define QV_SERVER_CONSOLE_LISTS_H_

#include <httplib.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "server/console_pages.h"
#include "server/file_root.h"
#include "server/storage.h"

namespace qv::server {

// The largest list document the console takes, and the largest body of a
// POST that carries one: the document and the form around it.
inline constexpr uint64_t kMaxListDocumentBytes = uint64_t{16} << 20;
inline constexpr uint64_t kMaxListFormBytes = kMaxListDocumentBytes + (uint64_t{64} << 10);

// What a page answers; the console sends it with the headers every answer
// of its carries.
struct ConsoleReply {
  int status = 200;
  std::string body;
  std::string content_type = "text/html; charset=utf-8";
  std::string download_name;  // sent as an attachment of this name when set
};

class ConsoleLists {
 public:
  // files: the files folder the server serves; null when it serves none.
  // REQUIRES: both outlive this object.
  ConsoleLists(Storage* storage, const FileRoot* files) : storage_(storage), files_(files) {}

  // Whether path is one of the paths above.
  static bool Owns(const std::string& path);
  // Whether a POST to target (as sent, query and all) may carry a document.
  static bool TakesDocuments(std::string_view target);
  // The answer to a document too large to take.
  static ConsoleReply TooLarge();

  ConsoleReply Get(const httplib::Request& req, const ConsoleFrame& frame);
  ConsoleReply Post(const httplib::Request& req, const ConsoleFrame& frame);

 private:
  // The overview, with message (a failure when status is not 200).
  ConsoleReply Overview(ConsoleFrame frame, const std::string& message, int status);
  ConsoleReply View(ConsoleFrame frame, const std::string& key_name, const std::string& message,
                    int64_t page_number = 1);
  ConsoleReply Export(const std::string& key_name);
  ConsoleReply Check(const ConsoleFrame& frame, const std::string& key_name,
                     const std::string& document);
  ConsoleReply Apply(const ConsoleFrame& frame, const std::string& key_name,
                     const std::string& generation, const std::string& document);
  ConsoleReply Files(const ConsoleFrame& frame);

  Storage* storage_;
  const FileRoot* files_;
};

}  // namespace qv::server

#endif  // QV_SERVER_CONSOLE_LISTS_H_
