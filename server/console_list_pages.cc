// The install-list and published-files pages' HTML.
#include "server/console_list_pages.h"

#include <algorithm>
#include <cstdio>

namespace qv::server {
namespace {

// text as a URL query value: everything but unreserved characters
// percent-encoded.
std::string QueryValue(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

std::string Link(const std::string& page, const std::string& key_name, const std::string& text) {
  return "<a href=\"/console/lists/" + page + "?key_name=" + HtmlEscape(QueryValue(key_name)) +
         "\">" + HtmlEscape(text) + "</a>";
}

// A value as a cell shows it: null apart from empty text.
std::string ValueHtml(const Variant& value) {
  return value.IsNull() ? "<span class=\"null\">null</span>" : HtmlEscape(value.ToText());
}

std::string HiddenField(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + HtmlEscape(value) + "\">";
}

std::string ImportForm(const std::string& csrf_token, const std::string& key_name) {
  return "<h2>Import a list</h2>\n<form id=\"import-form\" method=\"post\" "
         "action=\"/console/lists/check\" enctype=\"multipart/form-data\">" +
         HiddenToken(csrf_token) + "<input name=\"key_name\" placeholder=\"key name\" value=\"" +
         HtmlEscape(key_name) +
         "\" required> <input type=\"file\" name=\"document\" accept=\".rst,.json\" required> "
         "<button>Check</button></form>\n<p>Checking shows what would change; nothing is stored "
         "until you apply it.</p>\n";
}

const char* ChangeName(RecordChange::Kind kind) {
  switch (kind) {
    case RecordChange::Kind::kAdded:
      return "added";
    case RecordChange::Kind::kRemoved:
      return "removed";
    case RecordChange::Kind::kChanged:
      break;
  }
  return "changed";
}

}  // namespace

std::string ConsoleListsPage(const ConsoleFrame& frame, const std::vector<InstallListRow>& lists) {
  std::string page = ConsolePageStart("Install lists", "lists", frame);
  if (lists.empty()) {
    page += "<p>No key name has an install list yet.</p>\n";
  } else {
    page +=
        "<table id=\"lists\"><thead><tr><th>Key name</th><th>Generation</th><th>Updated</th>"
        "<th>Records</th><th></th></tr></thead><tbody>\n";
    for (const InstallListRow& row : lists) {
      page += "<tr><td>" + Link("view", row.key_name, row.key_name) + "</td><td>" +
              std::to_string(row.generation) + "</td><td>" + HtmlEscape(row.updated) + "</td><td>" +
              std::to_string(row.records) + "</td><td>" + Link("export", row.key_name, "Export") +
              "</td></tr>\n";
    }
    page += "</tbody></table>\n";
  }
  return page + ImportForm(frame.csrf_token, "") + ConsolePageEnd();
}

std::string ConsoleListPage(const ConsoleFrame& frame, const InstallListRow& row,
                            const Recordset& list, int64_t page_number) {
  const size_t total = list.total_records();
  const size_t first =
      std::min(total, static_cast<size_t>(page_number - 1) * kConsoleListRecordsPerPage);
  const size_t end = std::min(total, first + kConsoleListRecordsPerPage);
  std::string page = ConsolePageStart("Install list of " + row.key_name, "lists", frame);
  page += "<p>Generation " + std::to_string(row.generation) + ", stored " +
          HtmlEscape(row.updated) + ", " + std::to_string(total) + " records";
  if (total > kConsoleListRecordsPerPage) {
    page += first < end
                ? " (" + std::to_string(first + 1) + " to " + std::to_string(end) + " shown)"
                : " (none on this page)";
  }
  page += ". " + Link("export", row.key_name, "Export") + "</p>\n";
  page += "<div class=\"scroll\"><table id=\"records\"><thead><tr>";
  for (const FieldInfo& field : list.fields()) page += "<th>" + HtmlEscape(field.name) + "</th>";
  page += "</tr></thead><tbody>\n";
  for (size_t i = first; i < end; ++i) {
    page += "<tr>";
    for (const Variant& value : list.RecordValues(i)) page += "<td>" + ValueHtml(value) + "</td>";
    page += "</tr>\n";
  }
  page += "</tbody></table></div>\n";
  page += ConsolePager("/console/lists/view?key_name=" + QueryValue(row.key_name) + "&",
                       page_number, end < total, "Earlier records", "Later records");
  return page + ImportForm(frame.csrf_token, row.key_name) + ConsolePageEnd();
}

std::string ConsoleCheckPage(const ConsoleFrame& frame, const std::string& key_name,
                             int64_t generation, const std::vector<RecordChange>& changes,
                             const std::string& document) {
  std::string page = ConsolePageStart("Check the list of " + key_name, "lists", frame);
  page += generation == 0 ? "<p>" + HtmlEscape(key_name) + " has no list yet.</p>\n"
                          : "<p>Compared with the stored list, generation " +
                                std::to_string(generation) + ".</p>\n";
  page +=
      "<table id=\"diff\"><thead><tr><th>Change</th><th>FileName</th><th>Fields</th></tr>"
      "</thead><tbody>\n";
  if (changes.empty()) page += "<tr><td colspan=\"3\">No record changes.</td></tr>\n";
  for (const RecordChange& change : changes) {
    const char* name = ChangeName(change.kind);
    page += std::string("<tr class=\"") + name + "\"><td>" + name + "</td><td>" +
            HtmlEscape(change.file_name) + "</td><td>";
    if (!change.fields.empty()) {
      page += "<ul>";
      for (const FieldChange& field : change.fields) {
        page += "<li>" + HtmlEscape(field.field) + ": " + ValueHtml(field.before) + " -&gt; " +
                ValueHtml(field.after) + "</li>";
      }
      page += "</ul>";
    }
    page += "</td></tr>\n";
  }
  page += "</tbody></table>\n";
  page +=
      "<form id=\"apply-form\" method=\"post\" action=\"/console/lists/apply\" "
      "enctype=\"multipart/form-data\">" +
      HiddenToken(frame.csrf_token) + HiddenField("key_name", key_name) +
      HiddenField("generation", std::to_string(generation)) + HiddenField("document", document) +
      "<button>Apply</button> <a href=\"/console/lists\">Cancel</a></form>\n";
  return page + ConsolePageEnd();
}

std::string ConsoleFilesPage(const ConsoleFrame& frame, const PublishedListing* listing,
                             const std::vector<MissingFile>& missing) {
  std::string page = ConsolePageStart("Published files", "files", frame);
  if (listing == nullptr) {
    return page + "<p>The server serves no files folder (\"qvserver serve --files DIR\").</p>\n" +
           ConsolePageEnd();
  }
  page += "<h2>Missing files</h2>\n";
  if (missing.empty()) {
    page += "<p>Every file the install lists name is there.</p>\n";
  } else {
    page +=
        "<table id=\"missing\"><thead><tr><th>Key name</th><th>SequenceID</th><th>FileName</th>"
        "<th>DownloadLocation</th><th>Why</th></tr></thead><tbody>\n";
    for (const MissingFile& file : missing) {
      page += "<tr><td>" + Link("view", file.key_name, file.key_name) + "</td><td>" +
              HtmlEscape(file.sequence_id) + "</td><td>" + HtmlEscape(file.file_name) +
              "</td><td>" + HtmlEscape(file.location) + "</td><td>" + HtmlEscape(file.reason) +
              "</td></tr>\n";
    }
    page += "</tbody></table>\n";
  }
  page += "<h2>Files</h2>\n";
  if (listing->cut) {
    page += "<p class=\"message failed\" role=\"status\">Only the first " +
            std::to_string(kMaxPublishedEntries) +
            " entries of the folder were looked at: it holds more than are shown.</p>\n";
  }
  page +=
      "<table id=\"files\"><thead><tr><th>Path</th><th>Size (bytes)</th><th>Modified</th>"
      "</tr></thead><tbody>\n";
  for (const PublishedFile& file : listing->files) {
    page += "<tr><td>" + HtmlEscape(file.path) + "</td>";
    switch (file.kind) {
      case PublishedFile::Kind::kFile:
        page += "<td>" + std::to_string(file.size) + "</td><td>" +
                HtmlEscape(FormatUtcTime(file.modified)) + "</td>";
        break;
      case PublishedFile::Kind::kLinkOutside:
        page += "<td colspan=\"2\">a link out of the folder: not served</td>";
        break;
      case PublishedFile::Kind::kLinkBroken:
        page += "<td colspan=\"2\">a link that leads nowhere</td>";
        break;
    }
    page += "</tr>\n";
  }
  page += "</tbody></table>\n";
  return page + ConsolePageEnd();
}

}  // namespace qv::server
