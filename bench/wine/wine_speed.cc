// wine_speed: the speed of QV_INIT_V3.ocx under Wine against the Linux build
// of the same run, both served by nginx on 127.0.0.1.
//
// Each case puts its files behind nginx and its install list into a qvserver
// (the business objects, on 127.0.0.1), then alternates, round by round:
//   anchor  qvinit startup on a fresh sandbox machine (the Linux build)
//   wine    run_driver.exe under Wine: the library loaded by a host that
//           calls Startup and pumps its messages until Done
// Both runs log in with the same key, get the same list and fetch the same
// files from the same nginx. The time is the interval from the start-up
// call to Done on both sides: the driver measures its own; for qvinit it is
// taken from its report (a pipe), from the "Init" record written just before
// the call to the "Done" record. The whole process times are printed beside.
// After every run the installed bytes are counted in the client folder.
//
//   small  1000 files of 16 KiB, all needed
//   big    one file of 1 GiB
// Target: Wine's speed at least 0.5 of the anchor's (the ratio of the
// anchor's time to Wine's) in the median.
//
//   wine_speed --driver EXE --ocx OCX [--rounds N] [--quick] [--small-files N]
//              [--small-kib N] [--big-mib N] [--only small|big] [--dir DIR]
//              [--qvinit PROGRAM] [--qvserver PROGRAM] [--wait SECONDS]
//
// WINEPREFIX must name a Wine prefix made for the benchmark (its client
// folder is emptied before every Wine round). --quick: 200 small files and
// 64 MiB. qvinit and qvserver default to the build's, beside this program's
// folder. Data goes into a fresh folder below DIR (default: the system's
// temporary folder), removed at the end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/child_process.h"
#include "bench/figures.h"
#include "bench/nginx.h"

namespace qv::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1 << 20;
constexpr char kClientFolder[] = "drive_c/Program Files/Ostrel/Quillmark/Client";
constexpr char kLogin[] = "alice";
constexpr char kPassword[] = "secret";

struct Options {
  std::string driver;
  std::string ocx;
  std::string qvinit;
  std::string qvserver;
  std::string dir;
  std::string only;
  int rounds = 3;
  int small_files = 1000;
  uint64_t small_bytes = 16 * 1024;
  uint64_t big_bytes = 1024 * kMiB;
  int wait_seconds = 900;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "wine_speed: %s\n", what.c_str());
  std::exit(1);
}

// ---- Data -------------------------------------------------------------------

// size bytes that do not compress, the same for the same seed.
void WriteData(const std::string& path, uint64_t size, uint64_t seed) {
  std::vector<uint64_t> block(kMiB / 8);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint64_t& word : block) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    word = x;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (uint64_t written = 0, n = 0; written < size; ++n) {
    block[0] = n;  // every block differs
    const uint64_t take = std::min<uint64_t>(kMiB, size - written);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(take));
    written += take;
  }
  if (!out) Fail("cannot write " + path);
}

// An install list that puts each of names (files of the download address)
// into the client folder, install type 2.
std::string InstallList(const std::vector<std::string>& names) {
  std::ostringstream list;
  list << "{\"format\":\"qv-installlist\",\"version\":1,\"fields\":["
       << "{\"name\":\"SequenceID\",\"type\":\"integer\"},"
       << "{\"name\":\"FileName\",\"type\":\"string\"},"
       << "{\"name\":\"DownloadLocation\",\"type\":\"string\"},"
       << "{\"name\":\"InstallType\",\"type\":\"integer\"},"
       << "{\"name\":\"FileVersion\",\"type\":\"string\"},"
       << "{\"name\":\"AltCheck\",\"type\":\"string\"},"
       << "{\"name\":\"AltCheckRegValue\",\"type\":\"string\"},"
       << "{\"name\":\"InstallLocation\",\"type\":\"string\"},"
       << "{\"name\":\"IsQVObject\",\"type\":\"boolean\"},"
       << "{\"name\":\"Description\",\"type\":\"string\"},"
       << "{\"name\":\"IsCompressed\",\"type\":\"boolean\"}],\n\"records\":[";
  for (size_t i = 0; i < names.size(); ++i) {
    list << (i > 0 ? ",\n" : "") << "[" << i + 1 << ",\"" << names[i] << "\",\"" << names[i]
         << "\",2,\"1.0\",null,null,\"CLIENTDIR\",false,\"" << names[i] << "\",false]";
  }
  list << "]}\n";
  return list.str();
}

