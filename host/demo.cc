// qvinit demo.
#include "host/demo.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <iomanip>
#include <iostream>

#include "install/modInstall.h"
#include "platform/platform.h"
#include "platform/posix/errno_status.h"
#include "platform/sandbox/sandbox_platform.h"
#include "server/http_server.h"
#include "server/sample_catalog.h"

namespace qv::host {
namespace {

// A new folder below the temp folder for the demo's files.
Status MakeWorkFolder(std::string* folder) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvinit-demo-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    return Status::Error(WinErrorFromErrno(errno), "cannot make a temporary folder from " + pattern);
  }
  *folder = pattern;
  return Status::OK();
}

// What each listed file became on the machine.
void PrintSummary(const std::string& machine_dir, const server::SampleCatalog& catalog,
                  std::ostream& out) {
  std::unique_ptr<sandbox::SandboxPlatform> sandbox;
  if (!sandbox::SandboxPlatform::Open(machine_dir, nullptr, nullptr, &sandbox).ok()) return;
  ScopedPlatform scope(sandbox->platform());
  InitFolders();
  FileSystem& files = *sandbox->platform()->files;

  out << "\nInstalled on the machine " << machine_dir << ":\n";
  int present = 0;
  int listed = 0;
  for (const server::SampleRecord& record : catalog.records) {
    if (record.is_launch) {
      out << "  started   " << record.file_name << " (launch record " << record.sequence_id
          << ")\n";
      continue;
    }
    ++listed;
    bool is_font = false;
    const std::string folder = ResolveInstallLocation(record.install_location, &is_font);
    const std::string path = folder + "\\" + record.file_name;
    uint64_t size = 0;
    const bool there = files.GetFileSize(path, &size).ok();
    present += there;
    const std::string version = there ? GetFileVersionString(path) : "";
    out << "  " << std::left << std::setw(9) << (there ? "installed" : "missing") << " "
        << std::setw(14) << record.file_name << " " << path;
    if (!version.empty()) out << "  (version " << version << ")";
    if (record.install_type == 3) out << "  (setup program, started)";
    out << "\n";
  }
  out << present << " of " << listed << " files are on the machine. Look around with:\n"
      << "  qvinit machine show " << machine_dir << "\n"
      << "  qvinit machine reg " << machine_dir
      << " query \"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\"\n";
}

}  // namespace

int RunDemo(SessionOptions options, std::ostream& out, std::ostream& err) {
  std::string work;
  const Status made_work = MakeWorkFolder(&work);
  if (!made_work.ok()) {
    err << "qvinit: " << made_work.message() << "\n";
    return kExitError;
  }
  if (options.machine_dir.empty()) options.machine_dir = work + "/machine";
  // The demo serves the sample catalog it has just written itself, so its
  // setup program and launch record may run on the host.
  Status made = sandbox::InitMachine(options.machine_dir, sandbox::Family::kNt, /*admin=*/true,
                                     /*run_programs=*/true);
  if (!made.ok()) {
    err << "qvinit: cannot make the machine " << options.machine_dir << ": " << made.ToString()
        << "\n";
    return kExitError;
  }
  options.make_machine_if_missing = false;

  server::SampleCatalog catalog;
  const Status written = server::WriteSampleCatalog(work + "/server", &catalog);
  if (!written.ok()) {
    err << "qvinit: cannot write the sample catalog: " << written.message() << "\n";
    return kExitError;
  }
  server::ServerOptions server_options;
  server_options.db_path = catalog.db_path;
  server_options.files_dir = catalog.files_dir;
  server_options.threads = 8;
  std::unique_ptr<server::Server> server;
  const Status started = server::Server::Start(server_options, &server);
  if (!started.ok()) {
    err << "qvinit: cannot start the server: " << started.message() << "\n";
    return kExitError;
  }
  out << "Serving the sample catalog of " << catalog.files_dir << " at " << server->base_url()
      << "\n"
      << "Installing onto the fresh machine " << options.machine_dir << "\n\n";

  StartArguments args;
  args.method = StartMethod::kStartupV2;
  args.download_location = server->base_url() + "/";
  args.bo_server = server->base_url() + "/bo";
  args.key_name = catalog.key_name;
  args.login = catalog.login;
  args.password = catalog.password;
  args.remote_address = "127.0.0.1";
  const int status = RunSession(options, args, out, err);
  server->Stop();

  PrintSummary(options.machine_dir, catalog, out);
  out << "Run finished with exit status " << status << ".\n";
  return status;
}

}  // namespace qv::host
