// The console's install-list and published-files requests.
#include "server/console_lists.h"

#include <charconv>
#include <utility>
#include <vector>

#include "installlist/install_list.h"
#include "server/console_list_pages.h"
#include "server/list_diff.h"
#include "server/list_document.h"
#include "server/published_files.h"

namespace qv::server {
namespace {

constexpr const char* kText = "text/plain; charset=utf-8";

// A form field: from a multipart form, or from a URL-encoded one or the
// query.
std::string FormValue(const httplib::Request& req, const char* name) {
  const auto file = req.files.find(name);
  return file != req.files.end() ? file->second.content : req.get_param_value(name);
}

ConsoleReply Page(int status, std::string body) {
  ConsoleReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

ConsoleReply Text(int status, std::string text) {
  ConsoleReply reply = Page(status, std::move(text));
  reply.content_type = kText;
  return reply;
}

std::string TooLargeText() {
  return "The document is larger than " + std::to_string(kMaxListDocumentBytes >> 20) +
         " MiB, more than the console takes.";
}

std::string NoList(const std::string& key_name) {
  return "The key name \"" + key_name + "\" has no install list.";
}

// Reads a posted document as "qvserver list import" reads a file.
Status ReadPosted(const std::string& document, Recordset* list, int* status) {
  *status = 400;
  if (document.size() > kMaxListDocumentBytes) {
    *status = 413;
    return Status::InvalidArgument(TooLargeText());
  }
  return ParseListDocument(document, "the document", list);
}

}  // namespace

bool ConsoleLists::Owns(const std::string& path) {
  return path == "/console/lists" || path.starts_with("/console/lists/") ||
         path == "/console/files";
}

bool ConsoleLists::TakesDocuments(std::string_view target) {
  return target.starts_with("/console/lists/");
}

ConsoleReply ConsoleLists::TooLarge() {
  return Text(413, "The request is too large: the console takes list documents of up to " +
                       std::to_string(kMaxListDocumentBytes >> 20) + " MiB.\n");
}

ConsoleReply ConsoleLists::Get(const httplib::Request& req, const ConsoleFrame& frame) {
  const std::string key_name = req.get_param_value("key_name");
  if (req.path == "/console/lists") return Overview(frame, "", 200);
  if (req.path == "/console/lists/view") {
    return View(frame, key_name, "", ConsolePageNumber(req.get_param_value("page")));
  }
  if (req.path == "/console/lists/export") return Export(key_name);
  if (req.path == "/console/files") return Files(frame);
  return Text(404, "Not Found\n");
}

ConsoleReply ConsoleLists::Post(const httplib::Request& req, const ConsoleFrame& frame) {
  const std::string key_name = FormValue(req, "key_name");
  if (req.path != "/console/lists/check" && req.path != "/console/lists/apply") {
    return Text(404, "Not Found\n");
  }
  if (key_name.empty()) return Overview(frame, "Give the key name the list is for.", 400);
  if (req.path == "/console/lists/check") return Check(frame, key_name, FormValue(req, "document"));
  return Apply(frame, key_name, FormValue(req, "generation"), FormValue(req, "document"));
}

ConsoleReply ConsoleLists::Overview(ConsoleFrame frame, const std::string& message, int status) {
  std::vector<InstallListRow> lists;
  const Status listed = storage_->ListInstallLists(&lists);
  frame.message = listed.ok() ? message : listed.message();
  frame.failed = !listed.ok() || status != 200;
  return Page(listed.ok() ? status : 500, ConsoleListsPage(frame, lists));
}

ConsoleReply ConsoleLists::View(ConsoleFrame frame, const std::string& key_name,
                                const std::string& message, int64_t page_number) {
  std::vector<InstallListRow> lists;
  Recordset list;
  bool found = false;
  InstallListRow row{key_name, 0, "", 0};
  Status status = ReadStoredList(*storage_, key_name, &found, &list, &row.generation);
  if (status.ok() && found) status = storage_->ListInstallLists(&lists);
  if (!status.ok()) return Overview(frame, status.message(), 500);
  if (!found) return Overview(frame, NoList(key_name), 404);
  for (const InstallListRow& listed : lists) {
    if (listed.key_name == key_name) row.updated = listed.updated;
  }
  frame.message = message;
  return Page(200, ConsoleListPage(frame, row, list, page_number));
}

ConsoleReply ConsoleLists::Export(const std::string& key_name) {
  Recordset list;
  bool found = false;
  int64_t generation = 0;
  const Status status = ReadStoredList(*storage_, key_name, &found, &list, &generation);
  if (!status.ok()) return Text(500, status.message() + "\n");
  if (!found) return Text(404, NoList(key_name) + "\n");
  ConsoleReply reply = Page(200, list.ToJson());
  reply.content_type = "application/json";
  reply.download_name = kInstallListFileName;
  return reply;
}

ConsoleReply ConsoleLists::Check(const ConsoleFrame& frame, const std::string& key_name,
                                 const std::string& document) {
  Recordset list, stored;
  int refusal = 0;
  Status status = ReadPosted(document, &list, &refusal);
  if (!status.ok()) return Overview(frame, status.message(), refusal);
  bool found = false;
  int64_t generation = 0;
  status = ReadStoredList(*storage_, key_name, &found, &stored, &generation);
  if (!status.ok()) return Overview(frame, status.message(), 500);
  // The page carries the document as it came: Apply reads it again the
  // same way, and a copy written out anew could outgrow the size limit.
  return Page(200, ConsoleCheckPage(frame, key_name, found ? generation : 0,
                                    DiffInstallLists(stored, list), document));
}

ConsoleReply ConsoleLists::Apply(const ConsoleFrame& frame, const std::string& key_name,
                                 const std::string& generation, const std::string& document) {
  Recordset list;
  int refusal = 0;
  Status status = ReadPosted(document, &list, &refusal);
  if (!status.ok()) return Overview(frame, status.message(), refusal);
  int64_t checked = -1;
  const char* end = generation.data() + generation.size();
  if (std::from_chars(generation.data(), end, checked).ptr != end || checked < 0) {
    return Overview(frame, "Check the document before applying it.", 400);
  }
  // Stored only when the list is still the one the document was compared
  // with: a change in between would otherwise be lost unseen.
  bool stored = false;
  status = storage_->PutInstallList(key_name, list.ToJson(), checked, &stored);
  std::string now_stored;
  bool found = false;
  int64_t current = 0;
  if (status.ok()) status = storage_->GetInstallList(key_name, &found, &now_stored, &current);
  if (!status.ok()) return Overview(frame, status.message(), 500);
  if (!stored) {
    return Overview(frame,
                    "The list of " + key_name + " changed since the document was checked (then " +
                        "generation " + std::to_string(checked) + ", now " +
                        std::to_string(found ? current : 0) + "): check the document again.",
                    409);
  }
  return View(frame, key_name,
              "Imported the list of " + key_name + ": generation " + std::to_string(current) + ".");
}

ConsoleReply ConsoleLists::Files(const ConsoleFrame& frame) {
  if (files_ == nullptr) return Page(200, ConsoleFilesPage(frame, nullptr, {}));
  PublishedListing listing;
  std::vector<MissingFile> missing;
  Status status = ListPublishedFiles(*files_, kMaxPublishedEntries, &listing);
  if (status.ok()) status = FindMissingFiles(*storage_, *files_, &missing);
  ConsoleFrame shown = frame;
  if (!status.ok()) {
    shown.message = status.message();
    shown.failed = true;
  }
  return Page(status.ok() ? 200 : 500, ConsoleFilesPage(shown, &listing, missing));
}

}  // namespace qv::server
