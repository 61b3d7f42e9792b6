// Whole runs of the install engine: a control on a sandbox machine fetches
// with the real HTTP transfer from a file server on 127.0.0.1, shows what it
// does through the headless interface, and leaves files, registry values,
// events and message boxes that are checked one by one. The members are set
// and the timer enabled as a start-up leaves them; the loop then runs until
// the control is idle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "control/ctlInit_V3.h"
#include "install/modInstall.h"
#include "installlist/install_list.h"
#include "platform/headless/headless_ui.h"
#include "platform/recordset.h"
#include "platform/sandbox/boot.h"
#include "platform/sandbox/reg_tool.h"
#include "platform/sandbox/sandbox_file_system.h"
#include "platform/sandbox/sandbox_fonts.h"
#include "platform/sandbox/sandbox_process.h"
#include "platform/sandbox/sandbox_registry.h"
#include "platform/sandbox/sandbox_restart.h"
#include "server/cab_pack.h"
#include "state/module_state.h"
#include "system/modRegistry.h"
#include "tests/engine_fixture.h"
#include "tests/local_http.h"
#include "tests/test_util.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using testing::FixturePath;
using testing::MissingFileText;
using testing::ReadHostFile;
using testing::TestMachine;
using testing::WriteHostFile;

constexpr char kRunOnceExKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx";
constexpr char kFontsKeyNt[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
constexpr char kServerUrl[] = "http://127.0.0.1/bo";
constexpr char kLoginId[] = "LID7";

// Serves the files below a host folder by GET, with Content-Length, and 404
// for a file that is not there. Keeps the paths asked for, in order.
class FileServer {
 public:
  explicit FileServer(const std::string& root) {
    EXPECT_TRUE(http_.server.set_mount_point("/", root));
    http_.server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard<std::mutex> lock(mutex_);
      paths_.push_back(req.path);
      return httplib::Server::HandlerResponse::Unhandled;
    });
    http_.Start();
  }
  std::string Url(const std::string& path) const { return http_.Url(path); }
  // The paths asked for since the last call.
  std::vector<std::string> TakePaths() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(paths_, {});
  }

 private:
  testing::LocalHttp http_;
  std::mutex mutex_;
  std::vector<std::string> paths_;
};

// Holds a shared lock on a host file, as a program that uses the file does.
class HeldFile {
 public:
  explicit HeldFile(const std::string& host_path)
      : fd_(::open(host_path.c_str(), O_RDONLY | O_CLOEXEC)) {
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(::flock(fd_, LOCK_SH), 0);
  }
  ~HeldFile() { Release(); }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// One control on the current machine, shown through a headless interface,
// with the members a start-up sets and the module values it resets.
class Session {
 public:
  Session(TestMachine& m, const std::string& download_location, bool answer_yes = false)
      : m_(m), ui_(out_, Options(answer_yes)), previous_ui_(m.platform().ui) {
    m.platform().ui = &ui_;
    InitFolders();
    gbRebootNeeded = false;
    gbHasInstallRights = HasInstallRights();
    control_ = std::make_unique<ctlInit_V3>();
    control_->SubscribeAll([this](ControlEvent e) { events_.push_back(ControlEventName(e)); });
    control_->msDownloadLocation = download_location;
    control_->msServerURL = kServerUrl;
    control_->msLoginID = kLoginId;
  }
  ~Session() {
    control_.reset();  // its transfer closes the kept-alive connection
    m_.platform().ui = previous_ui_;
  }

  ctlInit_V3& control() { return *control_; }

  static HeadlessUiOptions Options(bool answer_yes) {
    HeadlessUiOptions options;
    options.answer_yes = answer_yes;
    return options;
  }

  // Hands the list to the run, enables the timer and runs until idle.
  void Run(const std::vector<InstallRecord>& records) {
    auto list = std::make_unique<Recordset>(NewInstallList());
    for (const InstallRecord& r : records) ASSERT_TRUE(AppendInstallRecord(list.get(), r).ok());
    control_->mrsInstallList = std::move(list);
    control_->BeginRun();
    control_->tmrComInstall->SetEnabled(true);
    EXPECT_TRUE(m_.loop().RunUntilIdle());
  }

