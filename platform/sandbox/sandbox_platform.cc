// SandboxPlatform: opens a machine root and makes its services; InitMachine
// makes a fresh machine.
#include "platform/sandbox/sandbox_platform.h"

#include "platform/curl/curl_data_space.h"
#include "platform/curl/curl_transfer.h"
#include "platform/data_space_protocol.h"

#include "platform/posix/iconv_text_codec.h"
#include "platform/sandbox/sandbox_expander.h"
#include "platform/sandbox/sandbox_file_system.h"
#include "platform/sandbox/sandbox_fonts.h"
#include "platform/sandbox/sandbox_process.h"
#include "platform/sandbox/sandbox_registry.h"
#include "platform/sandbox/sandbox_restart.h"
#include "platform/sandbox/sandbox_system_info.h"
#include "platform/sandbox/sandbox_version_info.h"

namespace qv::sandbox {

SandboxPlatform::~SandboxPlatform() = default;

Status SandboxPlatform::Open(const std::string& root, EventLoop* loop,
                             UserInterface* ui,
                             std::unique_ptr<SandboxPlatform>* result) {
  std::unique_ptr<SandboxPlatform> p(new SandboxPlatform());
  Status s = Machine::Open(root, &p->machine_);
  if (!s.ok()) return s;
  s = SandboxRegistry::Open(p->machine_.get(), /*create=*/false, &p->registry_);
  if (!s.ok()) return s;
  p->codec_ = std::make_unique<IconvTextCodec>(p->machine_->profile().ansi_code_page);
  p->files_ = std::make_unique<SandboxFileSystem>(p->machine_.get(), p->registry_.get());
  p->processes_ =
      std::make_unique<SandboxProcessLauncher>(p->machine_.get(), p->files_.get());
  p->system_ = std::make_unique<SandboxSystemInfo>(p->machine_.get());
  p->versions_ = std::make_unique<SandboxVersionInfo>(p->files_.get());
  p->restart_ = std::make_unique<SandboxRestart>(p->machine_.get());
  p->fonts_ = std::make_unique<SandboxFonts>(p->files_.get());

  Platform& platform = p->platform_;
  platform.registry = p->registry_.get();
  platform.files = p->files_.get();
  platform.processes = p->processes_.get();
  platform.system = p->system_.get();
  platform.versions = p->versions_.get();
  platform.codec = p->codec_.get();
  platform.loop = loop;
  platform.ui = ui;
  platform.restart = p->restart_.get();
  platform.fonts = p->fonts_.get();
  Machine* machine = p->machine_.get();
  FileSystem* files = p->files_.get();
  platform.new_expander = [machine, files]() -> std::unique_ptr<Expander> {
    return std::make_unique<SandboxExpander>(machine, files);
  };
  p->SetUpNetwork();
  *result = std::move(p);
  return Status::OK();
}

void SandboxPlatform::TrustAuthorities(const std::string& ca_file) {
  ca_file_ = ca_file;
  SetUpNetwork();
}

void SandboxPlatform::ReportTransferFailures(
    std::function<void(const std::string& url, const std::string& reason)> on_failure) {
  transfer_failures_ = std::move(on_failure);
  SetUpNetwork();
}

void SandboxPlatform::SetUpNetwork() {
  // The network is the host's own: the transfer component is the same on
  // every machine.
  EventLoop* loop = platform_.loop;
  if (loop != nullptr) {
    CurlTransferOptions transfer;
    transfer.ca_file = ca_file_;
    transfer.on_failure = transfer_failures_;
    platform_.new_transfer = [loop, transfer]() -> std::unique_ptr<Transfer> {
      return std::make_unique<CurlTransfer>(loop, transfer);
    };
  }
  CurlDataSpaceOptions data_space;
  data_space.ca_file = ca_file_;
  // The machine's Windows version, as the control would see it.
  OsVersionInfo version;
  version.os_version_info_size = 148;
  const bool known = system_ != nullptr && system_->GetVersionEx(&version);
  data_space.user_agent = DataSpaceUserAgent(known ? &version : nullptr);
  platform_.new_data_space = [data_space]() -> std::unique_ptr<DataSpace> {
    return std::make_unique<CurlDataSpace>(data_space);
  };
}

namespace {

// Writes a REG_SZ value as Windows itself stores one: with its terminating
// zero.
uint32_t SeedString(Registry& registry, const TextCodec& codec, const std::string& key,
                    const std::string& name, const std::string& data) {
  RegHandle handle = 0;
  uint32_t rc = registry.CreateKeyEx(kHkeyLocalMachine, key, 0, "", 0, kKeyAllAccess,
                                     &handle, nullptr);
  if (rc != 0) return rc;
  if (!name.empty() || !data.empty()) {
    std::string bytes = codec.ToAnsi(data);
    bytes.push_back('\0');
    rc = registry.SetValueEx(handle, codec.ToAnsi(name), 0, kRegSz,
                             reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<uint32_t>(bytes.size()));
  }
  registry.CloseKey(handle);
  return rc;
}

uint32_t SeedKey(Registry& registry, RegHandle root, const std::string& key) {
  RegHandle handle = 0;
  uint32_t rc = registry.CreateKeyEx(root, key, 0, "", 0, kKeyAllAccess, &handle, nullptr);
  if (rc == 0) registry.CloseKey(handle);
  return rc;
}

}  // namespace

Status InitMachine(const std::string& root, Family family, bool admin, bool run_programs) {
  // The machine is set up by its administrator; a restricted user's rights
  // are put in place once everything a fresh install has is there.
  std::unique_ptr<Machine> machine;
  Status s = Machine::Init(root, family, /*admin=*/true, &machine);
  if (!s.ok()) return s;
  std::unique_ptr<SandboxRegistry> registry;
  s = SandboxRegistry::Open(machine.get(), /*create=*/true, &registry);
  if (!s.ok()) return s;
  const MachineProfile& p = machine->profile();
  const TextCodec& codec = machine->codec();
  const bool nt = family == Family::kNt;
  const std::string cv = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  const std::string nt_cv = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  uint32_t rc = 0;
  auto seed = [&](uint32_t code) {
    if (rc == 0) rc = code;
  };
  seed(SeedString(*registry, codec, cv, "ProgramFilesDir", p.program_files_directory));
  seed(SeedString(*registry, codec, cv, "CommonFilesDir",
                  p.program_files_directory + "\\Common Files"));
  seed(SeedString(*registry, codec, cv, "SystemRoot", p.windows_directory));
  seed(SeedString(*registry, codec, cv, "Version", nt ? "Windows NT" : "Windows 98"));
  seed(SeedString(*registry, codec, cv, "VersionNumber", nt ? "5.1" : "4.10.2222"));
  seed(SeedKey(*registry, kHkeyLocalMachine, cv + "\\RunOnceEx"));
  seed(SeedKey(*registry, kHkeyLocalMachine, cv + "\\RunOnce"));
  seed(SeedKey(*registry, kHkeyLocalMachine, cv + "\\Run"));
  seed(SeedKey(*registry, kHkeyLocalMachine, cv + "\\Fonts"));
  seed(SeedKey(*registry, kHkeyLocalMachine, nt_cv + "\\Fonts"));
  if (nt) {
    seed(SeedString(*registry, codec, nt_cv, "CurrentVersion", "5.1"));
    seed(SeedString(*registry, codec, nt_cv, "SystemRoot", p.windows_directory));
    seed(SeedKey(*registry, kHkeyLocalMachine,
                 "SYSTEM\\CurrentControlSet\\Control\\Session Manager"));
  }
  for (const char* key : {"SOFTWARE\\Classes\\CLSID", "SOFTWARE\\Classes\\TypeLib",
                          "SOFTWARE\\Classes\\Interface"}) {
    seed(SeedKey(*registry, kHkeyLocalMachine, key));
  }
  for (const char* key : {"CLSID", "TypeLib", "Interface"}) {
    seed(SeedKey(*registry, kHkeyClassesRoot, key));
  }
  seed(SeedKey(*registry, kHkeyCurrentUser, "Software"));
  if (rc != 0) return Status::Error(rc, "cannot seed the registry of " + root);
  if (!admin || run_programs) {
    if (!admin) *machine->mutable_profile() = MachineProfile::Default(family, /*admin=*/false);
    machine->mutable_profile()->run_programs = run_programs;
    s = machine->SaveProfile();
    if (!s.ok()) return s;
  }
  return Status::OK();
}

}  // namespace qv::sandbox
