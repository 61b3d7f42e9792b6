// Test helpers: temporary folders, a fresh sandbox machine with its platform
// installed on the test's thread, and a user interface that records what the
// control shows and answers from a script.
#ifndef QV_TESTS_TEST_UTIL_H_
#define QV_TESTS_TEST_UTIL_H_

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sandbox/machine.h"
#include "platform/sandbox/sandbox_platform.h"
#include "platform/sandbox/sandbox_process.h"
#include "platform/sandbox/sandbox_registry.h"

namespace qv::testing {

// Whether this build runs under AddressSanitizer (memory figures and
// timings are then the sanitizer's, not the program's).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A new empty host folder below the system's temp folder.
std::string MakeTempDir(const std::string& prefix = "qvtest");
void RemoveTree(const std::string& host_path);
// Host file helpers.
std::string ReadHostFile(const std::string& host_path);
void WriteHostFile(const std::string& host_path, const std::string& contents);
bool HostExists(const std::string& host_path);
// The names in a host folder, sorted.
std::vector<std::string> HostNames(const std::string& host_path);
// Everything below a host folder by its path relative to the folder: each
// file with its contents, and with folders each folder as "<folder>".
std::map<std::string, std::string> HostTree(const std::string& host_path, bool folders = false);

// What SQLite's integrity check says of a database ("ok" when it is whole).
std::string IntegrityCheck(const std::string& db_path);

// The path of a PE fixture made by the build (tests/fixtures).
std::string FixturePath(const std::string& name);
// The qvinit and qvserver programs of this build.
std::string QvinitPath();
std::string QvserverPath();

// A loopback TCP port on which nothing listens (it was free a moment ago).
int FreeLoopbackPort();

// Registry helpers. The bytes of a value, or nullopt when the key or value
// is missing.
std::optional<std::string> RegValue(Registry& reg, RegHandle root, const std::string& key,
                                    const std::string& name, uint32_t* type = nullptr);
// Makes key (every level) and stores bytes under name; fails the test when
// it cannot.
void PutRegValue(Registry& reg, RegHandle root, const std::string& key, const std::string& name,
                 uint32_t type, const std::string& bytes);
bool RegKeyExists(Registry& reg, RegHandle root, const std::string& key);

// Runs a program with arguments (no shell), feeding stdin_text, and gives
// its exit status and what it printed.
struct CommandResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& stdin_text = "");
// The same, and *max_rss_mib is the program's peak resident memory (0 when
// it could not be read), as /usr/bin/time measures it: the program is
// started by that small process, so what this one holds does not count.
CommandResult RunCommandMeasured(const std::vector<std::string>& argv,
                                 const std::string& stdin_text, double* max_rss_mib);

// Records every call and answers message and input boxes from queues
// (kIdOk / "" when a queue is empty).
class RecordingUi : public UserInterface {
 public:
  struct Box {
    std::string text;
    int style = 0;
    std::string title;
    int answer = 0;
  };
  void ShowPanel(const Panel& panel) override;
  void PanelChanged(const Panel& panel, PanelChange change) override;
  void Repaint(const Panel& panel) override;
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& default_text) override;
  // Calls picker_script with the form (the user's actions), when set;
  // otherwise closes the window with its close box.
  void ShowFolderPicker(FolderPickerForm& form) override;

  std::function<void(FolderPickerForm&)> picker_script;
  int pickers_shown = 0;
  std::deque<int> box_answers;
  std::deque<std::string> input_answers;
  std::vector<Box> boxes;
  std::vector<std::string> input_prompts;
  std::vector<std::string> messages;  // lblMessage captions, in order
  std::vector<std::string> frames;    // frameStatus captions, in order
  // Every change named, with the panel as it was handed over.
  std::vector<std::pair<PanelChange, Panel>> changes;
  int repaints = 0;
  Panel repainted;  // as the last Repaint was handed it
  int shows = 0;
};

// Whether a test machine runs the programs that runs start. The tests'
// programs are their own scripts, so most run them; a test of what happens
// when they are not run says kRecord.
enum class Programs { kRun, kRecord };

// A fresh sandbox machine in a temporary folder whose platform is the
// current one of the calling thread while the object lives.
class TestMachine {
 public:
  explicit TestMachine(sandbox::Family family = sandbox::Family::kNt, bool admin = true,
                       Programs programs = Programs::kRun);
  ~TestMachine();

  Platform& platform() { return *sandbox_->platform(); }
  sandbox::Machine& machine() { return sandbox_->machine(); }
  EventLoop& loop() { return loop_; }
  RecordingUi& ui() { return ui_; }
  const std::string& root() const { return root_; }
  sandbox::SandboxRegistry& registry() {
    return *static_cast<sandbox::SandboxRegistry*>(platform().registry);
  }
  const std::vector<sandbox::LaunchRecord>& launches() {
    return static_cast<sandbox::SandboxProcessLauncher*>(platform().processes)->launches();
  }
  // A value of HKEY_LOCAL_MACHINE as stored, or nullopt (see RegValue).
  std::optional<std::string> Hklm(const std::string& key, const std::string& name) {
    return RegValue(*platform().registry, kHkeyLocalMachine, key, name);
  }

  // The host path that a Windows path of this machine maps to.
  std::string HostPath(const std::string& windows_path);
  // Writes or reads a file by its Windows path (folders are made).
  void WriteFile(const std::string& windows_path, const std::string& contents);
  std::string ReadFile(const std::string& windows_path);
  bool Exists(const std::string& windows_path);

  // Reopens the machine (as another process would see it).
  void Reopen();

 private:
  std::string root_;
  EventLoop loop_;
  RecordingUi ui_;
  std::unique_ptr<sandbox::SandboxPlatform> sandbox_;
  std::unique_ptr<ScopedPlatform> scope_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_TEST_UTIL_H_