  const std::vector<std::string>& events() const { return events_; }
  // The message boxes shown: {style, title, text, answer}.
  std::vector<nlohmann::json> Boxes() const { return Records("msgbox"); }
  std::vector<std::string> Frames() const {
    std::vector<std::string> frames;
    for (const nlohmann::json& f : Records("frame")) frames.push_back(f.get<std::string>());
    return frames;
  }

 private:
  std::vector<nlohmann::json> Records(const char* kind) const {
    std::vector<nlohmann::json> found;
    for (const nlohmann::json& r : ui_.records()) {
      if (r.contains(kind)) found.push_back(r[kind]);
    }
    return found;
  }

  TestMachine& m_;
  std::ostringstream out_;
  HeadlessUi ui_;
  UserInterface* previous_ui_;
  std::unique_ptr<ctlInit_V3> control_;
  std::vector<std::string> events_;
};

nlohmann::json Box(int style, const std::string& title, const std::string& text, int answer) {
  return {{"style", style}, {"title", title}, {"text", text}, {"answer", answer}};
}

constexpr char kRestartQuestion[] =
    "This installation requires a system reboot.\r"
    "Do you wish to have the system automatically reboot now?";

// Every file of drive C but those below skip: relative host path ->
// contents.
std::map<std::string, std::string> DriveFiles(TestMachine& m, const std::string& skip) {
  std::map<std::string, std::string> files = testing::HostTree(m.HostPath("C:\\"));
  std::erase_if(files, [&](const auto& file) { return file.first.rfind(skip, 0) == 0; });
  return files;
}

std::string RegistryText(TestMachine& m) {
  sandbox::SandboxRegistry& registry =
      *static_cast<sandbox::SandboxRegistry*>(m.platform().registry);
  std::string text;
  EXPECT_TRUE(sandbox::RegExport(registry, m.machine().codec(), std::nullopt, &text).ok());
  return text;
}

InstallRecord Record(const std::string& name, int16_t type, const std::string& version,
                     const std::string& location) {
  InstallRecord r = testing::FileRecord(name, version, location);
  r.install_type = type;
  return r;
}

// A file server over a folder holding one file of every kind a list has,
// and the list that names them.
class EngineE2eTest : public ::testing::Test {
 protected:
  EngineE2eTest() : www_(testing::MakeTempDir("qve2e")), server_(www_) {
    Publish("current.dll", ReadHostFile(FixturePath("v6_0_81_69_x64.dll")));
    Publish("older.dll", ReadHostFile(FixturePath("v40000_1_2_3_x64.dll")));
    // The archive holds the file under its own name.
    const std::string staging = www_ + "/staging";
    WriteHostFile(staging + "/packed.dll", Packed());
    const Status packed = server::PackFile(staging + "/packed.dll", www_ + "/files/packed.dll.cmp");
    EXPECT_TRUE(packed.ok()) << packed.ToString();
    Publish("quill.ttf", "glyphs");
    Publish("setup.exe", "#!/bin/sh\nexit 0\n");
    // A runtime package: records what it installs in a version side file
    // beside the library it stands for, and asks for a restart.
    Publish("vbrun60sp5.exe", std::string("#!/bin/sh\nprintf '6.0.97.82\\r\\n' > \"$QV_MACHINE/") +
                                  kRuntimeSideFile + "\"\nprintf 3010 > \"$QV_EXIT_CODE_FILE\"\n");
    Publish("busy.dll", ReadHostFile(FixturePath("big_v7_1_2_3_x64.dll")));
    Publish("data.bin", "data");
    Publish("client.exe", "#!/bin/sh\nexit 0\n");
    Publish("installs/setup.html", "<html>setup</html>");
    Publish("installs/QV_InitLocal_V3.CAB", "cabinet");
  }
  ~EngineE2eTest() override { testing::RemoveTree(www_); }

  static std::string Packed() {
    return ReadHostFile(FixturePath("v65535_65535_65535_65535_x86.dll"));
  }
  void Publish(const std::string& path, const std::string& contents) {
    WriteHostFile(www_ + "/" + (path.rfind("installs/", 0) == 0 ? path : "files/" + path),
                  contents);
  }
  std::string Base() const { return server_.Url("/files/"); }

