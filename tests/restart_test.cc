// The restart of the machine: the privilege steps and their reports, the
// restart request on both families, and the sandbox's token calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/sandbox/sandbox_restart.h"
#include "system/modShutdown.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using sandbox::Family;
using testing::TestMachine;

std::string Hex(uint32_t n) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", n);
  return text;
}
const char* Text(bool b) { return b ? "true" : "false"; }
std::string Process(Handle h) { return h == static_cast<Handle>(-1) ? "-1" : "?"; }

// Forwards to the machine's restart calls and writes down each call with its
// arguments and result. Can make OpenProcessToken fail with a given error.
class RecordingRestart : public Restart {
 public:
  explicit RecordingRestart(Restart* inner) : inner_(inner) {}

  void SetLastError(uint32_t error) override {
    calls.push_back("SetLastError(" + std::to_string(error) + ")");
    inner_->SetLastError(error);
  }
  uint32_t GetLastError() override {
    const uint32_t error = inner_->GetLastError();
    calls.push_back("GetLastError=" + std::to_string(error));
    return error;
  }
  Handle GetCurrentProcess() override {
    const Handle process = inner_->GetCurrentProcess();
    calls.push_back("GetCurrentProcess=" + Process(process));
    return process;
  }
  bool OpenProcessToken(Handle process, uint32_t access, Handle* token) override {
    if (fail_open_token) inner_->SetLastError(*fail_open_token);
    const bool ok = !fail_open_token && inner_->OpenProcessToken(process, access, token);
    calls.push_back("OpenProcessToken(" + Process(process) + ", " + Hex(access) + ")=" + Text(ok));
    return ok;
  }
  bool LookupPrivilegeValue(const std::string& system, const std::string& name,
                            Luid* luid) override {
    const bool ok = inner_->LookupPrivilegeValue(system, name, luid);
    calls.push_back("LookupPrivilegeValue(\"" + system + "\", " + name + ")=" + Text(ok));
    return ok;
  }
  bool AdjustTokenPrivileges(Handle token, bool disable_all, const TokenPrivileges& state,
                             uint32_t length, TokenPrivileges* previous,
                             uint32_t* return_length) override {
    const bool ok =
        inner_->AdjustTokenPrivileges(token, disable_all, state, length, previous, return_length);
    calls.push_back(std::string("AdjustTokenPrivileges(") + (token ? "token" : "0") + ", " +
                    Text(disable_all) + ", {" + std::to_string(state.privilege_count) + ", " +
                    Hex(state.luid.low_part) + ":" + std::to_string(state.luid.high_part) + ", " +
                    std::to_string(state.attributes) + "}, " + std::to_string(length) + ", " +
                    (previous && return_length ? "previous" : "null") + ")=" + Text(ok));
    return ok;
  }
  bool ExitWindowsEx(uint32_t flags, uint32_t reserved) override {
    const bool ok = inner_->ExitWindowsEx(flags, reserved);
    calls.push_back("ExitWindowsEx(" + std::to_string(flags) + ", " + Hex(reserved) +
                    ")=" + Text(ok));
    return ok;
  }

  std::vector<std::string> calls;
  std::optional<uint32_t> fail_open_token;

 private:
  Restart* inner_;
};