// Bytes of the regular files directly in folder; 0 when it is missing.
uint64_t FolderBytes(const std::string& folder) {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.is_regular_file(ec)) total += entry.file_size(ec);
  }
  return total;
}

// ---- The business objects ----------------------------------------------------

// A qvserver on 127.0.0.1 holding one user with a list per case's key.
class BoServer {
 public:
  BoServer(const Options& o, const std::string& dir) : program_(o.qvserver), db_(dir + "/db") {
    Must({program_, "init", db_});
  }
  void AddList(const std::string& key, const std::string& list_file) {
    Must({program_, "user", "add", db_, key, kLogin}, std::string(kPassword) + "\n");
    Must({program_, "list", "import", db_, key, list_file});
  }
  // Starts serving; the server's address ("http://127.0.0.1:PORT").
  std::string Serve() {
    serve_ = std::make_unique<BackgroundChild>(
        std::vector<std::string>{program_, "serve", db_, "--listen", "127.0.0.1:0"});
    for (std::string line = serve_->ReadLine(); !line.empty(); line = serve_->ReadLine()) {
      const size_t at = line.find("listening on ");
      if (at == std::string::npos) continue;
      std::string address = line.substr(at + 13);
      return address.substr(0, address.find(' '));
    }
    Fail("qvserver serve did not start");
  }

 private:
  void Must(const std::vector<std::string>& argv, const std::string& input = "") {
    if (!RunChild(argv, input).ok) Fail(argv[0] + " " + argv[1] + " failed");
  }
  std::string program_;
  std::string db_;
  std::unique_ptr<BackgroundChild> serve_;
};

// ---- The two sides ------------------------------------------------------------

struct Run {
  double seconds = 0;  // start-up call to Done
  double process_seconds = 0;
  uint64_t bytes = 0;  // installed in the client folder
};

struct Case {
  std::string name;
  std::string key;
  std::string download;  // nginx address of the case's folder
  uint64_t bytes = 0;    // what a run installs
  int files = 0;
};

// The times at which qvinit's report lines arrive through a named pipe.
class ReportPipe {
 public:
  explicit ReportPipe(const std::string& path) : path_(path) {
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0600) != 0) Fail("cannot make the pipe " + path);
    reader_ = std::thread([this] { Read(); });
  }
  // Ends the reader even when the writer never opened the pipe.
  void Finish() {
    if (!reader_.joinable()) return;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
    reader_.join();
    ::unlink(path_.c_str());
  }
  ~ReportPipe() { Finish(); }
  // When the first line holding text arrived; nullopt when none did.
  std::optional<Clock::time_point> When(const std::string& text) const {
    for (const auto& [at, line] : lines_) {
      if (line.find(text) != std::string::npos) return at;
    }
    return std::nullopt;
  }

 private:
  void Read() {
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0) return;
    std::string pending;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) {
      const auto at = Clock::now();
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        lines_.emplace_back(at, pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    ::close(fd);
  }

  std::string path_;
  std::thread reader_;
  std::vector<std::pair<Clock::time_point, std::string>> lines_;
};