  // current, older, missing, compressed, font, started installer, runtime
  // package, file in use (type 1), versioned file, launch record.
  static std::vector<InstallRecord> MixedList() {
    InstallRecord packed = Record("packed.dll", itReplace, "65535.65535.65535.65535", "COMMONDIR");
    packed.download_location = "packed.dll.cmp";
    packed.is_compressed = true;
    InstallRecord runtime = Record("vbrun60sp5.exe", itRunPackage, "6.0.97.82", "TEMPDIR");
    runtime.alt_check = "<SYSTEMDIR>\\msvbvm60.dll";
    InstallRecord launch = Record("client.exe", itReplace, "3.0.0.0", "CLIENTDIR");
    launch.sequence_id = 9999;
    return {Record("current.dll", itReplace, "6.0.81.69", "CLIENTDIR"),
            Record("older.dll", itReplace, "40000.1.2.3", "CLIENTDIR"),
            Record("missing.dll", itReplace, "1.0.0.0", "CLIENTDIR"),
            packed,
            Record("quill.ttf", itReplace, "1.0", "FONTSDIR"),
            Record("setup.exe", itRun, "1.0.0.0", "CLIENTDIR"),
            runtime,
            Record("busy.dll", itReplaceRegister, "7.1.2.3", "CLIENTDIR"),
            Record("data.bin", itReplaceVersioned, "2.1.0.7", "QUILLMARKDIR"),
            launch};
  }

  // Where the runtime package records its version, below the machine root.
  static constexpr char kRuntimeSideFile[] = "drive_c/Windows/System32/msvbvm60.dll.ver";

