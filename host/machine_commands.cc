// The `qvinit machine ...` commands.
#include "host/machine_commands.h"

#include <cstdlib>
#include <functional>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string_view>
#include <utility>

#include "platform/sandbox/boot.h"
#include "platform/sandbox/machine.h"
#include "platform/sandbox/reg_tool.h"
#include "platform/sandbox/sandbox_platform.h"
#include "platform/sandbox/sandbox_registry.h"

namespace qv::host {

namespace {

int Fail(std::ostream& err, const Status& s) {
  err << "qvinit: " << s.message() << "\n";
  return 1;
}

const char* FamilyName(sandbox::Family f) {
  return f == sandbox::Family::kNt ? "nt (Windows NT family)" : "9x (Windows 9x family)";
}

std::string Join(const std::vector<std::string>& items) {
  std::string s;
  for (const std::string& i : items) s += (s.empty() ? "" : ", ") + i;
  return s.empty() ? "(none)" : s;
}

// Prints the folder tree below a Windows folder, files with their sizes.
void PrintTree(FileSystem& files, const std::string& folder, int depth,
               int* budget, std::ostream& out) {
  std::vector<DirEntry> entries;
  if (!files.ListDirectory(folder, &entries).ok()) return;
  const std::string base = folder.back() == '\\' ? folder : folder + "\\";
  for (const DirEntry& e : entries) {
    if (*budget <= 0) {
      out << std::string(depth * 2 + 2, ' ') << "...\n";
      return;
    }
    --*budget;
    const std::string path = base + e.name;
    out << std::string(depth * 2 + 2, ' ') << e.name;
    if (e.is_directory) {
      out << "\\\n";
      PrintTree(files, path, depth + 1, budget, out);
    } else {
      uint64_t size = 0;
      files.GetFileSize(path, &size);
      out << "  (" << size << " bytes)\n";
    }
  }
}

}  // namespace

std::string DefaultMachineDir() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data) return std::string(data) + "/qvinit/machine";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/qvinit/machine";
}

int MachineInit(const std::string& dir, const std::string& family,
                const std::string& user, bool run_programs, std::ostream& out,
                std::ostream& err) {
  const sandbox::Family f = family == "9x" ? sandbox::Family::k9x : sandbox::Family::kNt;
  Status s = sandbox::InitMachine(dir, f, user != "restricted", run_programs);
  if (!s.ok()) return Fail(err, s);
  out << "made a " << (f == sandbox::Family::kNt ? "nt" : "9x") << " machine for "
      << (user == "restricted" ? "a restricted" : "an admin") << " user in " << dir << "\n";
  if (run_programs) {
    out << "programs that runs start on this machine are run on the host as this user\n";
  } else {
    out << "programs that runs start on this machine are recorded in " << dir
        << "/programs.jsonl, not run\n";
  }
  return 0;
}

int MachineShow(const std::string& dir, std::ostream& out, std::ostream& err) {
  std::unique_ptr<sandbox::SandboxPlatform> sp;
  Status s = sandbox::SandboxPlatform::Open(dir, nullptr, nullptr, &sp);
  if (!s.ok()) return Fail(err, s);
  const sandbox::MachineProfile& p = sp->machine().profile();
  out << "Machine " << sp->machine().root() << "\n"
      << "  family:            " << FamilyName(p.family) << "\n"
      << "  ANSI code page:    " << p.ansi_code_page << "\n"
      << "  Windows folder:    " << p.windows_directory << "\n"
      << "  system folder:     " << p.system_directory << "\n"
      << "  current folder:    " << p.current_directory << "\n"
      << "  user:              " << p.user_name << "\n"
      << "  may write registry: " << Join(p.writable_registry_roots) << "\n"
      << "  may write folders: " << Join(p.writable_folders) << "\n"
      << "  except below:      " << Join(p.protected_folders) << "\n"
      << "  shutdown privilege: " << (p.shutdown_privilege ? "yes" : "no") << "\n";
  std::vector<std::string> in_use;
  for (const sandbox::InUseFile& f : p.files_in_use) {
    in_use.push_back(f.path + (f.exclusive ? " (exclusive)" : ""));
  }
  out << "  files in use:      " << Join(in_use) << "\n";
  out << "  programs:          "
      << (p.run_programs ? "run on the host" : "recorded in programs.jsonl, not run") << "\n";
  out << "\nRegistry: HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\n";
  std::string reg;
  s = sandbox::RegQuery(*sp->registry(), sp->machine().codec(),
                        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                        std::nullopt, &reg);
  out << (s.ok() ? reg : "  (" + s.message() + ")\n");
  for (char drive : sp->platform()->files->Drives()) {
    const std::string root = std::string(1, drive) + ":\\";
    out << "\nDrive " << root << "\n";
    int budget = 400;
    PrintTree(*sp->platform()->files, root, 0, &budget, out);
  }
  return 0;
}

