// The fixture of the tests that run qvinit as a program: the server with the
// sample catalog on 127.0.0.1, fresh sandbox machines, the headless
// interface, and the report and exit status that a caller relies on.
#ifndef QV_TESTS_QVINIT_FIXTURE_H_
#define QV_TESTS_QVINIT_FIXTURE_H_

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/http_server.h"
#include "server/sample_catalog.h"
#include "tests/child_process.h"
#include "tests/local_http.h"
#include "tests/test_util.h"

namespace qv::testing {

namespace fs = std::filesystem;

inline constexpr char kClient[] = "drive_c/Program Files/Ostrel/Quillmark/Client/";

// An install list in the list format: {sequence, name, download location,
// install type, version, target folder token}.
struct ListRecord {
  int sequence;
  std::string name, location;
  int type;
  std::string version, token;
};
inline std::string ListDocument(const std::vector<ListRecord>& records) {
  nlohmann::json doc = {{"format", "qv-installlist"}, {"version", 1}};
  const std::vector<std::pair<const char*, const char*>> fields = {
      {"SequenceID", "integer"},      {"FileName", "string"},        {"DownloadLocation", "string"},
      {"InstallType", "integer"},     {"FileVersion", "string"},     {"AltCheck", "string"},
      {"AltCheckRegValue", "string"}, {"InstallLocation", "string"}, {"IsQVObject", "boolean"},
      {"Description", "string"},      {"IsCompressed", "boolean"}};
  for (const auto& [name, type] : fields) doc["fields"].push_back({{"name", name}, {"type", type}});
  doc["records"] = nlohmann::json::array();
  for (const ListRecord& r : records) {
    doc["records"].push_back({r.sequence, r.name, r.location, r.type, r.version, nullptr, nullptr,
                              r.token, false, "About " + r.name, false});
  }
  return doc.dump();
}

struct Outcome {
  int exit_code = -1;
  std::string out, err;
  std::vector<nlohmann::json> report;
  std::vector<std::string> lines;  // the report as written

  // The first line of the report that holds key, as written.
  std::string Line(const std::string& key) const {
    for (size_t i = 0; i < report.size(); ++i) {
      if (report[i].contains(key)) return lines[i];
    }
    return "";
  }

  std::vector<std::string> Events() const {
    std::vector<std::string> events;
    for (const auto& r : report) {
      if (r.contains("event")) events.push_back(r["event"]);
    }
    return events;
  }
  // The texts of the message boxes, each followed by "\n".
  std::string Boxes() const {
    std::string boxes;
    for (const auto& r : report) {
      if (r.contains("msgbox")) boxes += r["msgbox"]["text"].get<std::string>() + "\n";
    }
    return boxes;
  }
  const nlohmann::json* Find(const std::string& key) const {
    for (const auto& r : report) {
      if (r.contains(key)) return &r[key];
    }
    return nullptr;
  }
};

class QvinitTest : public ::testing::Test {
 protected:
  QvinitTest() : dir_(MakeTempDir("qvinit-e2e")) {
    Status status = server::WriteSampleCatalog(dir_ + "/server", &catalog_);
    EXPECT_TRUE(status.ok()) << status.ToString();
    server::ServerOptions options;
    options.db_path = catalog_.db_path;
    options.files_dir = catalog_.files_dir;
    options.threads = 4;
    status = server::Server::Start(options, &server_);
    EXPECT_TRUE(status.ok()) << status.ToString();
  }
  ~QvinitTest() override {
    server_.reset();
    RemoveTree(dir_);
  }

  // The sample catalog's programs are the tests' own: the machines run them
  // unless a test says otherwise.
  std::string NewMachine(const std::string& name, const std::string& user = "admin",
                         bool run_programs = true) {
    const std::string root = dir_ + "/" + name;
    std::vector<std::string> argv = {QvinitPath(), "machine", "init", root, "--user", user};
    if (run_programs) argv.push_back("--run-programs");
    CommandResult r = RunCommand(argv);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return root;
  }

  // With max_rss_mib, also qvinit's peak resident memory.
  Outcome Qvinit(const std::string& machine, std::vector<std::string> args,
                 const std::string& password = "demo", double* max_rss_mib = nullptr) {
    const std::string report = dir_ + "/report.jsonl";
    std::vector<std::string> argv = {
        QvinitPath(),       "--headless",       "--machine",        machine, "--report", report,
        "--password-stdin", "--prelude-server", server_->base_url()};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult r = max_rss_mib != nullptr
                          ? RunCommandMeasured(argv, password + "\n", max_rss_mib)
                          : RunCommand(argv, password + "\n");
    Outcome o{r.exit_code, r.out, r.err, {}, {}};
    std::istringstream lines(ReadHostFile(report));
    for (std::string line; std::getline(lines, line);) {
      o.report.push_back(nlohmann::json::parse(line));
      o.lines.push_back(line);
    }
    return o;
  }
  std::vector<std::string> Online(const std::string& method, const std::string& remote,
                                  const std::string& login = "demo") {
    return {
        method, server_->base_url() + "/", server_->base_url() + "/bo", catalog_.key_name, login,
        remote};
  }

  // Every file below the machine's program-files and fonts folders, with
  // its contents, and the machine's font registrations.
  static std::map<std::string, std::string> InstalledState(const std::string& root) {
    std::map<std::string, std::string> state;
    for (const char* top : {"drive_c/Program Files", "drive_c/Windows/Fonts"}) {
      for (const auto& entry : fs::recursive_directory_iterator(root + "/" + top)) {
        if (!entry.is_regular_file()) continue;
        const std::string rel = fs::relative(entry.path(), root).string();
        if (rel.find("/Temp/") != std::string::npos) continue;  // staging
        // A digest keeps a failure's message readable.
        state[rel] = std::to_string(std::hash<std::string>()(ReadHostFile(entry.path().string())));
      }
    }
    CommandResult fonts =
        RunCommand({QvinitPath(), "machine", "reg", root, "query",
                    R"(HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Fonts)"});
    state["<fonts>"] = fonts.out;
    return state;
  }

  // The launch record's program runs on after qvinit has ended; its file
  // appears when the program has written it.
  static std::string WaitForFile(const std::string& path) {
    for (int i = 0; i < 200; ++i) {
      if (fs::exists(path) && fs::file_size(path) > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ReadHostFile(path);
  }

  // Makes list the key name's install list on the server.
  void PutList(const std::vector<ListRecord>& list) {
    const Status put = server_->storage().PutInstallList(catalog_.key_name, ListDocument(list));
    ASSERT_TRUE(put.ok()) << put.ToString();
  }
  // Starts `qvserver serve` over the sample catalog on a free port, with more
  // options, as a child process (served_); its base address once it says
  // where it listens, or "".
  std::string ServeChild(const std::vector<std::string>& more) {
    std::vector<std::string> argv = {QvserverPath(),     "serve",    catalog_.db_path, "--files",
                                     catalog_.files_dir, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), more.begin(), more.end());
    served_ = std::make_unique<Child>(argv, std::vector<std::string>{}, true);
    const std::string base = served_->ListeningAddress();
    EXPECT_FALSE(base.empty());
    return base;
  }
  std::vector<std::string> OnlineFrom(const std::string& download, const std::string& bo,
                                      const std::string& method = "startup-v2") {
    return {method, download, bo, catalog_.key_name, catalog_.login, "x"};
  }

  std::string dir_;
  server::SampleCatalog catalog_;
  std::unique_ptr<server::Server> server_;
  std::unique_ptr<Child> served_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_QVINIT_FIXTURE_H_