  std::string www_;
  FileServer server_;
};

TEST_F(EngineE2eTest, OnlineRunRestartAndNextRun) {
  TestMachine m;
  InitFolders();
  const std::string client = gsDirClient + "\\";
  m.WriteFile(client + "current.dll", ReadHostFile(FixturePath("v6_0_81_69_x64.dll")));
  m.WriteFile(client + "older.dll", ReadHostFile(FixturePath("v6_0_81_69_x86.dll")));
  const std::string old_busy = ReadHostFile(FixturePath("v6_0_81_69_x64.dll"));
  m.WriteFile(client + "busy.dll", old_busy);
  const std::string busy = client + "busy.dll";
  // Read-only too: the placement leaves it normal, or the next start could
  // not replace it.
  ASSERT_TRUE(m.platform().files->SetFileAttributes(busy, kFileAttributeReadOnly).ok());
  const std::string staged_busy = gsDirTemp + "\\busy.dll";
  HeldFile held(m.HostPath(busy));

  {
    Session s(m, Base(), /*answer_yes=*/true);
    s.Run(MixedList());

    std::vector<std::string> fetched;
    for (const char* name : {"older.dll", "missing.dll", "packed.dll.cmp", "quill.ttf", "setup.exe",
                             "vbrun60sp5.exe", "busy.dll", "data.bin", "client.exe"}) {
      fetched.push_back(std::string("/files/") + name);
    }
    EXPECT_EQ(server_.TakePaths(), fetched);

    // File by file.
    EXPECT_EQ(m.ReadFile(client + "current.dll"), ReadHostFile(FixturePath("v6_0_81_69_x64.dll")));
    EXPECT_EQ(m.ReadFile(client + "older.dll"), ReadHostFile(FixturePath("v40000_1_2_3_x64.dll")));
    EXPECT_EQ(GetFileVersionString(client + "older.dll"), "40000.1.2.3");
    EXPECT_FALSE(m.Exists(client + "missing.dll"));
    EXPECT_EQ(m.ReadFile(gsDirCommon + "\\packed.dll"), Packed());
    EXPECT_FALSE(m.Exists(gsDirTemp + "\\packed.dll.cmp"));
    EXPECT_EQ(m.ReadFile(gsDirFonts + "\\quill.ttf"), "glyphs");
    EXPECT_EQ(m.ReadFile(busy), old_busy) << "in use: replaced at the next start";
    EXPECT_EQ(m.ReadFile(staged_busy), ReadHostFile(FixturePath("big_v7_1_2_3_x64.dll")));
    EXPECT_EQ(m.ReadFile(gsDirQuillmark + "\\data.bin"), "data");
    EXPECT_EQ(m.ReadFile(gsDirQuillmark + "\\data.bin.ver"), "2.1.0.7\r\n");
    EXPECT_EQ(GetFileVersionString(gsDirSystem + "\\msvbvm60.dll"), "6.0.97.82");
    EXPECT_EQ(m.ReadFile(client + "client.exe"), "#!/bin/sh\nexit 0\n")
        << "with a restart pending the launch record is installed, not started";

    // Registry value by registry value.
    EXPECT_EQ(m.Hklm(kFontsKeyNt, "Quillmark Font quill.ttf"), "quill.ttf");
    EXPECT_EQ(m.Hklm(kRunOnceExKey, "QV" + busy), busy + "|DllRegisterServer");
    EXPECT_EQ(m.Hklm(sandbox::kSessionManagerKey, sandbox::kPendingRenamesValue),
              "\\??\\" + staged_busy + '\0' + "!\\??\\" + busy + '\0' + '\0');

    // Programs, font announcements, events, boxes, the panel.
    const auto& launches = m.launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].program, gsDirTemp + "\\setup.exe");
    EXPECT_EQ(launches[0].style, WindowStyle::kMinimizedFocus);
    EXPECT_EQ(launches[1].command_line, "\"" + gsDirTemp + "\\vbrun60sp5.exe\" /Q");
    auto* fonts = static_cast<sandbox::SandboxFonts*>(m.platform().fonts);
    EXPECT_EQ(fonts->loaded(), std::vector<std::string>{gsDirFonts + "\\quill.ttf"});
    EXPECT_EQ(fonts->broadcasts(), 1);
    EXPECT_EQ(s.events(), (std::vector<std::string>{"Done", "Reboot"}));
    EXPECT_EQ(s.Boxes(),
              (std::vector<nlohmann::json>{Box(0, "", MissingFileText(Base() + "missing.dll"), 1),
                                           Box(52, "", kRestartQuestion, 6)}));
    std::vector<std::string> frames = {"Processing..."};
    for (const InstallRecord& r : MixedList()) {
      if (r.file_name != "current.dll")
        frames.push_back("Downloading and Installing: " + r.description);
    }
    frames.push_back("");
    EXPECT_EQ(s.Frames(), frames);
    EXPECT_EQ(s.control().panel().lblMessage.caption, "Initialization complete.");
    EXPECT_TRUE(testing::HostExists(m.root() + "/" + sandbox::kRestartRequestFile));
  }

  // The next start of the machine puts the file in use in place and
  // registers it.
  held.Release();
  {
    std::unique_ptr<sandbox::SandboxPlatform> boot_platform;
    ASSERT_TRUE(sandbox::SandboxPlatform::Open(m.root(), nullptr, nullptr, &boot_platform).ok());
    sandbox::BootReport report;
    ASSERT_TRUE(sandbox::BootMachine(boot_platform.get(), &report).ok());
    EXPECT_TRUE(report.restart_requested);
    EXPECT_EQ(report.renames.size(), 1u);
    EXPECT_EQ(report.run_once.size(), 1u);
    EXPECT_TRUE(report.problems.empty());
  }
  m.Reopen();
  EXPECT_EQ(m.ReadFile(busy), ReadHostFile(FixturePath("big_v7_1_2_3_x64.dll")));
  EXPECT_EQ(m.Hklm(sandbox::kSessionManagerKey, sandbox::kPendingRenamesValue), std::nullopt);
  EXPECT_EQ(m.Hklm(kRunOnceExKey, "QV" + busy), std::nullopt);

  // The next run finds everything current but what has no installed
  // version: the started installer, and the file the server lacks. With no
  // restart pending the launch record's program starts.
  Session s(m, Base());
  s.Run(MixedList());
  EXPECT_EQ(server_.TakePaths(),
            (std::vector<std::string>{"/files/missing.dll", "/files/setup.exe"}));
  EXPECT_EQ(s.events(), (std::vector<std::string>{"Done", "Done"}));
  EXPECT_EQ(s.Boxes(),
            std::vector<nlohmann::json>{Box(0, "", MissingFileText(Base() + "missing.dll"), 1)});
  const auto& launches = m.launches();
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launches[0].program, gsDirTemp + "\\setup.exe");
  EXPECT_EQ(launches[1].command_line,
            "\"" + client + "client.exe\" " + kServerUrl + " " + kLoginId);
  EXPECT_EQ(launches[1].style, WindowStyle::kNormalFocus);
}