class Sides {
 public:
  Sides(const Options& o, const std::string& data, const std::string& bo_server)
      : o_(o), data_(data), bo_server_(bo_server + "/bo") {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr || *prefix == 0) Fail("WINEPREFIX is not set");
    wine_client_ = std::string(prefix) + "/" + kClientFolder;
  }

  Run Anchor(const Case& c) {
    const std::string machine = data_ + "/machine";
    std::error_code ec;
    fs::remove_all(machine, ec);
    if (!RunChild({o_.qvinit, "machine", "init", machine}).ok) Fail("qvinit machine init failed");
    ReportPipe report(data_ + "/report.pipe");
    const ChildResult r =
        RunChild({"timeout", std::to_string(o_.wait_seconds), o_.qvinit, "--machine", machine,
                  "--headless", "--password-stdin", "--report", data_ + "/report.pipe",
                  "startup", c.download, bo_server_, c.key, kLogin, ""},
                 std::string(kPassword) + "\n");
    report.Finish();
    const auto init = report.When("\"event\":\"Init\"");
    const auto done = report.When("\"event\":\"Done\"");
    if (!r.ok || !init || !done) Fail("qvinit did not end with Done:\n" + r.out);
    Run run;
    run.seconds = std::chrono::duration<double>(*done - *init).count();
    run.process_seconds = r.wall_seconds;
    run.bytes = FolderBytes(machine + "/" + kClientFolder);
    fs::remove_all(machine, ec);
    return run;
  }

  Run Wine(const Case& c) {
    std::error_code ec;
    fs::remove_all(wine_client_, ec);
    const ChildResult r =
        RunChild({"timeout", "-k", "10", std::to_string(o_.wait_seconds), "wine", o_.driver,
                  WindowsPath(o_.ocx), c.download, bo_server_, c.key, kLogin, kPassword,
                  std::to_string(o_.wait_seconds - 30)});
    const size_t at = r.out.find("seconds ");
    if (!r.ok || at == std::string::npos) Fail("the Wine run did not end with Done:\n" + r.out);
    Run run;
    run.seconds = std::atof(r.out.c_str() + at + 8);
    run.process_seconds = r.wall_seconds;
    run.bytes = FolderBytes(wine_client_);
    fs::remove_all(wine_client_, ec);
    return run;
  }

 private:
  // A path of this machine as Wine's drive Z: shows it.
  static std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + fs::absolute(path).string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
  }

  const Options& o_;
  std::string data_;
  std::string bo_server_;
  std::string wine_client_;
};

// ---- The cases ----------------------------------------------------------------

void PrintRun(const char* side, const Run& run, const Case& c) {
  std::printf("    %-6s %8.3f s  %8.1f MB/s  %7.1f files/s  (process %.3f s)\n", side,
              run.seconds, static_cast<double>(c.bytes) / 1e6 / run.seconds,
              c.files / run.seconds, run.process_seconds);
}

void Spread(const char* what, const std::vector<double>& values, const char* unit) {
  std::printf("  %-20s min %9.3f  median %9.3f  max %9.3f %s\n", what,
              *std::min_element(values.begin(), values.end()), Median(values),
              *std::max_element(values.begin(), values.end()), unit);
}

void MeasureCase(const Options& o, Sides& sides, const Case& c) {
  std::printf("\n== %s: %d file(s), %.1f MB, Wine vs the Linux build\n", c.name.c_str(), c.files,
              static_cast<double>(c.bytes) / 1e6);
  std::vector<double> anchor_s, wine_s, ratios, process_ratios;
  for (int round = 0; round < o.rounds; ++round) {
    std::printf("  round %d\n", round + 1);
    Run anchor, wine;
    for (int turn = 0; turn < 2; ++turn) {
      ::sync();  // no run pays for the write-back of the one before
      const bool anchor_turn = (turn == 0) == (round % 2 == 0);
      Run& run = anchor_turn ? anchor : wine;
      run = anchor_turn ? sides.Anchor(c) : sides.Wine(c);
      PrintRun(anchor_turn ? "anchor" : "wine", run, c);
      if (run.bytes != c.bytes) {
        Fail("installed " + std::to_string(run.bytes) + " bytes of " + std::to_string(c.bytes));
      }
    }
    anchor_s.push_back(anchor.seconds);
    wine_s.push_back(wine.seconds);
    ratios.push_back(anchor.seconds / wine.seconds);
    process_ratios.push_back(anchor.process_seconds / wine.process_seconds);
    std::printf("    speed ratio Wine/anchor %.3f  (whole processes %.3f)\n", ratios.back(),
                process_ratios.back());
  }
  auto mbs = [&](std::vector<double> seconds) {
    for (double& s : seconds) s = static_cast<double>(c.bytes) / 1e6 / s;
    return seconds;
  };
  std::printf("  -- %s\n", c.name.c_str());
  Spread("anchor", anchor_s, "s");
  Spread("wine", wine_s, "s");
  Spread("anchor", mbs(anchor_s), "MB/s");
  Spread("wine", mbs(wine_s), "MB/s");
  Spread("whole-process ratio", process_ratios, "");
  Summary("speed ratio Wine/anchor", ratios, 0.5);
}

