// Test helpers.
#include "tests/test_util.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qv::testing {

namespace fs = std::filesystem;

std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot make a temporary folder";
    return "";
  }
  return made;
}

void RemoveTree(const std::string& host_path) {
  std::error_code ec;
  // Make everything removable first (tests may drop write bits).
  if (fs::exists(host_path, ec)) {
    for (auto it = fs::recursive_directory_iterator(host_path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(host_path, ec);
}

std::string ReadHostFile(const std::string& host_path) {
  std::ifstream in(host_path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteHostFile(const std::string& host_path, const std::string& contents) {
  std::error_code ec;
  fs::create_directories(fs::path(host_path).parent_path(), ec);
  std::ofstream out(host_path, std::ios::binary | std::ios::trunc);
  out << contents;
}

bool HostExists(const std::string& host_path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(host_path, ec));
}

std::vector<std::string> HostNames(const std::string& host_path) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(host_path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> HostTree(const std::string& host_path, bool folders) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(host_path)) {
    const std::string name = fs::relative(entry.path(), host_path).string();
    if (entry.is_regular_file()) {
      tree[name] = ReadHostFile(entry.path().string());
    } else if (folders && entry.is_directory()) {
      tree[name] = "<folder>";
    }
  }
  return tree;
}

std::string IntegrityCheck(const std::string& db_path) {
  sqlite3* handle = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(db_path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(handle);
  return result;
}

std::string FixturePath(const std::string& name) {
  return std::string(QV_FIXTURES_DIR) + "/" + name;
}

std::string QvinitPath() { return QV_QVINIT_PATH; }
std::string QvserverPath() { return QV_QVSERVER_PATH; }

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

std::optional<std::string> RegValue(Registry& reg, RegHandle root, const std::string& key,
                                    const std::string& name, uint32_t* type) {
  RegHandle handle = 0;
  if (reg.OpenKeyEx(root, key, 0, kKeyQueryValue, &handle) != 0) return std::nullopt;
  uint32_t size = 0;
  std::optional<std::string> value;
  if (reg.QueryValueEx(handle, name, nullptr, type, nullptr, &size) == 0) {
    std::string data(size, '\0');
    if (reg.QueryValueEx(handle, name, nullptr, type, reinterpret_cast<uint8_t*>(data.data()),
                         &size) == 0) {
      value = data.substr(0, size);
    }
  }
  reg.CloseKey(handle);
  return value;
}

void PutRegValue(Registry& reg, RegHandle root, const std::string& key, const std::string& name,
                 uint32_t type, const std::string& bytes) {
  RegHandle handle = 0;
  ASSERT_EQ(reg.CreateKeyEx(root, key, 0, "", 0, kKeyAllAccess, &handle, nullptr), 0u) << key;
  EXPECT_EQ(reg.SetValueEx(handle, name, 0, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                           static_cast<uint32_t>(bytes.size())),
            0u)
      << name;
  reg.CloseKey(handle);
}

bool RegKeyExists(Registry& reg, RegHandle root, const std::string& key) {
  RegHandle handle = 0;
  if (reg.OpenKeyEx(root, key, 0, kKeyRead, &handle) != 0) return false;
  reg.CloseKey(handle);
  return true;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& stdin_text) {
  CommandResult result;
  const std::string dir = MakeTempDir("qvcmd");
  const std::string in = dir + "/in", out = dir + "/out", err = dir + "/err";
  WriteHostFile(in, stdin_text);
  std::string command;
  for (const std::string& arg : argv) {
    std::string quoted = "'";
    for (char c : arg) {
      if (c == '\'') {
        quoted += "'\\''";
      } else {
        quoted += c;
      }
    }
    command += quoted + "' ";
  }
  command += "<'" + in + "' >'" + out + "' 2>'" + err + "'";
  const int status = std::system(command.c_str());
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadHostFile(out);
  result.err = ReadHostFile(err);
  RemoveTree(dir);
  return result;
}

CommandResult RunCommandMeasured(const std::vector<std::string>& argv,
                                 const std::string& stdin_text, double* max_rss_mib) {
  // GNU time reads the figure of its own child, which it starts small.
  const std::string dir = MakeTempDir("qvrss");
  std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", dir + "/rss"};
  timed.insert(timed.end(), argv.begin(), argv.end());
  CommandResult result = RunCommand(timed, stdin_text);
  // The figure (KiB) is the last line, after any word on the exit status.
  std::string figure = ReadHostFile(dir + "/rss");
  while (!figure.empty() && figure.back() == '\n') figure.pop_back();
  *max_rss_mib = std::atof(figure.c_str() + figure.find_last_of('\n') + 1) / 1024.0;
  RemoveTree(dir);
  return result;
}

void RecordingUi::ShowPanel(const Panel&) { ++shows; }

void RecordingUi::PanelChanged(const Panel& panel, PanelChange change) {
  changes.emplace_back(change, panel);
  if (change == PanelChange::kMessage) messages.push_back(panel.lblMessage.caption);
  if (change == PanelChange::kFrame) frames.push_back(panel.frameStatus.caption);
}

void RecordingUi::Repaint(const Panel& panel) {
  ++repaints;
  repainted = panel;
}

int RecordingUi::MessageBox(const std::string& text, int style, const std::string& title) {
  int answer = kIdOk;
  if (!box_answers.empty()) {
    answer = box_answers.front();
    box_answers.pop_front();
  }
  boxes.push_back(Box{text, style, title, answer});
  return answer;
}

std::string RecordingUi::InputBox(const std::string& prompt, const std::string&,
                                  const std::string&) {
  input_prompts.push_back(prompt);
  if (input_answers.empty()) return "";
  std::string answer = input_answers.front();
  input_answers.pop_front();
  return answer;
}

void RecordingUi::ShowFolderPicker(FolderPickerForm& form) {
  ++pickers_shown;
  if (picker_script) picker_script(form);
}

TestMachine::TestMachine(sandbox::Family family, bool admin, Programs programs) {
  root_ = MakeTempDir("qvmachine") + "/machine";
  Status s = sandbox::InitMachine(root_, family, admin, programs == Programs::kRun);
  if (!s.ok()) {
    ADD_FAILURE() << "cannot make a machine: " << s.ToString();
    std::abort();
  }
  Reopen();
}

TestMachine::~TestMachine() {
  scope_.reset();
  sandbox_.reset();
  RemoveTree(fs::path(root_).parent_path().string());
}

void TestMachine::Reopen() {
  scope_.reset();
  sandbox_.reset();
  Status s = sandbox::SandboxPlatform::Open(root_, &loop_, &ui_, &sandbox_);
  if (!s.ok()) {
    ADD_FAILURE() << "cannot open the machine: " << s.ToString();
    std::abort();
  }
  scope_ = std::make_unique<ScopedPlatform>(sandbox_->platform());
}

std::string TestMachine::HostPath(const std::string& windows_path) {
  sandbox::HostLocation loc;
  Status s = machine().Locate(windows_path, &loc);
  EXPECT_TRUE(s.ok()) << s.ToString();
  return loc.host_path;
}

void TestMachine::WriteFile(const std::string& windows_path, const std::string& contents) {
  WriteHostFile(HostPath(windows_path), contents);
}

std::string TestMachine::ReadFile(const std::string& windows_path) {
  return ReadHostFile(HostPath(windows_path));
}

bool TestMachine::Exists(const std::string& windows_path) {
  sandbox::HostLocation loc;
  return machine().Locate(windows_path, &loc).ok() && loc.exists;
}

}  // namespace qv::testing
