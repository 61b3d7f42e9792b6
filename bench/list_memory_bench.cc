// list_memory_bench: peak memory of qvinit for a large install list and of
// `qvinit machine boot` for a large wininit.ini, each measured as the peak
// resident memory of a qvinit process of its own (read through wait4).
//
//   online  a copy-only developer run (`qvinit startup ... COPYONLY --dev`)
//           against `qvserver serve` on 127.0.0.1, whose install list has
//           --records records (740,000 by default: about 63 MB). Every record
//           is one of the product's own, so the developer filter leaves
//           none: the run fetches the list, saves it as installlist.rst and
//           installs nothing. Also run with 1,000 records for the base.
//           Target: the peak is at most 3 times the list's size.
//   boot    `qvinit machine boot` of a 9x machine whose wininit.ini is
//           --ini-mib MiB (100 by default): a [rename] section with a few
//           hundred renames, deletions and failures, then line after line
//           that is not a rename, each of which the start reports as a
//           problem. Also run with 1 MiB. Target: the peak is no more than
//           4 MiB above the 1 MiB run's.
//
//   list_memory_bench [--records N] [--ini-mib N] [--dir DIR] [--only online|boot]
//
// Data goes into a fresh folder below DIR (default: the system's temp
// folder), which is removed at the end. qvinit and qvserver are the ones
// beside this program's folder.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/child_process.h"
#include "bench/figures.h"

namespace qv::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr char kKeyName[] = "BENCH";
constexpr char kLogin[] = "bench";

struct Options {
  int records = 740000;
  int ini_mib = 100;
  std::string dir;
  std::string only;

  bool Wants(const std::string& name) const { return only.empty() || only == name; }
};

double FileMiB(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<double>(size) / kMiB;
}

// ---- online -------------------------------------------------------------------

// An install list of n records in the layout qvserver stores, written
// record by record so that this process stays small. Each record is one of
// the product's own.
void WriteList(const std::string& path, int n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "{\n  \"format\": \"qv-installlist\",\n  \"version\": 1,\n  \"fields\": [";
  const char* const kFields[][2] = {
      {"SequenceID", "integer"},      {"FileName", "string"},        {"DownloadLocation", "string"},
      {"InstallType", "integer"},     {"FileVersion", "string"},     {"AltCheck", "string"},
      {"AltCheckRegValue", "string"}, {"InstallLocation", "string"}, {"IsQVObject", "boolean"},
      {"Description", "string"},      {"IsCompressed", "boolean"}};
  const char* separator = "\n    ";
  for (const auto& field : kFields) {
    out << separator << "{\"name\": \"" << field[0] << "\", \"type\": \"" << field[1] << "\"}";
    separator = ",\n    ";
  }
  out << "\n  ],\n  \"records\": [";
  char record[256];
  for (int i = 0; i < n; ++i) {
    std::snprintf(record, sizeof(record),
                  "%s\n    [%d, \"m%x.dll\", \"c/m%x\", 2, \"3.%d\", \"\", null, \"CLIENTDIR\", "
                  "true, \"\", true]",
                  i == 0 ? "" : ",", i + 1, i, i, i % 1000);
    out << record;
  }
  out << (n == 0 ? "]\n}\n" : "\n  ]\n}\n");
}

bool Check(const ChildResult& r, const char* what) {
  if (!r.ok) std::fprintf(stderr, "%s failed (exit %d)\n", what, r.exit_code);
  return r.ok;
}