TEST_F(EngineE2eTest, CopiedFolderInstallsLikeTheServerOnAFreshMachine) {
  TestMachine a;
  std::map<std::string, std::string> installed_online;
  std::string registry_online;
  {
    // Copy-only: the setup page, the local cabinet, then every listed file,
    // none of them installed.
    Session copy(a, Base());
    ASSERT_TRUE(a.platform().files->CreateDirectory("C:\\Copy").ok());
    gsCopyFolder = "C:\\Copy\\";
    copy.control().mbCopyOnly = true;
    copy.control().SetPreludeServer(server_.Url(""));
    copy.Run(MixedList());

    std::vector<std::string> fetched = {"/installs/setup.html", "/installs/QV_InitLocal_V3.CAB"};
    for (const InstallRecord& r : MixedList()) fetched.push_back("/files/" + r.download_location);
    EXPECT_EQ(server_.TakePaths(), fetched);
    EXPECT_EQ(a.ReadFile("C:\\Copy\\setup.html"), "<html>setup</html>");
    EXPECT_EQ(a.ReadFile("C:\\Copy\\QV_Init_V3.CAB"), "cabinet");
    for (const InstallRecord& r : MixedList()) {
      if (r.file_name == "missing.dll") continue;
      EXPECT_EQ(a.ReadFile("C:\\Copy\\" + r.download_location),
                ReadHostFile(www_ + "/files/" + r.download_location))
          << r.download_location;
      EXPECT_FALSE(a.Exists(gsDirClient + "\\" + r.file_name)) << r.file_name;
    }
    EXPECT_FALSE(a.Exists("C:\\Copy\\missing.dll"));
    EXPECT_TRUE(a.launches().empty());
    EXPECT_EQ(copy.events(), std::vector<std::string>{"Done"});
    EXPECT_EQ(copy.Boxes(),
              std::vector<nlohmann::json>{Box(0, "", MissingFileText(Base() + "missing.dll"), 1)});
  }
  {
    // The same machine installs from the server.
    Session online(a, Base());
    online.Run(MixedList());
    std::vector<std::string> fetched;
    for (const InstallRecord& r : MixedList()) fetched.push_back("/files/" + r.download_location);
    EXPECT_EQ(server_.TakePaths(), fetched) << "nothing is installed yet";
    EXPECT_EQ(online.events(), (std::vector<std::string>{"Done", "Done"}));
    installed_online = DriveFiles(a, "Copy");
    registry_online = RegistryText(a);
  }

  // A fresh machine installs from the copied folder.
  TestMachine b;
  fs::copy(a.HostPath("C:\\Copy"), b.HostPath("C:\\") + "/Copy", fs::copy_options::recursive);
  Session local(b, "C:\\Copy\\");
  local.control().mbLocalMode = true;
  local.Run(MixedList());
  EXPECT_TRUE(server_.TakePaths().empty());
  EXPECT_EQ(local.events(), (std::vector<std::string>{"Done", "Done"}));
  EXPECT_EQ(local.Boxes(),
            (std::vector<nlohmann::json>{Box(0, "", MissingFileText("C:\\Copy\\missing.dll"), 1),
                                         Box(52, "", kRestartQuestion, 7)}));
  EXPECT_FALSE(testing::HostExists(b.root() + "/" + sandbox::kRestartRequestFile))
      << "the restart question was answered no";
  EXPECT_EQ(b.ReadFile(gsDirCommon + "\\packed.dll"), Packed());
  EXPECT_EQ(b.Hklm(kFontsKeyNt, "Quillmark Font quill.ttf"), "quill.ttf");
  EXPECT_EQ(DriveFiles(b, "Copy"), installed_online);
  EXPECT_EQ(RegistryText(b), registry_online);
}

}  // namespace
}  // namespace qv