int MachineBoot(const std::string& dir, std::ostream& out, std::ostream& err) {
  std::unique_ptr<sandbox::SandboxPlatform> sp;
  Status s = sandbox::SandboxPlatform::Open(dir, nullptr, nullptr, &sp);
  if (!s.ok()) return Fail(err, s);
  sandbox::BootReport report;
  s = sandbox::BootMachine(sp.get(), &report);
  out << "Start of machine " << sp->machine().root() << " ("
      << (sp->machine().is_nt() ? "nt" : "9x") << " family)\n";
  // The lists can be long: each is printed as it is read back.
  bool read_back = true;
  for (const auto& [list, label] :
       {std::pair{&report.renames, "  rename:    "}, std::pair{&report.run_once, "  RunOnceEx: "},
        std::pair{&report.problems, "  problem:   "}}) {
    read_back = list->ForEach([&](std::string_view r) { out << label << r << "\n"; }) && read_back;
  }
  if (report.restart_requested) {
    out << "  restart:   the restart that was requested has been taken up\n";
  }
  if (report.renames.empty() && report.run_once.empty() && report.problems.empty() &&
      !report.restart_requested) {
    out << "  nothing was pending\n";
  }
  if (s.ok() && !read_back) s = Status::Corrupt("the report could not be read back");
  if (!s.ok()) return Fail(err, s);
  return 0;
}

int MachineRegQuery(const std::string& dir, const std::string& key,
                    const std::optional<std::string>& value, std::ostream& out,
                    std::ostream& err) {
  std::unique_ptr<sandbox::SandboxPlatform> sp;
  Status s = sandbox::SandboxPlatform::Open(dir, nullptr, nullptr, &sp);
  if (!s.ok()) return Fail(err, s);
  std::string text;
  s = sandbox::RegQuery(*sp->registry(), sp->machine().codec(), key, value, &text);
  if (!s.ok()) return Fail(err, s);
  out << text;
  return 0;
}

int MachineRegSet(const std::string& dir, const std::string& key,
                  const std::string& value, const std::string& data,
                  std::ostream& out, std::ostream& err) {
  std::unique_ptr<sandbox::SandboxPlatform> sp;
  Status s = sandbox::SandboxPlatform::Open(dir, nullptr, nullptr, &sp);
  if (!s.ok()) return Fail(err, s);
  s = sandbox::RegSet(*sp->registry(), sp->machine().codec(), key, value, data);
  if (!s.ok()) return Fail(err, s);
  (void)out;
  return 0;
}

int MachineRegExport(const std::string& dir, const std::optional<std::string>& key,
                     std::ostream& out, std::ostream& err) {
  std::unique_ptr<sandbox::SandboxPlatform> sp;
  Status s = sandbox::SandboxPlatform::Open(dir, nullptr, nullptr, &sp);
  if (!s.ok()) return Fail(err, s);
  std::string text;
  s = sandbox::RegExport(*sp->registry(), sp->machine().codec(), key, &text);
  if (!s.ok()) return Fail(err, s);
  out << text;
  return 0;
}

}  // namespace qv::host