// Peak MiB of a copy-only developer run against a server holding a list of
// n records; 0 when it fails. *list_mib is the list's size.
double OnlineRun(const std::string& dir, int n, double* list_mib) {
  const std::string qvserver = BuildFolder() + "/../qvserver";
  const std::string qvinit = BuildFolder() + "/../qvinit";
  fs::create_directories(dir);
  const std::string db = dir + "/server.db", list = dir + "/list.rst", machine = dir + "/machine";
  WriteList(list, n);
  *list_mib = FileMiB(list);
  if (!Check(RunChild({qvserver, "init", db}), "qvserver init") ||
      !Check(RunChild({qvserver, "user", "add", db, kKeyName, kLogin}, "pw\n"), "user add") ||
      !Check(RunChild({qvserver, "list", "import", db, kKeyName, list}), "list import") ||
      !Check(RunChild({qvinit, "machine", "init", machine}), "machine init")) {
    return 0;
  }
  fs::create_directories(machine + "/drive_c/Copy");
  BackgroundChild server({qvserver, "serve", db, "--listen", "127.0.0.1:0"});
  const std::string line = server.ReadLine();
  const std::string prefix = "listening on ";
  if (line.rfind(prefix, 0) != 0) {
    std::fprintf(stderr, "qvserver serve said \"%s\"\n", line.c_str());
    return 0;
  }
  const std::string url = line.substr(prefix.size());
  const ChildResult run = RunChild({qvinit, "--headless", "--machine", machine, "--password-stdin",
                                    "--pick", "C:\\Copy", "--prelude-server", url, "startup",
                                    url + "/", url + "/bo", kKeyName, kLogin, "COPYONLY", "--dev"},
                                   "pw\n");
  if (!Check(run, "qvinit startup")) return 0;
  const double saved = FileMiB(machine + "/drive_c/Copy/installlist.rst");
  if (saved < *list_mib * 0.99) {
    std::fprintf(stderr, "the saved list has %.1f MiB of %.1f\n", saved, *list_mib);
    return 0;
  }
  std::printf("  %d records, %.1f MiB: peak %.1f MiB (%.2f times the list) in %.2f s\n", n,
              *list_mib, run.max_rss_mib, run.max_rss_mib / *list_mib, run.wall_seconds);
  return run.max_rss_mib;
}

bool Online(const Options& options, const std::string& dir) {
  std::printf("\n== online: a copy-only developer run fetching and saving a large list\n");
  double base_mib = 0, list_mib = 0;
  const double base = OnlineRun(dir + "/small", 1000, &base_mib);
  const double peak = OnlineRun(dir + "/large", options.records, &list_mib);
  if (base == 0 || peak == 0) return false;
  std::printf("  above the 1000-record run: %.1f MiB (%.2f times the list)\n", peak - base,
              (peak - base) / list_mib);
  Summary("peak / list size", {peak / list_mib}, 3.0, /*at_least=*/false);
  return true;
}

// ---- boot ---------------------------------------------------------------------

// A 9x machine in dir whose wininit.ini has about mib MiB, *junk_lines of
// them no renames; the files its renames name are there.
bool MakeBootMachine(const std::string& dir, int mib, std::string* machine, uint64_t* junk_lines) {
  *junk_lines = 0;
  *machine = dir + "/machine";
  fs::create_directories(dir);
  if (!Check(
          RunChild({BuildFolder() + "/../qvinit", "machine", "init", *machine, "--family", "9x"}),
          "machine init")) {
    return false;
  }
  const std::string files = *machine + "/drive_c/BENCH/";
  fs::create_directories(files);
  std::ofstream ini(*machine + "/drive_c/WINDOWS/wininit.ini", std::ios::binary | std::ios::trunc);
  ini << "[rename]\r\n";
  char line[160];
  for (int i = 0; i < 200; ++i) {
    std::ofstream(files + "NEW" + std::to_string(i) + ".DLL") << "new";
    std::ofstream(files + "OLD" + std::to_string(i) + ".DLL") << "old";
    std::snprintf(line, sizeof(line), "C:\\BENCH\\OLD%d.DLL=C:\\BENCH\\NEW%d.DLL\r\n", i, i);
    ini << line;
  }
  for (int i = 0; i < 100; ++i) {
    std::ofstream(files + "GONE" + std::to_string(i) + ".TMP") << "x";
    std::snprintf(line, sizeof(line), "NUL=C:\\BENCH\\GONE%d.TMP\r\n; kept: %d\r\n", i, i);
    ini << line;
    std::snprintf(line, sizeof(line), "C:\\BENCH\\X%d.DLL=C:\\BENCH\\MISSING%d.DLL\r\n", i, i);
    ini << line;
  }
  const uint64_t size = static_cast<uint64_t>(mib) << 20;
  for (uint64_t written = 0; written < size; ++*junk_lines) {
    const int n = std::snprintf(line, sizeof(line), "this line is not a rename line %llu\r\n",
                                static_cast<unsigned long long>(*junk_lines));
    ini << line;
    written += static_cast<uint64_t>(n);
  }
  return true;
}