std::string Beside(const std::string& name) {
  return (fs::path(BuildFolder()).parent_path() / name).string();
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--driver") o.driver = next();
    else if (a == "--ocx") o.ocx = next();
    else if (a == "--qvinit") o.qvinit = next();
    else if (a == "--qvserver") o.qvserver = next();
    else if (a == "--dir") o.dir = next();
    else if (a == "--only") o.only = next();
    else if (a == "--rounds") o.rounds = std::max(1, std::atoi(next().c_str()));
    else if (a == "--small-files") o.small_files = std::max(1, std::atoi(next().c_str()));
    else if (a == "--small-kib") o.small_bytes = std::strtoull(next().c_str(), nullptr, 10) * 1024;
    else if (a == "--big-mib") o.big_bytes = std::strtoull(next().c_str(), nullptr, 10) * kMiB;
    else if (a == "--wait") o.wait_seconds = std::max(60, std::atoi(next().c_str()));
    else if (a == "--quick") {
      o.small_files = 200;
      o.big_bytes = 64 * kMiB;
    } else {
      Fail("unknown argument " + a);
    }
  }
  if (o.driver.empty() || o.ocx.empty()) Fail("--driver and --ocx are needed");
  if (o.qvinit.empty()) o.qvinit = Beside("qvinit");
  if (o.qvserver.empty()) o.qvserver = Beside("qvserver");
  if (o.dir.empty()) o.dir = fs::temp_directory_path().string();
  return o;
}

std::string SmallName(int i) {
  char name[32];
  std::snprintf(name, sizeof(name), "file_%05d.bin", i);
  return name;
}

int Main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it is printed
  const Options o = Parse(argc, argv);
  std::string data = o.dir + "/qvwine.XXXXXX";
  if (::mkdtemp(data.data()) == nullptr) Fail("cannot make a folder below " + o.dir);
  struct Remove {
    std::string dir;
    ~Remove() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } remove{data};

  const bool small = o.only.empty() || o.only == "small";
  const bool big = o.only.empty() || o.only == "big";
  BoServer bo(o, data);
  std::vector<std::string> names;
  if (small) {
    fs::create_directories(data + "/www/small");
    for (int i = 0; i < o.small_files; ++i) {
      names.push_back(SmallName(i));
      WriteData(data + "/www/small/" + names.back(), o.small_bytes, static_cast<uint64_t>(i) + 1);
    }
    std::ofstream(data + "/small.rst") << InstallList(names);
    bo.AddList("SMALL", data + "/small.rst");
  }
  if (big) {
    fs::create_directories(data + "/www/big");
    WriteData(data + "/www/big/big.bin", o.big_bytes, 7);
    std::ofstream(data + "/big.rst") << InstallList({"big.bin"});
    bo.AddList("BIG", data + "/big.rst");
  }
  std::string error;
  std::unique_ptr<Nginx> nginx = Nginx::Start(data + "/www", &error);
  if (!nginx) Fail(error);
  const std::string bo_server = bo.Serve();
  std::printf("nginx %s, qvserver %s, %d round(s) each, alternated\n",
              nginx->base_url().c_str(), bo_server.c_str(), o.rounds);

  Sides sides(o, data, bo_server);
  if (small) {
    MeasureCase(o, sides,
                {"small", "SMALL", nginx->base_url() + "/small/",
                 o.small_bytes * static_cast<uint64_t>(o.small_files), o.small_files});
  }
  if (big) {
    MeasureCase(o, sides, {"big", "BIG", nginx->base_url() + "/big/", o.big_bytes, 1});
  }
  return 0;
}

}  // namespace
}  // namespace qv::bench

int main(int argc, char** argv) { return qv::bench::Main(argc, argv); }
