// engine_bench: the install engine's speed and memory against tools that do
// the same work, served by nginx on 127.0.0.1.
//
// Each case runs the control's way and its anchor alternately, several
// rounds, and prints every round's figures, the ratio, and the ratio's
// minimum, median and maximum against the case's target:
//   online-big    one large file through the whole path (a ctlInit_V3 with
//                 the curl transfer, the 2048-byte chunk loop with bar and
//                 counter, placement on a sandbox machine, the headless
//                 interface writing to a null stream) vs `curl -s -o`:
//                 throughput ratio >= 0.8
//   memory        peak resident memory of that run (a child process of its
//                 own, read through wait4) for the large file and for 1 MiB:
//                 <= 32 MiB, and no more than 4 MiB above the 1 MiB run
//   online-small  many small files, all needed, vs libcurl fetching the same
//                 addresses in sequence over one kept-alive connection:
//                 files/s ratio >= 0.5
//   walk          a list whose files are all current, versions read from
//                 real version resources (a PE fixture copied under
//                 --walk-files names, each named by as many records): time
//                 < 1 s
//   local-small   the small files from a local folder vs `cp -r`: >= 0.5
//   local-big     the large file from a local folder vs `cp`: >= 0.5
//   https         online-big and online-small again from nginx over TLS, with
//                 a certificate for 127.0.0.1 from a throwaway authority that
//                 the control and curl (--cacert, CURLOPT_CAINFO) are told
//                 to trust: both ratios >= 0.8
//
//   engine_bench [--quick] [--big-mib N] [--small-files N] [--small-kib N]
//                [--walk-records N] [--walk-files N] [--rounds N] [--dir DIR]
//                [--fixture PE] [--only CASE[,CASE...]] [--checked]
//
// --checked gives every record the file's SHA-256 and size (FileSHA256,
// FileSize), so that the control checks each body as it streams in.
//
// --quick uses 64 MiB, 200 small files, 2000 records and 3 rounds. Data goes
// into a fresh folder below DIR (default: the system's temp folder), which is
// removed at the end. The version fixture defaults to the one the test build
// makes (../tests/fixtures beside this program's folder).
#include <curl/curl.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/authority.h"
#include "bench/child_process.h"
#include "bench/figures.h"
#include "bench/nginx.h"
#include "control/ctlInit_V3.h"
#include "install/modInstall.h"
#include "installlist/install_list.h"
#include "platform/sha256.h"
#include "platform/headless/headless_ui.h"
#include "platform/platform.h"
#include "platform/recordset.h"
#include "platform/sandbox/sandbox_platform.h"
#include "state/module_state.h"

extern char** environ;

namespace qv::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1 << 20;
constexpr char kChildFlag[] = "--run-control-child";

struct Options {
  uint64_t big_bytes = 1024 * kMiB;
  int small_files = 1000;
  uint64_t small_bytes = 16 * 1024;
  int walk_records = 10000;
  // Distinct files the walk's records name, each named by records/files
  // records; 0: one file per record.
  int walk_files = 100;
  int rounds = 5;
  std::string dir;
  std::string fixture;
  std::set<std::string> only;
  bool checked = false;

  bool Wants(const std::string& name) const { return only.empty() || only.count(name) > 0; }
};

// ---- Data -------------------------------------------------------------------

// The size and SHA-256 of the files made by WriteData, by name, when the
// records are to state them (--checked).
struct Stated {
  uint64_t size = 0;
  std::string sha256;
};
std::map<std::string, Stated>& StatedFiles() {
  static std::map<std::string, Stated> files;
  return files;
}

// size bytes of data that does not compress, the same for the same seed.
// With stated, its digest is kept for the records that name the file.
void WriteData(const std::string& path, uint64_t size, uint64_t seed, bool stated) {
  Sha256 hash;
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
    if (stated) hash.Update(block.data(), take);
    written += take;
  }
  if (stated) StatedFiles()[fs::path(path).filename().string()] = {size, hash.FinishHex()};
}

std::string SmallName(int i) {
  char name[32];
  std::snprintf(name, sizeof(name), "file_%05d.bin", i);
  return name;
}