// Peak MiB of `qvinit machine boot` with a wininit.ini of about mib MiB; 0
// when it fails.
double BootRun(const std::string& dir, int mib) {
  std::string machine;
  uint64_t junk_lines = 0;
  if (!MakeBootMachine(dir, mib, &machine, &junk_lines)) return 0;
  const double ini_mib = FileMiB(machine + "/drive_c/WINDOWS/wininit.ini");
  // The report is counted, not kept: its lines and the last of them.
  uint64_t lines = 0;
  std::string last_line, current;
  const ChildResult run = RunChild({BuildFolder() + "/../qvinit", "machine", "boot", machine}, "",
                                   [&](std::string_view piece) {
                                     for (char c : piece) {
                                       if (c != '\n') {
                                         current += c;
                                         continue;
                                       }
                                       ++lines;
                                       last_line.swap(current);
                                       current.clear();
                                     }
                                   });
  if (!Check(run, "qvinit machine boot")) return 0;
  // The machine's line, 300 renames, 100 failures, then a problem a line.
  const uint64_t expected = 1 + 300 + 100 + junk_lines;
  const std::string last = "line " + std::to_string(1 + 200 + 300 + junk_lines) + " is not";
  if (lines != expected || last_line.find(last) == std::string::npos ||
      FileMiB(machine + "/drive_c/WINDOWS/wininit.bak") == 0) {
    std::fprintf(stderr, "the start printed %llu lines, not %llu, the last \"%s\"\n",
                 static_cast<unsigned long long>(lines), static_cast<unsigned long long>(expected),
                 last_line.c_str());
    return 0;
  }
  std::printf("  wininit.ini of %.1f MiB (%llu problems): peak %.1f MiB in %.2f s\n", ini_mib,
              static_cast<unsigned long long>(100 + junk_lines), run.max_rss_mib, run.wall_seconds);
  return run.max_rss_mib;
}

bool Boot(const Options& options, const std::string& dir) {
  std::printf("\n== boot: the next start of a 9x machine with a large wininit.ini\n");
  const double base = BootRun(dir + "/small", 1);
  const double peak = BootRun(dir + "/large", options.ini_mib);
  if (base == 0 || peak == 0) return false;
  Summary("MiB above the 1 MiB run", {peak - base}, 4.0, /*at_least=*/false, " MiB");
  return true;
}

int Main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--records") {
      options.records = std::atoi(next().c_str());
    } else if (arg == "--ini-mib") {
      options.ini_mib = std::atoi(next().c_str());
    } else if (arg == "--dir") {
      options.dir = next();
    } else if (arg == "--only") {
      options.only = next();
    } else {
      std::fprintf(stderr,
                   "usage: list_memory_bench [--records N] [--ini-mib N] [--dir DIR] "
                   "[--only online|boot]\n");
      return 2;
    }
  }
  std::string base = options.dir.empty() ? fs::temp_directory_path().string() : options.dir;
  std::string pattern = base + "/list_memory_bench.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  bool ok = true;
  if (options.Wants("online")) ok = Online(options, dir + "/online") && ok;
  if (options.Wants("boot")) ok = Boot(options, dir + "/boot") && ok;
  std::error_code ec;
  fs::remove_all(dir, ec);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace qv::bench

int main(int argc, char** argv) { return qv::bench::Main(argc, argv); }
