// The kill harness: qvserver and qvinit as child processes, a sandbox machine
// with the target in use, kills at random moments and the next start.
#include "tests/kill_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <vector>

#include "platform/sandbox/machine.h"
#include "platform/sandbox/sandbox_platform.h"
#include "tests/child_process.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kKeyName[] = "KILL";
constexpr char kLogin[] = "killer";
constexpr char kPassword[] = "pw";
constexpr char kClient[] = "C:\\Program Files\\Ostrel\\Quillmark\\Client\\";
// The two files of the list: one downloaded as it is, one as a compressed
// archive that each run expands.
constexpr const char* kFiles[] = {"big.bin", "packed.bin"};
constexpr char kHostClient[] = "/drive_c/Program Files/Ostrel/Quillmark/Client";
constexpr char kHostTemp[] = "/drive_c/Program Files/Ostrel/Quillmark/Temp";

std::string Published(uint64_t size) {
  std::string bytes(size, '\0');
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
  return bytes;
}

// The names and sizes in the machine's temp folder: a body that begins to
// arrive changes them (a new temporary, or a staging file written anew).
std::string TempSignature(const std::string& machine) {
  std::string signature;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(machine + kHostTemp, ec)) {
    signature += entry.path().filename().string() + "=" +
                 std::to_string(entry.is_regular_file(ec) ? entry.file_size(ec) : 0) + ";";
  }
  return signature;
}

// The names in the machine's temp folder that begin with prefix.
std::vector<std::string> TempNames(const std::string& machine, const std::string& prefix) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(machine + kHostTemp, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) found.push_back(name);
  }
  return found;
}

std::string InstallList() {
  nlohmann::json list = {
      {"format", "qv-installlist"},
      {"version", 1},
      {"fields", nlohmann::json::array()},
      {"records",
       {{1, "big.bin", "client/big.bin", 2, "1.0.0.0", "CLIENTDIR", "Large file", false},
        {2, "packed.bin", "client/packed.bin.cmp", 2, "1.0.0.0", "CLIENTDIR", "Packed file",
         true}}}};
  for (const auto& [name, type] : std::vector<std::pair<const char*, const char*>>{
           {"SequenceID", "integer"},
           {"FileName", "string"},
           {"DownloadLocation", "string"},
           {"InstallType", "integer"},
           {"FileVersion", "string"},
           {"InstallLocation", "string"},
           {"Description", "string"},
           {"IsCompressed", "boolean"}}) {
    list["fields"].push_back({{"name", name}, {"type", type}});
  }
  return list.dump();
}

class Harness {
 public:
  explicit Harness(const KillOptions& options)
      : o_(options), dir_(MakeTempDir("qvkill")), machine_(dir_ + "/machine"),
        published_{Published(options.file_bytes), Published(options.packed_bytes)},
        random_(options.seed) {}
  ~Harness() {
    server_.reset();
    RemoveTree(dir_);
  }

  KillFigures Run() {
    if (!StartServer() || !MakeMachine()) return figures_;
    while (figures_.kills < o_.kills && figures_.error.empty()) Round();
    // The last kills' leftovers go with the next run too.
    if (figures_.error.empty() && FullRun()) CompareWithAnUninterruptedMachine();
    return figures_;
  }

 private:
  bool Fail(const std::string& error) {
    figures_.error = error;
    return false;
  }