uint64_t HostFileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

// ---- Child processes --------------------------------------------------------

// Writes out what the runs before left in the page cache and waits for the
// disk, so that no run is slowed by the write-back of the one before it
// (which of the two pays depends on the order, and the order alternates).
void Settle() { ::sync(); }

std::string SelfPath() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).string();
}

// ---- The control on a sandbox machine -----------------------------------------

// A fresh sandbox machine in dir with a headless interface that draws into
// nothing, current on this thread while it lives. With ca_file, HTTPS
// servers are checked against that authority's certificate.
class BenchMachine {
 public:
  explicit BenchMachine(const std::string& dir, const std::string& ca_file = "")
      : root_(dir + "/machine") {
    fs::create_directories(dir);
    // The bench serves its own catalog: its programs may run.
    Status s = sandbox::InitMachine(root_, sandbox::Family::kNt, /*admin=*/true,
                                    /*run_programs=*/true);
    if (s.ok()) s = sandbox::SandboxPlatform::Open(root_, &loop_, &ui_, &sandbox_);
    if (!s.ok()) {
      std::fprintf(stderr, "cannot make a machine in %s: %s\n", dir.c_str(), s.ToString().c_str());
      std::exit(1);
    }
    if (!ca_file.empty()) sandbox_->TrustAuthorities(ca_file);
    scope_ = std::make_unique<ScopedPlatform>(sandbox_->platform());
    InitFolders();
    gbHasInstallRights = true;
    gsCopyFolder.clear();
  }
  ~BenchMachine() {
    scope_.reset();
    sandbox_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string HostPath(const std::string& windows_path) {
    sandbox::HostLocation loc;
    sandbox_->machine().Locate(windows_path, &loc);
    return loc.host_path;
  }

  // Hands records to a new control's run, as a start-up does, and runs the
  // loop until the control is idle. Returns the seconds from enabling the
  // timer to idle; *ok tells whether the run ended with one Done and nothing
  // shown in a message box. split_ tells where the time went.
  double Run(const std::vector<InstallRecord>& records, const std::string& download_location,
             bool local, bool* ok) {
    gbRebootNeeded = false;
    ctlInit_V3 control;
    split_ = {};
    // Timing counters around the two handlers; the rest of the run's time is
    // spent waiting in the loop (for the network, or for the timer).
    control.SetTimerHandler([&] {
      const auto start = Clock::now();
      control.tmrComInstall_Timer();
      split_.ticks += Seconds(start);
    });
    control.SetTransferHandler([&](int16_t state) {
      const auto start = Clock::now();
      control.Inet1_StateChanged(state);
      split_.completions += Seconds(start);
      ++split_.transfers;
    });
    int done = 0, other_events = 0;
    control.SubscribeAll(
        [&](ControlEvent e) { ++(e == ControlEvent::kDone ? done : other_events); });
    control.msDownloadLocation = download_location;
    control.mbLocalMode = local;
    auto list = std::make_unique<Recordset>(NewInstallList());
    for (const InstallRecord& r : records) AppendInstallRecord(list.get(), r);
    control.mrsInstallList = std::move(list);
    const size_t boxes_before = Boxes();
    control.BeginRun();
    const auto start = Clock::now();
    control.tmrComInstall->SetEnabled(true);
    const bool idle = loop_.RunUntilIdle();
    const double seconds = Seconds(start);
    split_.waiting = seconds - split_.ticks - split_.completions;
    *ok = idle && done == 1 && other_events == 0 && Boxes() == boxes_before;
    return seconds;
  }

  // Where the last run's time went, in seconds.
  struct Split {
    double ticks = 0;        // in tmrComInstall_Timer (version checks, local copies)
    double completions = 0;  // in Inet1_StateChanged (the body, the placement)
    double waiting = 0;      // in the loop, between handlers
    int transfers = 0;
    std::string Text() const {
      char text[160];
      std::snprintf(text, sizeof(text), "ticks %.3f s, completions %.3f s, waiting %.3f s", ticks,
                    completions, waiting);
      return text;
    }
  };
  const Split& split() const { return split_; }

 private:
  size_t Boxes() const {
    size_t n = 0;
    for (const auto& r : ui_.records()) n += r.contains("msgbox") ? 1 : 0;
    return n;
  }

  std::string root_;
  EventLoop loop_;
  std::ostream null_{nullptr};
  HeadlessUi ui_{null_};
  std::unique_ptr<sandbox::SandboxPlatform> sandbox_;
  std::unique_ptr<ScopedPlatform> scope_;
  Split split_;
};

InstallRecord FileRecord(const std::string& name, const std::string& version) {
  InstallRecord r;
  r.sequence_id = 1;
  r.file_name = name;
  r.download_location = name;
  r.install_type = itReplace;
  r.file_version = version;
  r.install_location = "CLIENTDIR";
  r.description = name;
  const auto stated = StatedFiles().find(name);
  if (stated != StatedFiles().end()) {
    r.file_sha256 = stated->second.sha256;
    r.file_size = static_cast<int64_t>(stated->second.size);
  }
  return r;
}

// The child's side of online-big, memory and https: one file through the
// whole path. Prints "seconds X" on success.
int ControlChild(const std::string& base_url, const std::string& name, uint64_t size,
                 const std::string& dir, const std::string& ca_file) {
  double seconds = 0;
  bool ok = false;
  std::string split;
  {
    BenchMachine m(dir, ca_file);
    seconds = m.Run({FileRecord(name, "1.0.0.0")}, base_url + "/", /*local=*/false, &ok);
    split = m.split().Text();
    const uint64_t placed = HostFileSize(m.HostPath(gsDirClient + "\\" + name));
    if (placed != size) {
      std::fprintf(stderr, "placed %llu bytes of %llu\n", static_cast<unsigned long long>(placed),
                   static_cast<unsigned long long>(size));
      ok = false;
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!ok) return 1;
  std::printf("seconds %.6f\n%s\n", seconds, split.c_str());
  return 0;
}

double ParseSeconds(const std::string& out) {
  const size_t at = out.find("seconds ");
  return at == std::string::npos ? 0 : std::atof(out.c_str() + at + 8);
}

// ---- The cases --------------------------------------------------------------

// Where a case fetches from: a server's address and the authority file its
// clients trust (none for plain HTTP).
struct Served {
  std::string base_url;
  std::string ca_file;
};

class Bench {
 public:
  // tls: the same folder served over HTTPS; its base_url is empty when the
  // https case does not run.
  Bench(const Options& options, const std::string& data, Nginx& nginx, const Served& tls)
      : o_(options), data_(data), www_(data + "/www"), plain_{nginx.base_url(), ""}, tls_(tls) {}

  void OnlineBigAndMemory() {
    const bool timing = o_.Wants("online-big");
    const bool memory = o_.Wants("memory");
    if (!timing && !memory) return;
    BigCase("online-big: one file of %.0f MiB, control vs curl -s -o", plain_, timing, memory);
  }

  void OnlineSmall() {
    if (!o_.Wants("online-small")) return;
    SmallCase("online-small: %d files of %llu KiB, all needed, control vs libcurl on one connection",
              plain_, 0.5);
  }

  void Https() {
    if (!o_.Wants("https")) return;
    BigCase("https-big: one file of %.0f MiB over TLS, control vs curl -s --cacert -o", tls_,
            /*timing=*/true, /*memory=*/false);
    SmallCase(
        "https-small: %d files of %llu KiB over TLS, all needed, control vs libcurl on one "
        "connection",
        tls_, 0.8);
  }

  void Walk() {
    if (!o_.Wants("walk")) return;
    const int files =
        o_.walk_files > 0 ? std::min(o_.walk_files, o_.walk_records) : o_.walk_records;
    std::printf("\n== walk: %d records over %d files, every file current (version resources)\n",
                o_.walk_records, files);
    std::vector<double> times;
    for (int round = 0; round < o_.rounds; ++round) {
      BenchMachine m(data_ + "/walk");
      const std::string folder = m.HostPath(gsDirClient);
      std::vector<InstallRecord> records;
      const std::string version = "6.0.81.69";  // the fixture's
      for (int i = 0; i < o_.walk_records; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "module_%05d.dll", i % files);
        if (i < files) fs::copy_file(o_.fixture, folder + "/" + name);
        records.push_back(FileRecord(name, version));
      }
      bool ok = false;
      // Nothing may be fetched: the address leads nowhere.
      const double seconds = m.Run(records, "http://127.0.0.1:9/", false, &ok);
      Check(ok, "walk run (a record was not current?)");
      times.push_back(seconds);
      std::printf("  round %d: %.3f s (%.1f us a record)\n", round + 1, seconds,
                  seconds * 1e6 / o_.walk_records);
    }
    Summary("time", times, 1.0, false, " s");
  }

  void LocalSmall() {
    if (!o_.Wants("local-small")) return;
    std::printf("\n== local-small: %d files of %llu KiB from a local folder, control vs cp -r\n",
                o_.small_files, static_cast<unsigned long long>(o_.small_bytes / 1024));
    std::vector<double> ratios;
    const std::string source = www_ + "/small";
    const std::string copy = data_ + "/cp-small";
    for (int round = 0; round < o_.rounds; ++round) {
      double control_s = 0, cp_s = 0;
      for (int turn = 0; turn < 2; ++turn) {
        Settle();
        if ((turn == 0) == (round % 2 == 0)) {
          BenchMachine m(data_ + "/local-small");
          LinkInto(source, m.HostPath("C:\\") + "/Local");
          bool ok = false;
          control_s = m.Run(SmallList("1.0.0.0"), "C:\\Local\\", true, &ok);
          Check(ok, "local-small run");
        } else {
          cp_s = RunChild({"cp", "-r", source, copy}).wall_seconds;
          std::error_code ec;
          fs::remove_all(copy, ec);
        }
      }
      const double ratio = cp_s / control_s;
      ratios.push_back(ratio);
      std::printf(
          "  round %d: control %.3f s (%.0f files/s)  cp -r %.3f s (%.0f files/s)  "
          "ratio %.3f\n",
          round + 1, control_s, o_.small_files / control_s, cp_s, o_.small_files / cp_s, ratio);
    }
    Summary("files/s ratio", ratios, 0.5, true);
  }

  void LocalBig() {
    if (!o_.Wants("local-big")) return;
    std::printf("\n== local-big: one file of %.0f MiB from a local folder, control vs cp\n",
                static_cast<double>(o_.big_bytes) / kMiB);
    std::vector<double> ratios;
    BenchMachine m(data_ + "/local-big");
    const std::string local = m.HostPath("C:\\") + "/Local";
    fs::create_directories(local);
    fs::create_hard_link(www_ + "/big.bin", local + "/big.bin");
    const std::string target = m.HostPath(gsDirClient + "\\big.bin");
    const std::string copy = data_ + "/cp-big.bin";
    for (int round = 0; round < o_.rounds; ++round) {
      double control_s = 0, cp_s = 0;
      for (int turn = 0; turn < 2; ++turn) {
        Settle();
        std::error_code ec;
        if ((turn == 0) == (round % 2 == 0)) {
          bool ok = false;
          control_s = m.Run({FileRecord("big.bin", "1.0.0.0")}, "C:\\Local\\", true, &ok);
          Check(ok && HostFileSize(target) == o_.big_bytes, "local-big run");
          fs::remove(target, ec);
        } else {
          cp_s = RunChild({"cp", www_ + "/big.bin", copy}).wall_seconds;
          fs::remove(copy, ec);
        }
      }
      const double ratio = cp_s / control_s;
      ratios.push_back(ratio);
      const double mib = static_cast<double>(o_.big_bytes) / kMiB;
      std::printf("  round %d: control %.3f s (%.0f MiB/s)  cp %.3f s (%.0f MiB/s)  ratio %.3f\n",
                  round + 1, control_s, mib / control_s, cp_s, mib / cp_s, ratio);
    }
    Summary("throughput ratio", ratios, 0.5, true);
  }

 private:
  // The large file: the control in a child process of its own and curl,
  // alternately. title has a %f for the file's MiB.
  void BigCase(const char* title, const Served& served, bool timing, bool memory) {
    std::printf("\n== ");
    std::printf(title, static_cast<double>(o_.big_bytes) / kMiB);
    std::printf("\n");
    std::vector<double> ratios, big_rss, small_rss;
    for (int round = 0; round < o_.rounds; ++round) {
      double control_s = 0, curl_s = 0;
      std::string split;
      for (int turn = 0; turn < 2; ++turn) {
        Settle();
        if ((turn == 0) == (round % 2 == 0)) {
          ChildResult r = Control(served, "big.bin", o_.big_bytes);
          control_s = ParseSeconds(r.out);
          split = r.out.substr(std::min(r.out.size(), r.out.find('\n') + 1));
          big_rss.push_back(r.max_rss_mib);
        } else if (timing) {
          curl_s = Curl(served, "big.bin");
        }
      }
      if (memory) small_rss.push_back(Control(served, "one_mib.bin", kMiB).max_rss_mib);
      if (!timing) continue;
      const double mib = static_cast<double>(o_.big_bytes) / kMiB;
      const double ratio = control_s > 0 && curl_s > 0 ? curl_s / control_s : 0;
      ratios.push_back(ratio);
      std::printf(
          "  round %d: control %.3f s (%.0f MiB/s, peak %.1f MiB)  curl %.3f s (%.0f MiB/s)"
          "  ratio %.3f\n",
          round + 1, control_s, mib / control_s, big_rss.back(), curl_s, mib / curl_s, ratio);
      std::printf("           control: %s", split.c_str());
    }
    if (timing) Summary("throughput ratio", ratios, 0.8, true);
    if (memory) {
      std::printf("== memory: peak resident memory of the control's run\n");
      for (size_t i = 0; i < small_rss.size(); ++i) {
        std::printf(
            "  round %zu: %.0f MiB file %.1f MiB  1 MiB file %.1f MiB  difference %.1f MiB\n",
            i + 1, static_cast<double>(o_.big_bytes) / kMiB, big_rss[i], small_rss[i],
            big_rss[i] - small_rss[i]);
      }
      Summary("peak, large file", big_rss, 32, false, " MiB");
      std::vector<double> differences;
      for (size_t i = 0; i < small_rss.size(); ++i)
        differences.push_back(big_rss[i] - small_rss[i]);
      Summary("above the 1 MiB run", differences, 4, false, " MiB");
    }
  }

  // The small files: the control in this process and libcurl, alternately.
  // title has a %d for their number and a %llu for their KiB.
  void SmallCase(const char* title, const Served& served, double target) {
    std::printf("\n== ");
    std::printf(title, o_.small_files, static_cast<unsigned long long>(o_.small_bytes / 1024));
    std::printf("\n");
    std::vector<double> ratios;
    for (int round = 0; round < o_.rounds; ++round) {
      double control_s = 0, curl_s = 0;
      std::string split;
      for (int turn = 0; turn < 2; ++turn) {
        Settle();
        if ((turn == 0) == (round % 2 == 0)) {
          BenchMachine m(data_ + "/online-small", served.ca_file);
          bool ok = false;
          control_s = m.Run(SmallList("1.0.0.0"), served.base_url + "/small/", false, &ok);
          split = m.split().Text();
          Check(ok && HostFileSize(m.HostPath(gsDirClient + "\\" +
                                              SmallName(o_.small_files - 1))) == o_.small_bytes,
                "the small files' run");
        } else {
          curl_s = CurlMany(served);
        }
      }
      const double ratio = curl_s / control_s;
      ratios.push_back(ratio);
      std::printf(
          "  round %d: control %.3f s (%.0f files/s)  libcurl %.3f s (%.0f files/s)  "
          "ratio %.3f\n",
          round + 1, control_s, o_.small_files / control_s, curl_s, o_.small_files / curl_s, ratio);
      std::printf("           control: %s\n", split.c_str());
    }
    Summary("files/s ratio", ratios, target, true);
  }

  // A run that did not do its work ends the benchmark (nginx is stopped and
  // the data removed on the way out).
  static void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + " failed");
  }

  ChildResult Control(const Served& served, const std::string& name, uint64_t size) {
    const auto stated = StatedFiles().find(name);
    ChildResult r = RunChild({SelfPath(), kChildFlag, served.base_url, name, std::to_string(size),
                              data_ + "/child",
                              stated == StatedFiles().end() ? "-" : stated->second.sha256,
                              served.ca_file.empty() ? "-" : served.ca_file});
    Check(r.ok, "the control's run in a child process");
    return r;
  }

  // curl's own transfer time, without its start-up.
  double Curl(const Served& served, const std::string& name) {
    const std::string out = data_ + "/curl.out";
    std::vector<std::string> argv = {"curl", "-s", "-o", out, "-w", "%{time_total}"};
    if (!served.ca_file.empty()) argv.insert(argv.end(), {"--cacert", served.ca_file});
    argv.push_back(served.base_url + "/" + name);
    ChildResult r = RunChild(argv);
    Check(r.ok && HostFileSize(out) == HostFileSize(www_ + "/" + name), "curl");
    std::error_code ec;
    fs::remove(out, ec);
    return std::atof(r.out.c_str());
  }

  // The small files in sequence on one reused easy handle, each written to
  // a file of its own.
  double CurlMany(const Served& served) {
    const std::string out = data_ + "/libcurl-small";
    fs::create_directories(out);
    CURL* curl = curl_easy_init();
    if (!served.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, served.ca_file.c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* p, size_t s, size_t n, void* f) {
          return std::fwrite(p, s, n, static_cast<FILE*>(f));
        });
    const auto start = Clock::now();
    bool ok = true;
    for (int i = 0; i < o_.small_files; ++i) {
      const std::string name = SmallName(i);
      FILE* f = std::fopen((out + "/" + name).c_str(), "wb");
      curl_easy_setopt(curl, CURLOPT_URL, (served.base_url + "/small/" + name).c_str());
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, f);
      ok = curl_easy_perform(curl) == CURLE_OK && ok;
      std::fclose(f);
    }
    const double seconds = Seconds(start);
    curl_easy_cleanup(curl);
    Check(ok, "libcurl");
    std::error_code ec;
    fs::remove_all(out, ec);
    return seconds;
  }

  std::vector<InstallRecord> SmallList(const std::string& version) const {
    std::vector<InstallRecord> records;
    for (int i = 0; i < o_.small_files; ++i) records.push_back(FileRecord(SmallName(i), version));
    return records;
  }

  // Hard links of every file of from in a new folder to (same file system).
  static void LinkInto(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    for (const auto& entry : fs::directory_iterator(from)) {
      fs::create_hard_link(entry.path(), to + "/" + entry.path().filename().string());
    }
  }

  const Options& o_;
  std::string data_;
  std::string www_;
  Served plain_;
  Served tls_;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--quick") {
      o->big_bytes = 64 * kMiB;
      o->small_files = 200;
      o->walk_records = 2000;
      o->rounds = 3;
    } else if (arg == "--big-mib") {
      o->big_bytes = std::stoull(value()) * kMiB;
    } else if (arg == "--small-files") {
      o->small_files = std::stoi(value());
    } else if (arg == "--small-kib") {
      o->small_bytes = std::stoull(value()) * 1024;
    } else if (arg == "--walk-records") {
      o->walk_records = std::stoi(value());
    } else if (arg == "--walk-files") {
      o->walk_files = std::stoi(value());
    } else if (arg == "--rounds") {
      o->rounds = std::stoi(value());
    } else if (arg == "--dir") {
      o->dir = value();
    } else if (arg == "--fixture") {
      o->fixture = value();
    } else if (arg == "--checked") {
      o->checked = true;
    } else if (arg == "--only") {
      std::stringstream list(value());
      for (std::string name; std::getline(list, name, ',');) o->only.insert(name);
    } else {
      std::fprintf(stderr,
                   "usage: engine_bench [--quick] [--big-mib N] [--small-files N] "
                   "[--small-kib N] [--walk-records N] [--walk-files N] [--rounds N] [--dir DIR] "
                   "[--fixture PE] "
                   "[--only online-big,memory,online-small,walk,local-small,local-big,https] "
                   "[--checked]\n");
      return false;
    }
  }
  if (o->fixture.empty()) {
    o->fixture = (fs::path(SelfPath()).parent_path() / "../tests/fixtures/v6_0_81_69_x64.dll")
                     .lexically_normal()
                     .string();
  }
  return o->rounds > 0 && o->small_files > 0 && o->walk_records >= 0 && o->big_bytes > 0;
}

