// The fleet and notes pages: the clients' rows, the lists they were given,
// and the two plots drawn as SVG.
#include "server/console_fleet.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "installlist/install_list.h"
#include "platform/recordset.h"
#include "server/client_report.h"

namespace qv::server {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr const char* kPalette[] = {"#3b6ea5", "#e0913a", "#4f9d5d", "#c8553d",
                                    "#8167a9", "#7f8c8d", "#d4b83a", "#3aa6b9"};

// The files of a list and the versions it gives them, in the list's order.
using FileVersions = std::vector<std::pair<std::string, std::string>>;

// The install records of a stored list document; empty when it cannot be
// read (a stored document was valid when it was imported).
FileVersions ReadFileVersions(const std::string& document) {
  FileVersions files;
  Recordset list;
  if (!list.ParseJson(document).ok()) return files;
  for (list.MoveFirst(); !list.Eof(); list.MoveNext()) {
    InstallRecord record;
    ReadInstallRecord(list, &record);
    if (!record.file_name.empty()) files.emplace_back(record.file_name, record.file_version);
  }
  return files;
}

// What the page needs besides the clients: the lists they were given and
// the current list of each of their key names.
struct Lists {
  // By (key name, generation); absent when the history no longer has it.
  std::map<std::pair<std::string, int64_t>, FileVersions> given;
  // By key name: the current list's generation and files.
  std::map<std::string, std::pair<int64_t, FileVersions>> current;
};

Status ReadLists(Storage& storage, const std::vector<ClientRow>& clients, Lists* lists) {
  // Lists asked for that the history no longer keeps: asked for once.
  std::set<std::pair<std::string, int64_t>> not_kept;
  for (const ClientRow& client : clients) {
    if (!lists->current.contains(client.key_name)) {
      bool found = false;
      std::string document;
      int64_t generation = 0;
      Status status = storage.GetInstallList(client.key_name, &found, &document, &generation);
      if (!status.ok()) return status;
      auto& current = lists->current[client.key_name];
      if (found) current = {generation, ReadFileVersions(document)};
    }
    const std::pair<std::string, int64_t> given{client.key_name, client.last_generation};
    if (client.last_generation == 0 || lists->given.contains(given) || not_kept.contains(given)) {
      continue;
    }
    bool found = false;
    std::string document;
    Status status =
        storage.GetInstallListHistory(client.key_name, client.last_generation, &found, &document);
    if (!status.ok()) return status;
    if (found) {
      lists->given[given] = ReadFileVersions(document);
    } else {
      not_kept.insert(given);
    }
  }
  return Status::OK();
}

// "1 login", "2 logins".
std::string Count(int64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string Mebibytes(int64_t bytes) {
  if (bytes < 0) return "<td></td>";
  return "<td title=\"" + std::to_string(bytes) + " bytes\">" + std::to_string(bytes >> 20) +
         " MiB</td>";
}

// The cell of the list a client was given: its generation, whether it is
// still the current one, and its files' versions when the history has it.
std::string GivenListCell(const ClientRow& client, const Lists& lists) {
  if (client.last_generation == 0) return "<td>none</td>";
  const std::string generation = "generation " + std::to_string(client.last_generation);
  const auto current = lists.current.find(client.key_name);
  const bool is_current =
      current != lists.current.end() && current->second.first == client.last_generation;
  const auto given = lists.given.find({client.key_name, client.last_generation});
  if (given == lists.given.end()) return "<td>" + generation + " (no longer kept)</td>";
  std::string cell = "<td><details><summary>" + generation +
                     (is_current ? ", current" : ", since replaced") + "</summary><table><tbody>";
  for (const auto& [file, version] : given->second) {
    cell += "<tr><td>" + HtmlEscape(file) + "</td><td>" + HtmlEscape(version) + "</td></tr>";
  }
  return cell + "</tbody></table></details></td>";
}

std::string ClientRowHtml(const ClientRow& client, const Lists& lists) {
  const ClientReport report = ParseClientReport(client.last_report);
  return "<tr><td>" + HtmlEscape(client.key_name) + "</td><td>" + HtmlEscape(client.login) +
         "</td><td>" + FormatUtcTime(client.last_seen) + "</td><td>" +
         HtmlEscape(client.last_address) + "</td><td>" +
         HtmlEscape(WindowsVersionOfAgent(client.last_agent)) + "</td>" +
         Mebibytes(report.total_physical) + Mebibytes(report.available_physical) + "<td>" +
         (report.memory_load >= 0 ? std::to_string(report.memory_load) + "%" : "") + "</td><td>" +
         report.admin + "</td>" + GivenListCell(client, lists) + "</tr>\n";
}

std::string SvgStart(const char* id, const char* label, int width, int height) {
  const std::string w = std::to_string(width), h = std::to_string(height);
  return std::string("<svg id=\"") + id +
         "\" xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-label=\"" + label +
         "\" width=\"" + w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w + " " + h +
         "\" font-family=\"sans-serif\" font-size=\"11\" fill=\"#1d2430\">";
}

std::string Text(int x, int y, const std::string& text, const char* anchor = "start") {
  return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" text-anchor=\"" +
         anchor + "\">" + HtmlEscape(text) + "</text>";
}

std::string Rect(int x, int y, int width, int height, const char* fill, const std::string& title) {
  return "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
         std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" fill=\"" + fill +
         "\"><title>" + HtmlEscape(title) + "</title></rect>";
}

// Bars of the logins of each of the last kConsoleLoginDays days.
std::string LoginsPlot(const std::vector<LoginDay>& days, int64_t now) {
  std::map<std::string, int64_t> logins;
  for (const LoginDay& day : days) logins[day.day] += day.logins;
  std::vector<std::pair<std::string, int64_t>> bars;
  int64_t most = 1;
  for (int i = kConsoleLoginDays - 1; i >= 0; --i) {
    const std::string day = FormatUtcTime(now - i * kSecondsPerDay).substr(0, 10);
    const auto found = logins.find(day);
    bars.emplace_back(day, found != logins.end() ? found->second : 0);
    most = std::max(most, bars.back().second);
  }
  constexpr int kLeft = 40, kTop = 10, kPlotHeight = 140, kBar = 20;
  std::string svg = SvgStart("logins-per-day", "Logins per day",
                             kLeft + kConsoleLoginDays * kBar + 10, kTop + kPlotHeight + 30);
  svg += Text(kLeft - 4, kTop + 8, std::to_string(most), "end") +
         Text(kLeft - 4, kTop + kPlotHeight, "0", "end");
  for (size_t i = 0; i < bars.size(); ++i) {
    const auto& [day, count] = bars[i];
    const int height = static_cast<int>(count * kPlotHeight / most);
    svg += Rect(kLeft + static_cast<int>(i) * kBar + 2, kTop + kPlotHeight - height, kBar - 4,
                height, kPalette[0], day + ": " + Count(count, "login"));
  }
  svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kTop + kPlotHeight) +
         "\" x2=\"" + std::to_string(kLeft + kConsoleLoginDays * kBar) + "\" y2=\"" +
         std::to_string(kTop + kPlotHeight) + "\" stroke=\"#8a8f98\"/>";
  svg += Text(kLeft, kTop + kPlotHeight + 18, bars.front().first) +
         Text(kLeft + kConsoleLoginDays * kBar, kTop + kPlotHeight + 18, bars.back().first, "end");
  return svg + "</svg>\n";
}

// For the files of the current lists: how many clients were given each
// version, as one stacked bar a file, for the files given in the most
// versions.
std::string VersionsPlot(const std::vector<ClientRow>& clients, const Lists& lists) {
  std::set<std::string> listed;
  for (const auto& [key_name, current] : lists.current) {
    for (const auto& file : current.second) listed.insert(file.first);
  }
  std::map<std::string, std::map<std::string, int>> counts;  // file, version: clients
  for (const ClientRow& client : clients) {
    const auto given = lists.given.find({client.key_name, client.last_generation});
    if (given == lists.given.end()) continue;
    // A file the list names twice (a record and its launch record) counts
    // once for the client.
    const std::set<std::pair<std::string, std::string>> files_given(given->second.begin(),
                                                                    given->second.end());
    for (const auto& [file, version] : files_given) {
      if (listed.contains(file)) ++counts[file][version];
    }
  }
  if (counts.empty()) return "<p>No client was given a file of the current lists yet.</p>\n";
  std::vector<std::pair<std::string, std::map<std::string, int>>> files(counts.begin(),
                                                                        counts.end());
  std::stable_sort(files.begin(), files.end(),
                   [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
  if (files.size() > kConsoleVersionFiles) files.resize(kConsoleVersionFiles);

  constexpr int kName = 200, kBarWidth = 280, kRow = 22, kTop = 6;
  std::string svg = SvgStart("versions-in-fleet", "File versions given to the clients", 760,
                             kTop + static_cast<int>(files.size()) * kRow + 4);
  for (size_t row = 0; row < files.size(); ++row) {
    const auto& [file, versions] = files[row];
    const int y = kTop + static_cast<int>(row) * kRow;
    int total = 0;
    for (const auto& entry : versions) total += entry.second;
    svg += Text(4, y + 14, file);
    int x = kName;
    size_t color = 0;
    std::string legend;
    for (const auto& [version, count] : versions) {
      const int width = count * kBarWidth / total;
      const std::string shown = version.empty() ? "(none)" : version;
      svg += Rect(x, y + 2, width, kRow - 6, kPalette[color++ % std::size(kPalette)],
                  file + " " + shown + ": " + Count(count, "client"));
      x += width;
      legend += (legend.empty() ? "" : ", ") + shown + " (" + std::to_string(count) + ")";
    }
    svg += Text(kName + kBarWidth + 8, y + 14, legend);
  }
  return svg + "</svg>\n";
}

}  // namespace

Status ConsoleFleetPage(Storage& storage, const ConsoleFrame& frame, const std::string& key_name,
                        int64_t now, std::string* page) {
  std::vector<ClientRow> clients;
  std::vector<LoginDay> days;
  Lists lists;
  const std::string first_day =
      FormatUtcTime(now - (kConsoleLoginDays - 1) * kSecondsPerDay).substr(0, 10);
  Status status = storage.ListClients(key_name, &clients);
  if (status.ok()) status = storage.ListLoginDays(first_day, key_name, &days);
  if (status.ok()) status = ReadLists(storage, clients, &lists);
  if (!status.ok()) return status;

  *page = ConsolePageStart("Fleet", "fleet", frame);
  *page +=
      "<form method=\"get\" action=\"/console/fleet\"><input name=\"key_name\" "
      "placeholder=\"key name\" value=\"" +
      HtmlEscape(key_name) + "\"> <button>Show</button></form>\n";
  *page += "<h2>Logins per day</h2>\n" + LoginsPlot(days, now);
  *page += "<h2>Versions in the fleet</h2>\n" + VersionsPlot(clients, lists);
  *page += "<h2>Clients</h2>\n";
  if (clients.empty()) {
    *page += "<p>No client has logged in yet.</p>\n" + ConsolePageEnd();
    return status;
  }
  *page +=
      "<table id=\"fleet\"><thead><tr><th>Key name</th><th>Login</th><th>Last seen</th>"
      "<th>Address</th><th>Windows</th><th>Physical memory</th><th>Available</th>"
      "<th>Load</th><th>Admin</th><th>List given</th></tr></thead><tbody>\n";
  for (const ClientRow& client : clients) *page += ClientRowHtml(client, lists);
  *page += "</tbody></table>\n" + ConsolePageEnd();
  return status;
}

Status ConsoleNotesPage(Storage& storage, const ConsoleFrame& frame, int64_t page_number,
                        std::string* page) {
  std::vector<LoginNote> notes;
  // One more than a page, to know whether there is an older page.
  Status status = storage.ListLoginNotes((page_number - 1) * kConsoleNotesPerPage,
                                         kConsoleNotesPerPage + 1, &notes);
  if (!status.ok()) return status;
  const bool older = static_cast<int64_t>(notes.size()) > kConsoleNotesPerPage;
  if (older) notes.pop_back();

  *page = ConsolePageStart("Notes", "notes", frame);
  if (notes.empty()) *page += "<p>No notes here.</p>\n";
  if (!notes.empty()) {
    *page +=
        "<table id=\"notes\"><thead><tr><th>Time</th><th>Key name</th><th>Login</th>"
        "<th>Report</th></tr></thead><tbody>\n";
    for (const LoginNote& note : notes) {
      *page += "<tr><td>" + HtmlEscape(note.time) + "</td><td>" + HtmlEscape(note.key_name) +
               "</td><td>" + HtmlEscape(note.login) + "</td><td><pre>" + HtmlEscape(note.text) +
               "</pre></td></tr>\n";
    }
    *page += "</tbody></table>\n";
  }
  *page += ConsolePager("/console/notes?", page_number, older, "Newer", "Older") + ConsolePageEnd();
  return status;
}

}  // namespace qv::server
