// The install list (its required fields, a record read the way the run
// reads it) and the install run: ticks over the list in the online, local and
// copy-only modes, its end (Done; the restart question is EngineE2eTest's),
// the rights halt, the developer skip, launch records, where the installed
// version comes from, records it refuses, and runs that a host's own message
// loop drives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "installlist/install_list.h"
#include "system/modRegistry.h"
#include "tests/engine_fixture.h"
#include "tests/host_loop.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::FakeTransfer;
using testing::FileRecord;
using ::testing::HasSubstr;
using testing::MissingFileText;

TEST(InstallListTest, RequiredFieldsAreChecked) {
  EXPECT_TRUE(ValidateInstallList(NewInstallList()).ok());
  const std::vector<std::string> required = {"SequenceID", "FileName", "DownloadLocation",
                                             "InstallType", "FileVersion"};
  for (const std::string& missing : required) {
    Recordset list;  // the other fields, spelt in lower case
    for (std::string name : required) {
      if (name == missing) continue;
      for (char& c : name) c = static_cast<char>(std::tolower(c));
      list.AddField(name, FieldType::kString);
    }
    EXPECT_THAT(ValidateInstallList(list).message(), HasSubstr(missing));
  }
}

TEST(InstallListTest, ReadsTheCurrentRecordAsTheRunDoes) {
  Recordset list;
  ASSERT_TRUE(list.ParseJson(R"({"format": "qv-installlist", "version": 1,
    "fields": [{"name": "SequenceID", "type": "number"},
               {"name": "FileName", "type": "string"},
               {"name": "DownloadLocation", "type": "string"},
               {"name": "InstallType", "type": "number"},
               {"name": "FileVersion", "type": "string"},
               {"name": "AltCheck", "type": "string"},
               {"name": "AltCheckRegValue", "type": "string"},
               {"name": "IsQVObject", "type": "integer"},
               {"name": "isCompressed", "type": "integer"}],
    "records": [
      [null, "a.dll", "a.cmp", 2.5, "  1.2.3  ", "<SYSTEMDIR>\\a.dll", "  ", 0, -1],
      [9999, "client.exe", "client.exe", 3, "2", "SOFTWARE\\X", "Version", 5, 0],
      [9998.5, "b.ttf", "b.ttf", 3.5, "1", null, null, null, null],
      [1, null, "c", 40000, "1", null, null, null, null]
    ]})")
                  .ok());

  InstallRecord r;
  ASSERT_TRUE(ReadInstallRecord(list, &r).ok());
  EXPECT_FALSE(r.IsLaunchRecord());  // an empty SequenceID is below 9999
  EXPECT_EQ(r.install_type, 2);
  EXPECT_EQ(r.file_version, "1.2.3");
  EXPECT_TRUE(r.HasFileCheck());
  EXPECT_FALSE(r.HasRegistryCheck());  // a blank value name is not used
  EXPECT_EQ(r.install_location, "");   // the list has no such field
  EXPECT_FALSE(r.is_qv_object);
  EXPECT_TRUE(r.is_compressed);  // read through "IsCompressed"

  list.MoveNext();
  ASSERT_TRUE(ReadInstallRecord(list, &r).ok());
  EXPECT_TRUE(r.IsLaunchRecord());
  EXPECT_TRUE(r.HasRegistryCheck());
  EXPECT_FALSE(r.HasFileCheck());
  EXPECT_TRUE(r.is_qv_object);
  EXPECT_FALSE(r.is_compressed);

  list.MoveNext();
  ASSERT_TRUE(ReadInstallRecord(list, &r).ok());
  EXPECT_FALSE(r.IsLaunchRecord());
  EXPECT_EQ(r.install_type, 4);
  EXPECT_FALSE(r.HasRegistryCheck() || r.HasFileCheck());
  EXPECT_FALSE(r.is_qv_object || r.is_compressed);  // null flags are off

  // An empty FileName and an InstallType out of range are reported; the
  // rest is read and the type installs nothing.
  list.MoveNext();
  Status s = ReadInstallRecord(list, &r);
  EXPECT_THAT(s.message(), HasSubstr("record 4"));
  EXPECT_THAT(s.message(), HasSubstr("FileName"));
  EXPECT_EQ(r.download_location, "c");
  EXPECT_EQ(r.install_type, 0);

  list.MoveNext();
  EXPECT_EQ(ReadInstallRecord(list, &r).code(), kErrorNoMoreItems);
}