// nginx over TLS for root, with a certificate for 127.0.0.1 from a fresh
// authority in dir/authority, whose certificate goes to *ca_file. nullptr
// with *error set on failure.
std::unique_ptr<Nginx> StartTlsNginx(const std::string& dir, const std::string& root,
                                     std::string* ca_file, std::string* error) {
  const std::string folder = dir + "/authority";
  fs::create_directories(folder);
  std::unique_ptr<Authority> authority = Authority::Make(folder, error);
  Authority::Issued issued;
  if (authority == nullptr || !authority->Issue("127.0.0.1", "IP:127.0.0.1", &issued, error)) {
    return nullptr;
  }
  *ca_file = authority->ca_file();
  return Nginx::Start(root, error, {issued.cert, issued.key});
}

int Main(int argc, char** argv) {
  if (argc == 8 && std::strcmp(argv[1], kChildFlag) == 0) {
    if (std::strcmp(argv[6], "-") != 0) StatedFiles()[argv[3]] = {std::stoull(argv[4]), argv[6]};
    return ControlChild(argv[2], argv[3], std::stoull(argv[4]), argv[5],
                        std::strcmp(argv[7], "-") != 0 ? argv[7] : "");
  }
  Options o;
  if (!ParseOptions(argc, argv, &o)) return 2;
  if (o.Wants("walk") && !fs::exists(o.fixture)) {
    std::fprintf(stderr, "engine_bench: no version fixture at %s (build the tests, or --fixture)\n",
                 o.fixture.c_str());
    return 1;
  }

  std::string pattern =
      ((o.dir.empty() ? fs::temp_directory_path() : fs::path(o.dir)) / "qvbench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "engine_bench: cannot make a folder for the data\n");
    return 1;
  }
  const std::string data = pattern;
  const std::string www = data + "/www";
  fs::create_directories(www + "/small");
  std::printf("engine_bench: data in %s; preparing...\n", data.c_str());
  std::fflush(stdout);
  if (o.Wants("online-big") || o.Wants("memory") || o.Wants("local-big") || o.Wants("https")) {
    WriteData(www + "/big.bin", o.big_bytes, 1, o.checked);
  }
  WriteData(www + "/one_mib.bin", kMiB, 2, o.checked);
  for (int i = 0; i < o.small_files; ++i)
    WriteData(www + "/small/" + SmallName(i), o.small_bytes, i + 3, o.checked);

  int rc = 0;
  {
    std::string error;
    std::unique_ptr<Nginx> nginx = Nginx::Start(www, &error);
    std::unique_ptr<Nginx> tls_nginx;
    Served tls;
    if (nginx != nullptr && o.Wants("https")) {
      tls_nginx = StartTlsNginx(data, www, &tls.ca_file, &error);
      if (tls_nginx != nullptr) tls.base_url = tls_nginx->base_url();
    }
    if (nginx == nullptr || (o.Wants("https") && tls_nginx == nullptr)) {
      std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
      rc = 1;
    } else {
      std::printf("nginx at %s, %d rounds%s\n", nginx->base_url().c_str(), o.rounds,
                  o.checked ? "; records state FileSHA256 and FileSize" : "");
      if (tls_nginx != nullptr) std::printf("nginx over TLS at %s\n", tls.base_url.c_str());
      Bench bench(o, data, *nginx, tls);
      try {
        bench.OnlineBigAndMemory();
        bench.OnlineSmall();
        bench.Https();
        bench.Walk();
        bench.LocalSmall();
        bench.LocalBig();
      } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "engine_bench: %s\n", e.what());
        rc = 1;
      }
    }
  }
  std::error_code ec;
  fs::remove_all(data, ec);
  return rc;
}

}  // namespace
}  // namespace qv::bench

int main(int argc, char** argv) { return qv::bench::Main(argc, argv); }