  bool StartServer() {
    const std::string db = dir_ + "/server.db";
    const std::string files = dir_ + "/files";
    WriteHostFile(files + "/client/big.bin", published_[0]);
    WriteHostFile(dir_ + "/packed.bin", published_[1]);
    WriteHostFile(dir_ + "/list.json", InstallList());
    for (const auto& [argv, input] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{QvserverPath(), "pack", dir_ + "/packed.bin", files + "/client/packed.bin.cmp"}, ""},
             {{QvserverPath(), "init", db}, ""},
             {{QvserverPath(), "user", "add", db, kKeyName, kLogin}, std::string(kPassword) + "\n"},
             {{QvserverPath(), "list", "import", db, kKeyName, dir_ + "/list.json"}, ""}}) {
      const CommandResult r = RunCommand(argv, input);
      if (r.exit_code != 0) return Fail("qvserver " + argv[1] + ": " + r.err);
    }
    server_ = std::make_unique<Child>(
        std::vector<std::string>{QvserverPath(), "serve", db, "--files", files, "--listen",
                                 "127.0.0.1:0"},
        std::vector<std::string>{}, true);
    base_ = server_->ListeningAddress(std::chrono::seconds(20));
    return !base_.empty() || Fail("qvserver serve named no address to listen on");
  }

  // A fresh machine whose installed copies of the files are held by a
  // program.
  bool MakeMachine() {
    const CommandResult r = RunCommand({QvinitPath(), "machine", "init", machine_});
    if (r.exit_code != 0) return Fail("machine init: " + r.err);
    std::unique_ptr<sandbox::Machine> machine;
    if (!sandbox::Machine::Open(machine_, &machine).ok()) return Fail("cannot open the machine");
    for (const char* name : kFiles) {
      machine->mutable_profile()->files_in_use.push_back({kClient + std::string(name), false});
      WriteHostFile(machine_ + kHostClient + "/" + name, "the installed copy");
    }
    if (!machine->SaveProfile().ok()) return Fail("cannot save the profile");
    return true;
  }

  std::unique_ptr<Child> StartRun() {
    return std::make_unique<Child>(
        std::vector<std::string>{QvinitPath(), "--headless", "--machine", machine_, "startup",
                                 base_ + "/", base_ + "/bo", kKeyName, kLogin, "192.0.2.1"},
        std::vector<std::string>{std::string("QVINIT_PASSWORD=") + kPassword}, false);
  }

  // Waits until the run's body begins to arrive (true) or the run ends.
  bool WaitForBody(Child& run, const std::string& before) {
    while (run.Running()) {
      if (TempSignature(machine_) != before) return true;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
  }

  // A run to its end: it stages the files and defers their replacement. The
  // first one's length, and that of its body, set the moments of the kills.
  // It swept what killed runs left and left nothing of its own: the temp
  // folder holds the two staged files and nothing else.
  bool FullRun() {
    const std::string before = TempSignature(machine_);
    const auto start = Clock::now();
    std::unique_ptr<Child> full = StartRun();
    WaitForBody(*full, before);
    const auto body_start = Clock::now();
    const int exit_code = full->Wait();
    const auto end = Clock::now();
    if (exit_code != 0) return Fail("a full run ended with exit status " + std::to_string(exit_code));
    if (figures_.full_run_seconds == 0) {
      figures_.full_run_seconds = std::chrono::duration<double>(end - start).count();
      body_seconds_ = std::chrono::duration<double>(end - body_start).count();
    }
    for (const std::string& name : TempNames(machine_, "")) {
      if (name != kFiles[0] && name != kFiles[1]) {
        ++figures_.leftovers;
        figures_.leftover_names += name + " ";
      }
    }
    // Nor beside the machine's own files (its profile, a restart request).
    for (const auto& entry : fs::directory_iterator(machine_)) {
      const std::string name = entry.path().filename().string();
      if (name.find(".tmp") != std::string::npos) {
        ++figures_.leftovers;
        figures_.leftover_names += name + " ";
      }
    }
    return true;
  }

  void Round() {
    if (!FullRun()) return;
    ++figures_.rounds;

    for (int i = 0; i < o_.runs_per_round && figures_.kills < o_.kills; ++i) {
      // Half the kills come at any moment of a run, half while its body
      // arrives.
      const bool in_body = std::bernoulli_distribution(0.5)(random_);
      std::uniform_real_distribution<double> moment(
          0, in_body ? body_seconds_ : figures_.full_run_seconds);
      const std::string signature = TempSignature(machine_);
      std::unique_ptr<Child> run = StartRun();
      if (in_body) WaitForBody(*run, signature);
      std::this_thread::sleep_for(std::chrono::duration<double>(moment(random_)));
      if (!run->Running()) continue;  // it ended first: not a kill
      run->Signal(SIGKILL);
      run->Wait();
      ++figures_.kills;
      CheckRegistry();
      // What it left is for the next start-up to remove.
      if (!TempNames(machine_, "~qvd").empty()) ++figures_.kills_during_body;
      if (!TempNames(machine_, "~qvx").empty()) ++figures_.kills_during_expansion;
    }

    KillABoot();
    const auto boot_start = Clock::now();
    const CommandResult boot = RunCommand({QvinitPath(), "machine", "boot", machine_});
    boot_seconds_ = std::chrono::duration<double>(Clock::now() - boot_start).count();
    if (boot.exit_code != 0) {
      Fail("machine boot: " + boot.err);
      return;
    }
    for (size_t i = 0; i < 2; ++i) {
      if (SameAsPublished(machine_ + kHostClient + "/" + kFiles[i], published_[i])) {
        ++figures_.complete;
      } else {
        ++figures_.damaged;
      }
    }
  }

  // After its next start, the machine must be what a machine that only
  // ever had runs to their end is after its next start: the same files with
  // the same bytes, and the same registry.
  void CompareWithAnUninterruptedMachine() {
    const std::string killed = machine_;
    machine_ = dir_ + "/reference";
    const bool made = MakeMachine() && FullRun();
    machine_ = killed;
    if (!made) return;
    for (const std::string& root : {killed, dir_ + "/reference"}) {
      if (RunCommand({QvinitPath(), "machine", "boot", root}).exit_code != 0) {
        Fail("machine boot of " + root);
        return;
      }
    }
    figures_.same_as_uninterrupted = MachineState(killed) == MachineState(dir_ + "/reference");
  }

  // Every file below drive_c with a digest of its bytes, then the registry.
  static std::string MachineState(const std::string& root) {
    std::vector<std::string> lines;
    for (const auto& entry : fs::recursive_directory_iterator(root + "/drive_c")) {
      if (!entry.is_regular_file()) continue;
      lines.push_back(fs::relative(entry.path(), root).string() + " " +
                      std::to_string(std::hash<std::string>()(ReadHostFile(entry.path()))));
    }
    std::sort(lines.begin(), lines.end());
    std::string state;
    for (const std::string& line : lines) state += line + "\n";
    return state + RunCommand({QvinitPath(), "machine", "reg", root, "export"}).out;
  }

  // A start of the machine killed at a random moment of a start's length:
  // the next start must finish its work.
  void KillABoot() {
    std::uniform_real_distribution<double> moment(0, boot_seconds_);
    Child boot({QvinitPath(), "machine", "boot", machine_}, {}, false);
    std::this_thread::sleep_for(std::chrono::duration<double>(moment(random_)));
    if (!boot.Running()) return;
    boot.Signal(SIGKILL);
    boot.Wait();
    ++figures_.boot_kills;
    CheckRegistry();
  }

  void CheckRegistry() {
    if (IntegrityCheck(machine_ + "/registry.db") != "ok") ++figures_.registry_damaged;
  }

  static bool SameAsPublished(const std::string& path, const std::string& published) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (file == nullptr) return false;
    std::vector<char> block(1 << 20);
    size_t at = 0;
    while (size_t n = std::fread(block.data(), 1, block.size(), file.get())) {
      if (at + n > published.size() || std::memcmp(block.data(), published.data() + at, n) != 0) {
        return false;
      }
      at += n;
    }
    return at == published.size();
  }

  KillOptions o_;
  std::string dir_;
  std::string machine_;
  std::string published_[2];
  std::mt19937 random_;
  std::unique_ptr<Child> server_;
  std::string base_;
  double body_seconds_ = 0;
  double boot_seconds_ = 0.05;  // until the first start is measured
  KillFigures figures_;
};

}  // namespace

KillFigures RunKillHarness(const KillOptions& options) { return Harness(options).Run(); }

}  // namespace qv::testing