// The served file's digest and size: optional, null checks nothing, and a
// value that is not well formed makes the record unreadable.
TEST(InstallListTest, ReadsTheServedFilesDigestAndSize) {
  const std::string digest(64, 'a');
  struct Case {
    std::string sha256, size;  // as JSON
    std::string error_part;    // "" when the record reads
    std::string read_sha256;
    int64_t read_size;
  };
  const Case cases[] = {
      {"null", "null", "", "", -1},
      {"\"" + digest + "\"", "12", "", digest, 12},
      {"\"" + std::string(64, 'C') + "\"", "0", "", std::string(64, 'c'), 0},
      {"\"" + digest.substr(1) + "\"", "null", "FileSHA256", "", -1},
      {"\"" + digest.substr(1) + "g\"", "null", "FileSHA256", "", -1},
      {"null", "-1", "FileSize", "", -1},
      {"null", "1.5", "FileSize", "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sha256 + " " + c.size);
    Recordset list;
    ASSERT_TRUE(list.ParseJson(R"({"format": "qv-installlist", "version": 1, "fields": [
        {"name": "SequenceID", "type": "integer"}, {"name": "FileName", "type": "string"},
        {"name": "DownloadLocation", "type": "string"}, {"name": "InstallType", "type": "integer"},
        {"name": "FileVersion", "type": "string"}, {"name": "FileSHA256", "type": "string"},
        {"name": "FileSize", "type": "number"}],
      "records": [[1, "a.dll", "a.dll", 2, "1", )" +
                               c.sha256 + ", " + c.size + "]]}")
                    .ok());
    InstallRecord r;
    const Status s = ReadInstallRecord(list, &r);
    if (c.error_part.empty()) {
      EXPECT_TRUE(s.ok()) << s.ToString();
    } else {
      EXPECT_THAT(s.message(), HasSubstr(c.error_part));
    }
    EXPECT_EQ(r.file_sha256, c.read_sha256);
    EXPECT_EQ(r.file_size, c.read_size);
    EXPECT_EQ(r.HasServedFileCheck(), c.read_size >= 0 || !c.read_sha256.empty());
  }
}

using InstallRunTest = EngineTest;

TEST_F(InstallRunTest, ThreeRecordsTickByTick) {
  Installed("a.dll", "1.0.0.0");
  Installed("b.dll", "1.0.0.0");
  m_.WriteFile(Client("client.exe"), "#!/bin/sh\nexit 0\n");
  InstallRecord launch = FileRecord("client.exe", "1.0.0.0");
  launch.sequence_id = 9999;
  Serve("b.dll", "new b");
  Start({FileRecord("a.dll", "1.0.0.0"), FileRecord("b.dll", "1.0.0.1"), launch});

  // Tick 1: the first is current, the second's transfer starts, the tick ends.
  control_->tmrComInstall_Timer();
  EXPECT_EQ(m_.ui().frames,
            (std::vector<std::string>{"Processing...", "Downloading and Installing: About b.dll"}));
  ASSERT_EQ(net_->requests.size(), 1u);
  EXPECT_EQ(net_->requests[0].url, std::string(kBase) + "b.dll");
  EXPECT_EQ(net_->requests[0].operation, "GET");
  EXPECT_EQ(net_->requests[0].headers, "Proxy-Connection: Keep-Alive");
  EXPECT_EQ(control_->mrsInstallList->AbsolutePosition(), 3);
  EXPECT_FALSE(control_->tmrComInstall->enabled());
  EXPECT_EQ(control_->panel().prgTotal.width, static_cast<float>(6375.0 / 3 * 2));

  // The completion installs the second file and enables the timer.
  Complete();
  EXPECT_EQ(m_.ReadFile(Client("b.dll")), "new b");
  EXPECT_TRUE(events_.empty());

  // Tick 2: the launch record's program starts with a quoted path, the list ends.
  Run();
  ASSERT_EQ(m_.launches().size(), 1u);
  EXPECT_EQ(m_.launches()[0].command_line,
            "\"" + Client("client.exe") + "\" http://bo.test/ LID42");
  EXPECT_EQ(m_.launches()[0].style, WindowStyle::kNormalFocus);
  EXPECT_EQ(m_.ui().messages.back(), "Initialization complete.");
  EXPECT_EQ(m_.ui().frames.back(), "");
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
  EXPECT_TRUE(m_.ui().boxes.empty());
}

TEST_F(InstallRunTest, RunWithNothingToFetchEndsInTheFirstTick) {
  for (int records : {0, 3}) {
    SCOPED_TRACE(records);
    events_.clear();
    m_.ui().frames.clear();
    std::vector<InstallRecord> list;
    for (int i = 0; i < records; ++i) {
      const std::string name = "f" + std::to_string(i) + ".dll";
      Installed(name, "2.0.0.0");
      list.push_back(FileRecord(name, "2.0.0.0"));
    }
    Start(list);
    control_->tmrComInstall_Timer();
    std::vector<std::string> frames(records, "Processing...");
    frames.push_back("");
    EXPECT_EQ(m_.ui().frames, frames);
    EXPECT_EQ(m_.ui().messages.back(), "Initialization complete.");
    EXPECT_EQ(events_, std::vector<std::string>{"Done"});
    EXPECT_TRUE(net_->requests.empty());
    EXPECT_TRUE(m_.loop().Idle());
  }
}

TEST_F(InstallRunTest, MissingRightsHaltWithoutEvent) {
  gbHasInstallRights = false;
  Start({FileRecord("a.dll", "1.0.0.0")});
  Run();
  ASSERT_EQ(m_.ui().boxes.size(), 1u);
  EXPECT_EQ(m_.ui().boxes[0].style, 16);
  EXPECT_EQ(m_.ui().boxes[0].title, "Critical Error");
  EXPECT_EQ(m_.ui().boxes[0].text,
            "This program cannot continue.  You do not have enough rights to install files.\r\r"
            "Please contact your system administrator to give you additional rights to install "
            "programs.");
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(net_->requests.empty());
  EXPECT_EQ(control_->mrsInstallList->AbsolutePosition(), 1);
}

TEST_F(InstallRunTest, DeveloperSkipCostsOneTickPerComponent) {
  control_->mbDevLogin = true;
  InstallRecord own1 = FileRecord("own1.dll", "9.0.0.0");
  InstallRecord own2 = FileRecord("own2.dll", "9.0.0.0");
  own1.is_qv_object = own2.is_qv_object = true;
  Installed("c.dll", "1.0.0.0");
  Start({own1, own2, FileRecord("c.dll", "1.0.0.0")});
  for (int position : {2, 3}) {
    control_->tmrComInstall_Timer();
    EXPECT_EQ(control_->mrsInstallList->AbsolutePosition(), position);
    EXPECT_TRUE(control_->tmrComInstall->enabled());
    EXPECT_TRUE(m_.ui().frames.empty());
  }
  Run();
  EXPECT_EQ(m_.ui().frames, (std::vector<std::string>{"Processing...", ""}));
  EXPECT_TRUE(net_->requests.empty());
  EXPECT_FALSE(m_.Exists(Client("own1.dll")));
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

TEST_F(InstallRunTest, CopyOnlyGathersThePreludeAndEveryRecord) {
  control_->SetPreludeServer("http://prelude.test");
  net_->responses["http://prelude.test/installs/setup.html"] = testing::Response("<html/>");
  net_->responses["http://prelude.test/installs/QV_InitLocal_V3.CAB"] = testing::Response("CAB");
  ASSERT_TRUE(m_.platform().files->CreateDirectory("C:\\Copy").ok());
  gsCopyFolder = "C:\\Copy\\";
  control_->mbCopyOnly = true;
  control_->mbDevLogin = true;

  // Current, one of the product's components, compressed, in subfolders.
  InstallRecord a = FileRecord("a.dll", "1.0.0.0");
  a.download_location = "files/sub\\a.dll.cmp";
  a.is_compressed = a.is_qv_object = true;
  Installed("a.dll", "1.0.0.0");
  InstallRecord launch = FileRecord("client.exe", "1.0.0.0");
  launch.sequence_id = 9999;
  Serve(a.download_location, "packed a");
  Serve("client.exe", "program");
  const std::vector<std::string> records = {kBase + a.download_location,
                                            std::string(kBase) + "client.exe"};

  Start({a, launch});
  Run();
  std::vector<std::string> expected = {"http://prelude.test/installs/setup.html",
                                       "http://prelude.test/installs/QV_InitLocal_V3.CAB"};
  expected.insert(expected.end(), records.begin(), records.end());
  EXPECT_EQ(RequestedUrls(), expected);
  EXPECT_EQ(m_.ReadFile("C:\\Copy\\setup.html"), "<html/>");
  EXPECT_EQ(m_.ReadFile("C:\\Copy\\QV_Init_V3.CAB"), "CAB");
  EXPECT_EQ(m_.ReadFile("C:\\Copy\\files\\sub\\a.dll.cmp"), "packed a");
  EXPECT_EQ(m_.ReadFile("C:\\Copy\\client.exe"), "program");
  EXPECT_EQ(m_.ReadFile(Client("a.dll")), "old a.dll");
  EXPECT_TRUE(m_.launches().empty());
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
  EXPECT_EQ(control_->miPreludeStep, 3);

  // A second run on the same control (a start-up keeps the step) fetches no
  // prelude; after a local start-up (step 1) only the cabinet comes first.
  for (int16_t step : {3, 1}) {
    SCOPED_TRACE(step);
    net_->requests.clear();
    control_->miPreludeStep = step;
    Start({a, launch});
    Run();
    expected = records;
    if (step == 1)
      expected.insert(expected.begin(), "http://prelude.test/installs/QV_InitLocal_V3.CAB");
    EXPECT_EQ(RequestedUrls(), expected);
  }
}

TEST_F(InstallRunTest, LocalModeCopiesAndInstallsWithinOneTick) {
  control_->mbLocalMode = true;
  control_->msDownloadLocation = "C:\\Local\\";
  m_.WriteFile("C:\\Local\\a.dll", "local a");
  m_.WriteFile(Temp("b.dll"), "stale b");  // from an earlier run
  m_.WriteFile("C:\\Local\\c.dll", "local c");
  Start({FileRecord("a.dll", "1.0.0.0"), FileRecord("b.dll", "1.0.0.0"),
         FileRecord("c.dll", "1.0.0.0")});
  control_->tmrComInstall_Timer();
  EXPECT_EQ(m_.ReadFile(Client("a.dll")), "local a");
  EXPECT_EQ(m_.ReadFile(Client("c.dll")), "local c");
  EXPECT_FALSE(m_.Exists(Client("b.dll")));
  ASSERT_EQ(m_.ui().boxes.size(), 1u);
  EXPECT_EQ(m_.ui().boxes[0].text, MissingFileText("C:\\Local\\b.dll"));
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
  EXPECT_TRUE(net_->requests.empty());
}

TEST_F(InstallRunTest, MissingLaunchProgramIsPassedOverSilently) {
  InstallRecord launch = FileRecord("client.exe", "1.0.0.0");
  launch.sequence_id = 9999;
  Start({launch});
  Run();
  EXPECT_TRUE(m_.launches().empty());
  EXPECT_TRUE(m_.ui().boxes.empty());
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

TEST_F(InstallRunTest, InstalledVersionSources) {
  ASSERT_TRUE(CreateKeyHKLM("SOFTWARE\\Vendor"));
  ASSERT_TRUE(SetStringValueHKLM("SOFTWARE\\Vendor", "Version", "3.0.0.0"));
  m_.WriteFile(gsDirSystem + "\\dep.dll.ver", "4.0.0.0\r\n");
  m_.WriteFile(gsDirFonts + "\\q.ttf", "font");
  struct Case {
    const char* name;
    const char* alt_check;
    const char* alt_value;
    const char* location;
    const char* offered;
    bool fetched;
  } cases[] = {
      {"reg_same.dll", "SOFTWARE\\Vendor", "Version", "CLIENTDIR", "3.0.0.0", false},
      {"reg_newer.dll", "SOFTWARE\\Vendor", "Version", "CLIENTDIR", "3.0.0.1", true},
      {"reg_absent.dll", "SOFTWARE\\Vendor", "Nothing", "CLIENTDIR", "0.0.0.1", true},
      {"alt_same.dll", "<SYSTEMDIR>\\dep.dll", "", "CLIENTDIR", "4.0.0.0", false},
      {"alt_newer.dll", "<SYSTEMDIR>\\dep.dll", " ", "CLIENTDIR", "4.0.0.1", true},
      {"q.ttf", "", "", "fontsdir", "99.0.0.0", false},  // a font that is there stays
  };
  std::vector<InstallRecord> records;
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    InstallRecord r = FileRecord(c.name, c.offered, c.location);
    r.alt_check = c.alt_check;
    r.alt_check_reg_value = c.alt_value;
    records.push_back(r);
    Serve(c.name, "x");
    if (c.fetched) expected.push_back(kBase + std::string(c.name));
  }
  Start(records);
  Run();
  EXPECT_EQ(RequestedUrls(), expected);
  EXPECT_EQ(m_.ReadFile(gsDirFonts + "\\q.ttf"), "font");
}

// Copied from a folder, FileName and DownloadLocation both become paths below
// a folder; one that would leave it is refused, but only for a record that is
// to be fetched.
TEST_F(InstallRunTest, RecordsThatCannotBeUsedAreRefusedAndTheRunGoesOn) {
  control_->mbLocalMode = true;
  control_->msDownloadLocation = "C:\\Local\\";
  m_.WriteFile("C:\\evil.dll", "evil");  // what "..\\evil.dll" would reach
  m_.WriteFile("C:\\Local\\good.dll", "good");
  const std::vector<std::pair<std::string, std::string>> bad_paths = {
      {"..\\evil.dll", "evil.dll"}, {"../evil.dll", "evil.dll"},
      {"C:evil.dll", "evil.dll"},   {"\\evil.dll", "evil.dll"},
      {"/evil.dll", "evil.dll"},    {"sub\\..\\..\\evil.dll", "evil.dll"},
      {"evil.dll", "..\\evil.dll"}, {"evil.dll", "a/../../evil.dll"},
      {"evil.dll", "C:\\evil.dll"}, {"evil.dll", "/abs/evil.dll"},
  };
  auto list = std::make_unique<Recordset>(NewInstallList());
  for (const auto& [name, location] : bad_paths) {
    InstallRecord r = FileRecord(name, "1.0.0.0");
    r.download_location = location;
    ASSERT_TRUE(AppendInstallRecord(list.get(), r).ok());
  }
  // Current: never copied, so its location never becomes a path.
  Installed("cur.dll", "1.0");
  InstallRecord current = FileRecord("cur.dll", "1.0");
  current.download_location = "..\\cur.dll";
  ASSERT_TRUE(AppendInstallRecord(list.get(), current).ok());
  ASSERT_TRUE(AppendInstallRecord(list.get(), FileRecord("good.dll", "1.0.0.0")).ok());
  // A record without a FileName.
  ASSERT_TRUE(list->AddRecord({Variant::Integer(1), Variant::Null(), Variant::Text("x.dll"),
                               Variant::Integer(2), Variant::Text("1.0.0.0"), Variant::Null(),
                               Variant::Null(), Variant::Text("CLIENTDIR"), Variant::Null(),
                               Variant::Null(), Variant::Null()})
                  .ok());
  control_->mrsInstallList = std::move(list);
  control_->BeginRun();
  control_->tmrComInstall->SetEnabled(true);
  Run();

  ASSERT_EQ(m_.ui().boxes.size(), bad_paths.size() + 1);
  for (size_t i = 0; i < bad_paths.size(); ++i) {
    const auto& box = m_.ui().boxes[i];
    EXPECT_EQ(box.style, 0);
    EXPECT_EQ(box.title, "");
    EXPECT_NE(box.text.find(bad_paths[i].first), std::string::npos) << box.text;
    EXPECT_NE(box.text.find("leads outside its folder"), std::string::npos) << box.text;
  }
  EXPECT_NE(m_.ui().boxes.back().text.find("FileName"), std::string::npos);
  EXPECT_EQ(m_.ReadFile(Client("good.dll")), "good");
  EXPECT_EQ(m_.ReadFile(Client("cur.dll")), "old cur.dll");
  EXPECT_FALSE(m_.Exists(Client("evil.dll")));
  EXPECT_FALSE(m_.Exists(gsDirQuillmark + "\\evil.dll"));
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

// The host owns the thread's message loop and keeps no platform current: the
// start-up call, every tick and every transfer state change work on the
// control's own platform, and the runs reach their end.
TEST_F(InstallRunTest, AHostsOwnMessageLoopDrivesRunsToTheirEnd) {
  FakeTransfer* net = nullptr;
  m_.platform().new_transfer = [&] {
    auto transfer = std::make_unique<FakeTransfer>(&m_.loop());
    net = transfer.get();
    return transfer;
  };
  ctlInit_V3 control;  // wires its own transfer component
  ASSERT_NE(net, nullptr);
  std::vector<std::string> events;
  control.SubscribeAll([&](ControlEvent e) { events.push_back(ControlEventName(e)); });
  testing::HostLoop host(&m_.loop());
  const auto run_to_done = [&] {
    ScopedPlatform none(nullptr);
    return host.RunUntil([&] { return !events.empty(); });
  };

  // A local start-up, called from the host's thread.
  Recordset local_list = NewInstallList();
  ASSERT_TRUE(AppendInstallRecord(&local_list, FileRecord("a.dll", "1.0.0.0")).ok());
  m_.WriteFile("C:\\Local\\a.dll", "local a");
  ASSERT_TRUE(local_list.save("C:\\Local\\installlist.rst").ok());
  {
    ScopedPlatform none(nullptr);
    ASSERT_TRUE(control.StartupLocal("C:\\Local").ok());
  }
  ASSERT_TRUE(run_to_done());
  EXPECT_EQ(events, std::vector<std::string>{"Done"});
  EXPECT_EQ(m_.ReadFile(Client("a.dll")), "local a");

  // An online run: two downloads, each ending in a posted state change.
  events.clear();
  net->responses[std::string(kBase) + "b.dll"] = testing::Response("new b");
  net->responses[std::string(kBase) + "c.dll"] = testing::Response("new c");
  auto list = std::make_unique<Recordset>(NewInstallList());
  for (const char* name : {"b.dll", "c.dll"}) {
    ASSERT_TRUE(AppendInstallRecord(list.get(), FileRecord(name, "1.0.0.0")).ok());
  }
  control.mbLocalMode = false;
  control.msDownloadLocation = kBase;
  control.mrsInstallList = std::move(list);
  control.BeginRun();
  control.tmrComInstall->SetEnabled(true);
  ASSERT_TRUE(run_to_done());
  EXPECT_EQ(events, std::vector<std::string>{"Done"});
  EXPECT_EQ(net->requests.size(), 2u);
  EXPECT_EQ(m_.ReadFile(Client("b.dll")), "new b");
  EXPECT_EQ(m_.ReadFile(Client("c.dll")), "new c");
  EXPECT_TRUE(m_.ui().boxes.empty());
}

}  // namespace
}  // namespace qv
