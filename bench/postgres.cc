// Postgres: initdb, pg_ctl start on a free port (another is tried when it
// was taken in between), createdb; pg_ctl stop in the destructor.
#include "bench/postgres.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "bench/child_process.h"
#include "bench/free_port.h"

namespace qv::bench {
namespace {

constexpr char kVersionsFolder[] = "/usr/lib/postgresql";
constexpr int kPortAttempts = 5;

// The bin folder of the newest PostgreSQL installed; "" when none is.
std::string NewestBin() {
  std::error_code ec;
  std::vector<std::string> bins;
  for (const auto& entry : std::filesystem::directory_iterator(kVersionsFolder, ec)) {
    const std::string bin = entry.path().string() + "/bin";
    if (::access((bin + "/initdb").c_str(), X_OK) == 0) bins.push_back(bin);
  }
  // Versions are numbers: the longest name, then the greatest, is newest.
  std::sort(bins.begin(), bins.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return bins.empty() ? "" : bins.back();
}

}  // namespace

bool Postgres::Run(std::vector<std::string> argv, std::string* out) const {
  if (as_postgres_) argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
  const ChildResult result = RunChild(argv);
  if (out != nullptr) *out = result.out;
  return result.ok;
}

std::unique_ptr<Postgres> Postgres::Start(std::string* error) {
  std::unique_ptr<Postgres> pg(new Postgres());
  pg->bin_ = NewestBin();
  if (pg->bin_.empty()) {
    *error = "PostgreSQL is missing (apt-get install postgresql)";
    return nullptr;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "qvpg.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary folder for PostgreSQL";
    return nullptr;
  }
  pg->dir_ = pattern;
  pg->data_ = pg->dir_ + "/data";
  if (::geteuid() == 0) {
    const passwd* owner = ::getpwnam("postgres");
    if (owner == nullptr || ::chown(pg->dir_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
      *error = "running as root, and no postgres user to run PostgreSQL as";
      return nullptr;
    }
    pg->as_postgres_ = true;
  }
  if (!pg->Run({pg->bin_ + "/initdb", "-D", pg->data_, "-U", "qv", "--auth=trust", "-E", "UTF8",
                "--locale=C.UTF-8", "--no-sync"})) {
    *error = "initdb failed";
    return nullptr;
  }
  for (int attempt = 0; attempt < kPortAttempts && !pg->running_; ++attempt) {
    const std::string port = std::to_string(FreePort());
    pg->running_ =
        pg->Run({pg->bin_ + "/pg_ctl", "-D", pg->data_, "-l", pg->dir_ + "/server.log", "-w", "-s",
                 "-o", "-c listen_addresses=127.0.0.1 -p " + port + " -k " + pg->dir_, "start"});
    if (pg->running_) {
      pg->port_ = port;
      pg->url_ = "postgresql://qv@127.0.0.1:" + port + "/qvserver";
    }
  }
  if (!pg->running_) {
    *error = "PostgreSQL did not start (see " + pg->dir_ + "/server.log)";
    return nullptr;
  }
  if (!pg->Run(
          {pg->bin_ + "/createdb", "-h", "127.0.0.1", "-p", pg->port_, "-U", "qv", "qvserver"})) {
    *error = "createdb failed";
    return nullptr;
  }
  return pg;
}

Postgres::~Postgres() {
  if (running_) Run({bin_ + "/pg_ctl", "-D", data_, "-m", "fast", "-w", "-s", "stop"});
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

}  // namespace qv::bench
