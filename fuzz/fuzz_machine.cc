// Sandbox machines for fuzz targets (fuzz_machine.h).
#include "fuzz/fuzz_machine.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "platform/file_system.h"
#include "platform/platform.h"

namespace qv::fuzz {
namespace {

namespace fs = std::filesystem;

// Everything this process made, removed at normal exit.
struct Workspace {
  std::string dir;
  std::map<sandbox::Family, std::unique_ptr<sandbox::SandboxPlatform>> machines;
  std::unique_ptr<ScopedPlatform> scope;

  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "qvfuzzXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Check(false, "cannot make a temporary folder");
    dir = pattern;
    fs::create_directories(dir + "/outside");
    std::FILE* f = std::fopen((dir + "/outside/keep.txt").c_str(), "w");
    Check(f != nullptr, "cannot write the outside file");
    std::fputs("must stay\n", f);
    std::fclose(f);
  }
  ~Workspace() {
    scope.reset();
    machines.clear();
    RemoveHostTree(dir);
  }
};

Workspace& Work() {
  static Workspace* work = [] {
    auto* w = new Workspace;
    std::atexit([] { delete &Work(); });
    return w;
  }();
  return *work;
}

}  // namespace

sandbox::SandboxPlatform& FuzzMachine(sandbox::Family family) {
  Workspace& work = Work();
  auto& slot = work.machines[family];
  if (slot == nullptr) {
    const std::string root =
        work.dir + (family == sandbox::Family::kNt ? "/machine_nt" : "/machine_9x");
    // Programs that an input would start are recorded, never run.
    Status s = sandbox::InitMachine(root, family, /*admin=*/true, /*run_programs=*/false);
    if (s.ok()) s = sandbox::SandboxPlatform::Open(root, nullptr, nullptr, &slot);
    if (!s.ok()) {
      std::fprintf(stderr, "cannot make a machine: %s\n", s.ToString().c_str());
      std::abort();
    }
  }
  work.scope.reset();
  work.scope = std::make_unique<ScopedPlatform>(slot->platform());
  return *slot;
}

std::string HostPathOf(sandbox::SandboxPlatform& machine, const std::string& windows_path) {
  sandbox::HostLocation location;
  if (!machine.machine().Locate(windows_path, &location).ok()) return "";
  return location.host_path;
}

void PutFile(sandbox::SandboxPlatform& machine, const std::string& windows_path,
             std::string_view bytes) {
  FileSystem& files = *machine.platform()->files;
  std::string folder = windows_path.substr(0, windows_path.rfind('\\'));
  std::vector<std::string> missing;
  uint32_t attributes = 0;
  while (folder.size() > 3 && !files.GetFileAttributes(folder, &attributes).ok()) {
    missing.push_back(folder);
    folder = folder.substr(0, folder.rfind('\\'));
  }
  std::reverse(missing.begin(), missing.end());
  for (const std::string& f : missing) Check(files.CreateDirectory(f).ok(), "cannot make a folder");
  std::unique_ptr<WritableFile> file;
  Check(files.NewWritableFile(windows_path, OpenMode::kCreateAlways, &file).ok(), "cannot open a file for writing");
  Check(file->Append(bytes.data(), bytes.size()).ok(), "cannot write a file");
  Check(file->Close().ok(), "cannot close a file");
}

const std::string& OutsideFolder() {
  static const std::string outside = Work().dir + "/outside";
  return outside;
}

std::string ListTree(const std::string& host_path) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(host_path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().lexically_relative(host_path).string();
    if (it->is_regular_file(ec)) {
      lines.push_back("f " + std::to_string(it->file_size(ec)) + " " + name);
    } else {
      lines.push_back("d " + name);
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

void RemoveHostTree(const std::string& host_path) {
  std::error_code ec;
  fs::remove_all(host_path, ec);
}

void Check(bool condition, const char* message) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", message);
  std::abort();
}

std::string Pieces::Take(char separator) {
  const size_t end = rest_.find(separator);
  std::string piece(rest_.substr(0, end));
  rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
  return piece;
}

}  // namespace qv::fuzz
