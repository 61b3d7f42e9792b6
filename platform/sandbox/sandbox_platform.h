// SandboxPlatform: every platform service of one sandbox machine.
//
// Opens the machine root, makes the registry, file system, process launcher,
// system queries, version reader and text codec of that machine, and fills a
// Platform with them together with the event loop and user interface that
// the host brings.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_PLATFORM_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_PLATFORM_H_

#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/sandbox/machine.h"

namespace qv::sandbox {

class SandboxRegistry;
class SandboxFileSystem;
class SandboxProcessLauncher;
class SandboxSystemInfo;
class SandboxVersionInfo;
class SandboxRestart;
class SandboxFonts;

class SandboxPlatform {
 public:
  ~SandboxPlatform();

  // loop and ui may be null when the caller needs neither (machine tools).
  static Status Open(const std::string& root, EventLoop* loop,
                     UserInterface* ui,
                     std::unique_ptr<SandboxPlatform>* result);

  // Makes the transfers and data spaces made from now on check https://
  // servers against the certificate authorities of ca_file (PEM) instead of
  // the system's bundle; "" goes back to the system's.
  void TrustAuthorities(const std::string& ca_file);
  // Tells the transfers made from now on whom to tell why a request failed
  // (see CurlTransferOptions::on_failure; called on a transfer's thread).
  void ReportTransferFailures(
      std::function<void(const std::string& url, const std::string& reason)> on_failure);

  Platform* platform() { return &platform_; }
  Machine& machine() { return *machine_; }
  SandboxRegistry* registry() { return registry_.get(); }
  SandboxFileSystem* files() { return files_.get(); }
  SandboxProcessLauncher* processes() { return processes_.get(); }
  SandboxFonts* fonts() { return fonts_.get(); }

 private:
  SandboxPlatform() = default;
  // The network services, the host's own whatever the machine.
  void SetUpNetwork();

  std::unique_ptr<Machine> machine_;
  std::unique_ptr<TextCodec> codec_;
  std::unique_ptr<SandboxRegistry> registry_;
  std::unique_ptr<SandboxFileSystem> files_;
  std::unique_ptr<SandboxProcessLauncher> processes_;
  std::unique_ptr<SandboxSystemInfo> system_;
  std::unique_ptr<SandboxVersionInfo> versions_;
  std::unique_ptr<SandboxRestart> restart_;
  std::unique_ptr<SandboxFonts> fonts_;
  std::string ca_file_;
  std::function<void(const std::string&, const std::string&)> transfer_failures_;
  Platform platform_;
};

// Makes a fresh machine in root: profile, folders and a registry seeded as a
// fresh Windows install has it. run_programs: whether the programs that
// runs start are run on the host (see SandboxProcessLauncher); only for
// catalogs that are trusted.
Status InitMachine(const std::string& root, Family family, bool admin, bool run_programs);

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_PLATFORM_H_