std::vector<std::string> PrivilegeSteps(const std::string& adjust_result) {
  return {
      "SetLastError(0)", "GetCurrentProcess=-1",
      "GetLastError=0",  "OpenProcessToken(-1, 0x28)=true",
      "GetLastError=0",  "LookupPrivilegeValue(\"\", SeShutdownPrivilege)=true",
      "GetLastError=0",  "AdjustTokenPrivileges(token, false, {1, 0x13:0, 2}, 16, previous)=true",
      adjust_result};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(RestartTest, RestartWindowsByFamilyAndPrivilege) {
  struct Case {
    const char* name;
    Family family;
    bool privilege;
    std::vector<std::string> calls;
    std::vector<std::string> boxes;
    bool recorded;
  };
  const std::string exit_ok = "ExitWindowsEx(2, 0xffffffff)=true";
  const std::vector<Case> cases = {
      {"9x", Family::k9x, false, {exit_ok}, {}, true},
      {"nt with the privilege",
       Family::kNt,
       true,
       Concat(PrivilegeSteps("GetLastError=0"), {exit_ok}),
       {},
       true},
      // The request is still made; the machine refuses it, as Windows would.
      {"nt without the privilege",
       Family::kNt,
       false,
       Concat(PrivilegeSteps("GetLastError=1300"),
              {"GetLastError=1300", "ExitWindowsEx(2, 0xffffffff)=false"}),
       {"AdjustTokenPrivileges error==1300"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m(c.family);
    m.machine().mutable_profile()->shutdown_privilege = c.privilege;
    RecordingRestart recording(m.platform().restart);
    m.platform().restart = &recording;

    RestartWindows();
    EXPECT_EQ(recording.calls, c.calls);
    std::vector<std::string> boxes;
    for (const testing::RecordingUi::Box& box : m.ui().boxes) {
      EXPECT_EQ(box.style, kMbOk);
      EXPECT_EQ(box.title, "");
      boxes.push_back(box.text);
    }
    EXPECT_EQ(boxes, c.boxes);
    const std::string request_path = m.root() + "/" + sandbox::kRestartRequestFile;
    ASSERT_EQ(testing::HostExists(request_path), c.recorded);
    if (c.recorded) {
      const nlohmann::json request = nlohmann::json::parse(testing::ReadHostFile(request_path));
      EXPECT_EQ(request["flags"], 2);
      EXPECT_EQ(request["forced"], false);
      EXPECT_TRUE(request["time"].is_string());
    }
  }
}

TEST(RestartTest, AFailedStepIsReportedAndTheNextStepsStillRun) {
  TestMachine m(Family::kNt);
  RecordingRestart recording(m.platform().restart);
  recording.fail_open_token = kErrorAccessDenied;
  m.platform().restart = &recording;

  RestartWindows();
  // The error is not cleared between steps, so the successful lookup shows
  // it again; the adjustment then runs with the zero token.
  std::vector<std::string> boxes;
  for (const testing::RecordingUi::Box& box : m.ui().boxes) boxes.push_back(box.text);
  EXPECT_EQ(boxes,
            (std::vector<std::string>{"OpenProcessToken error==5", "LookupPrivilegeValue error==5",
                                      "AdjustTokenPrivileges error==6"}));
  EXPECT_NE(std::find(recording.calls.begin(), recording.calls.end(),
                      "AdjustTokenPrivileges(0, false, {1, 0x13:0, 2}, 16, previous)=false"),
            recording.calls.end());
  EXPECT_EQ(recording.calls.back(), "ExitWindowsEx(2, 0xffffffff)=false");
}

TEST(RestartTest, SandboxTokenCallsFollowTheLastErrorRules) {
  TestMachine m(Family::kNt);
  Restart& restart = *m.platform().restart;
  Luid luid;
  EXPECT_FALSE(restart.LookupPrivilegeValue("", "SeBogusPrivilege", &luid));
  EXPECT_EQ(restart.GetLastError(), 1313u);
  // Success leaves the value as it was.
  restart.SetLastError(77);
  Handle token = 0;
  EXPECT_TRUE(restart.LookupPrivilegeValue("", "seshutdownprivilege", &luid));
  EXPECT_TRUE(restart.OpenProcessToken(restart.GetCurrentProcess(), 0x28, &token));
  EXPECT_EQ(restart.GetLastError(), 77u);

  // A restart asked for before the privilege is enabled is refused.
  EXPECT_FALSE(restart.ExitWindowsEx(kEwxReboot | kEwxForce, 0));
  EXPECT_EQ(restart.GetLastError(), static_cast<uint32_t>(kErrorPrivilegeNotHeld));
  const TokenPrivileges request{1, luid, kSePrivilegeEnabled};
  TokenPrivileges previous;
  uint32_t length = 0;
  EXPECT_FALSE(restart.AdjustTokenPrivileges(0, false, request, 16, &previous, &length));
  EXPECT_EQ(restart.GetLastError(), static_cast<uint32_t>(kErrorInvalidHandle));
  EXPECT_TRUE(restart.AdjustTokenPrivileges(token, false, request, 16, &previous, &length));
  EXPECT_EQ(restart.GetLastError(), 0u);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(previous.privilege_count, 1u);
  EXPECT_EQ(previous.attributes, 0u);  // it was disabled before
  EXPECT_TRUE(restart.ExitWindowsEx(kEwxReboot | kEwxForce, 0));
  const nlohmann::json recorded =
      nlohmann::json::parse(testing::ReadHostFile(m.root() + "/" + sandbox::kRestartRequestFile));
  EXPECT_EQ(recorded["flags"], 2);
  EXPECT_EQ(recorded["forced"], true);
}

}  // namespace
}  // namespace qv
