// qvinit end to end: the server with the sample catalog on 127.0.0.1, fresh
// sandbox machines, the headless interface, and the report and exit status
// that a caller of qvinit relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <utility>

#include "control/ctlInit_V3.h"
#include "qv_version.h"
#include "server/http_server.h"
#include "server/sample_catalog.h"
#include "state/module_state.h"
#include "tests/qvinit_fixture.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

TEST_F(QvinitTest, OnlineRunsInstallTheCatalogAndReport) {
  const std::string machine = NewMachine("m1");
  Outcome o = Qvinit(machine, Online("startup", "192.0.2.1"));
  EXPECT_EQ(o.exit_code, 0) << o.err;
  // Init on show, the setup program's own Done, the end's Done.
  EXPECT_EQ(o.Events(), (std::vector<std::string>{"Init", "Done", "Done"}));
  ASSERT_NE(o.Find("final"), nullptr);
  EXPECT_EQ((*o.Find("final"))["message"], "Initialization complete.");
  EXPECT_EQ(ReadHostFile(machine + "/" + kClient + "qvclient.dll").substr(0, 2), "MZ");
  // Startup writes no login notes and hands the plain address on.
  std::vector<server::LoginNote> notes;
  ASSERT_TRUE(server_->storage().ListLoginNotes(&notes).ok());
  EXPECT_TRUE(notes.empty());
  EXPECT_THAT(WaitForFile(machine + "/" + kClient + "qvlaunch.args"),
              HasSubstr(server_->base_url() + "/bo\n"));

  // StartupV2 on a second machine: the notes arrive and the address carries
  // the login ID.
  const std::string machine2 = NewMachine("m2");
  o = Qvinit(machine2, Online("startup-v2", "192.0.2.1"));
  EXPECT_EQ(o.exit_code, 0) << o.err;
  ASSERT_TRUE(server_->storage().ListLoginNotes(&notes).ok());
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_THAT(notes[0].text, HasSubstr("Has admin access = Yes\r\n"));
  const std::string args = WaitForFile(machine2 + "/" + kClient + "qvlaunch.args");
  EXPECT_THAT(args, HasSubstr("http://" + notes[0].login_id + "@127.0.0.1:"));
  // The calls name the library's version and the machine's Windows version.
  std::vector<server::ClientRow> clients;
  ASSERT_TRUE(server_->storage().ListClients("", &clients).ok());
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].last_agent, std::string("qv/") + kLibraryVersion + " (Windows NT 5.1)");
  EXPECT_EQ(clients[0].last_report, notes[0].text);
}

TEST_F(QvinitTest, RefusedLoginUnreachableServerAndProtectedFailure) {
  const std::string machine = NewMachine("m1", "restricted");
  Outcome o = Qvinit(machine, Online("startup", "x"), "wrong");
  EXPECT_EQ(o.exit_code, 20);
  ASSERT_NE(o.Find("error"), nullptr);
  EXPECT_EQ((*o.Find("error"))["number"], 20);
  EXPECT_EQ((*o.Find("error"))["source"], "Login Check");
  EXPECT_EQ(
      o.Line("error").rfind(R"({"error":{"number":20,"source":"Login Check","description":)", 0),
      0u)
      << o.Line("error");
  EXPECT_EQ((*o.Find("final"))["message"], "Please wait, initializing system login procedure...");
  EXPECT_EQ(o.Events(), std::vector<std::string>{"Init"});

  std::vector<std::string> unreachable = Online("startup-v2", "x");
  unreachable[2] = "http://127.0.0.1:1/bo";
  o = Qvinit(machine, unreachable);
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_EQ((*o.Find("error"))["source"], "RDS.DataSpace");

  // A restricted user cannot save the list into the Windows folder: the
  // protected stretch fails with the "Error" box, and no event follows.
  std::vector<std::string> copy = Online("startup", "COPYONLY");
  copy.insert(copy.begin(), {"--pick", R"(C:\Windows)"});
  o = Qvinit(machine, copy);
  EXPECT_EQ(o.exit_code, 3);
  ASSERT_NE(o.Find("msgbox"), nullptr);
  EXPECT_EQ((*o.Find("msgbox"))["title"], "Error");
  EXPECT_EQ(o.Events(), std::vector<std::string>{"Init"});
  // The objects give their keys in the report's documented order.
  EXPECT_EQ(o.Line("msgbox").rfind(R"({"msgbox":{"style":)", 0), 0u) << o.Line("msgbox");
  EXPECT_NE(o.Line("msgbox").find(R"("title":"Error","text":)"), std::string::npos);
  EXPECT_EQ(o.Line("final").rfind(R"({"final":{"message":)", 0), 0u) << o.Line("final");
  EXPECT_NE(o.Line("final").find(R"("current":)"), std::string::npos);
  EXPECT_LT(o.Line("final").find(R"("frame":)"), o.Line("final").find(R"("bytes":)"));
}

TEST_F(QvinitTest, DeveloperLoginLeavesOutTheProductsOwnFiles) {
  const std::string machine = NewMachine("m1");
  std::vector<std::string> args = Online("startup", "x");
  args.push_back("--dev");
  Outcome o = Qvinit(machine, args);
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_FALSE(fs::exists(machine + "/" + kClient + "qvclient.dll"));
  EXPECT_TRUE(fs::exists(machine + "/drive_c/Windows/Fonts/qvsans.ttf"));
}

// That the carried folder installs the same state as an online run is
// EngineE2eTest.CopiedFolderInstallsLikeTheServerOnAFreshMachine's.
TEST_F(QvinitTest, CopyOnlyFolderInstallsLocallyWithoutTheServer) {
  const std::string gather = NewMachine("gather");
  ASSERT_EQ(RunCommand({"mkdir", "-p", gather + "/drive_c/Copy"}).exit_code, 0);
  std::vector<std::string> copy = Online("startup-v2", "copyonly");
  copy.insert(copy.begin(), {"--pick", R"(C:\Copy)"});
  Outcome o = Qvinit(gather, copy);
  ASSERT_EQ(o.exit_code, 0) << o.err << o.out;
  EXPECT_EQ((*o.Find("picker"))["answer"], "C:\\Copy\\");
  EXPECT_TRUE(fs::exists(gather + "/drive_c/Copy/installlist.rst"));
  EXPECT_TRUE(fs::exists(gather + "/drive_c/Copy/setup.html"));
  EXPECT_TRUE(fs::exists(gather + "/drive_c/Copy/client/qvclient.dll"));
  // Nothing was installed on the gathering machine.
  EXPECT_FALSE(fs::exists(gather + "/" + kClient + "qvclient.dll"));

  // The folder, carried to a fresh machine, installs with the server gone.
  const std::string offline = NewMachine("offline");
  fs::copy(gather + "/drive_c/Copy", offline + "/drive_c/Media", fs::copy_options::recursive);
  server_->Stop();
  o = Qvinit(offline, {"local", R"(C:\Media)"});
  EXPECT_EQ(o.exit_code, 0) << o.err << o.out;
  EXPECT_EQ(ReadHostFile(offline + "/" + kClient + "qvclient.dll"),
            ReadHostFile(gather + "/drive_c/Copy/client/qvclient.dll"));
  EXPECT_TRUE(fs::exists(offline + "/drive_c/Windows/Fonts/qvsans.ttf"));
}

TEST_F(QvinitTest, CancelledPickerEndsWithDoneAndContactsNoServer) {
  const std::string machine = NewMachine("m1");
  std::vector<std::string> args = Online("startup", "COPYONLY");
  args[2] = "http://127.0.0.1:1/bo";  // a contact would fail with exit 1
  args.insert(args.begin(), {"--pick", "cancel"});
  Outcome o = Qvinit(machine, args);
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.Events(), (std::vector<std::string>{"Init", "Done"}));
  EXPECT_EQ(o.Find("message"), nullptr);

  // A folder that is not on the machine is a usage error.
  args[1] = R"(C:\Missing)";
  EXPECT_EQ(Qvinit(machine, args).exit_code, 2);
}

// A start-up that ends before it replaces the list leaves the run under way
// going: the transfer in flight completes, the records after it follow, and
// the run ends with Done.
TEST_F(QvinitTest, StartUpThatEndsEarlyLeavesTheRunUnderWayGoing) {
  const std::string base = server_->base_url();
  auto startup = [&](ctlInit_V3& control, const std::string& password, const std::string& remote) {
    return control.Startup(base + "/", base + "/bo", catalog_.key_name, catalog_.login, password,
                           remote, false);
  };
  struct Case {
    const char* name;
    std::function<void(ctlInit_V3&, TestMachine&)> interrupt;
  };
  const std::vector<Case> cases = {
      {"refused login",
       [&](ctlInit_V3& control, TestMachine&) {
         EXPECT_EQ(startup(control, "wrong", "x").number, 20);
       }},
      {"cancelled picker",
       [&](ctlInit_V3& control, TestMachine& m) {
         m.ui().picker_script = [](FolderPickerForm& form) { form.PressCancel(); };
         EXPECT_TRUE(startup(control, catalog_.password, "COPYONLY").ok());
       }},
      {"no data-access components",
       [&](ctlInit_V3& control, TestMachine& m) {
         auto data_space = std::exchange(m.platform().new_data_space, nullptr);
         EXPECT_TRUE(startup(control, catalog_.password, "x").ok());
         m.platform().new_data_space = data_space;
         EXPECT_EQ(m.ui().boxes.size(), 1u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m;
    gsCopyFolder.clear();
    ctlInit_V3 control;
    std::vector<std::string> events;
    control.SubscribeAll([&](ControlEvent e) { events.push_back(ControlEventName(e)); });
    ASSERT_TRUE(startup(control, catalog_.password, "x").ok());
    // The first tick starts the first file's transfer and leaves the timer off.
    m.loop().RunUntil([&] { return !control.tmrComInstall->enabled(); });
    c.interrupt(control, m);
    EXPECT_TRUE(m.loop().RunUntilIdle());
    EXPECT_EQ(control.panel().lblMessage.caption, "Initialization complete.");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "Done");
    for (const char* file : {R"(C:\Program Files\Ostrel\Quillmark\Client\qvclient.dll)",
                             R"(C:\Program Files\Ostrel\Quillmark\Client\qvlaunch.exe)",
                             R"(C:\Windows\Fonts\qvsans.ttf)"}) {
      EXPECT_TRUE(m.Exists(file)) << file;
    }
  }
}

// Online, a download location is only the end of an address: a current
// record's is never looked at, and a needed one may carry a query. File
// names are checked everywhere.
TEST_F(QvinitTest, OnlineDownloadLocationsAreAddressesNotPaths) {
  LocalHttp files;
  files.server.Get("/q.dll", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("q " + req.get_param_value("v"), "application/octet-stream");
  });
  files.Start();
  PutList({{1, "cur.dll", "x/../cur.dll", 2, "0", "CLIENTDIR"},
           {2, "q.dll", "q.dll?v=1:2", 2, "1.0", "CLIENTDIR"},
           {3, "..\\evil.dll", "q.dll", 2, "1.0", "CLIENTDIR"}});
  const std::string machine = NewMachine("m1");
  Outcome o = Qvinit(machine, OnlineFrom(files.Url("/"), server_->base_url() + "/bo"));
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(ReadHostFile(machine + "/" + kClient + "q.dll"), "q 1:2");
  const std::string boxes = o.Boxes();
  EXPECT_EQ(std::count(boxes.begin(), boxes.end(), '\n'), 1) << boxes;
  EXPECT_THAT(boxes, HasSubstr("The file ..\\evil.dll was not installed"));
}

// A run that stops on a download error has halted, although a started setup
// program raised Done before: exit 3, the report says both, and the records
// after the failed one are never fetched.
TEST_F(QvinitTest, HaltAfterASetupProgramsDoneExitsHalted) {
  LocalHttp files;
  files.server.Get("/setup.exe", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("#!/bin/sh\nexit 0\n", "application/octet-stream");
  });
  // Leads to a port where nothing listens: the request fails before any answer.
  const std::string nowhere = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/";
  files.server.Get("/gone.dll", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(nowhere + "gone.dll");
  });
  files.server.Get("/later.dll", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("later", "application/octet-stream");
  });
  files.Start();
  PutList({{1, "setup.exe", "setup.exe", 3, "1.0", "TEMPDIR"},
           {2, "gone.dll", "gone.dll", 2, "1.0", "CLIENTDIR"},
           {3, "later.dll", "later.dll", 2, "1.0", "CLIENTDIR"}});
  const std::string machine = NewMachine("m1");
  Outcome o = Qvinit(machine, OnlineFrom(files.Url("/"), server_->base_url() + "/bo"));
  EXPECT_EQ(o.exit_code, 3) << o.err;
  EXPECT_FALSE(fs::exists(machine + "/" + kClient + "later.dll"));
  EXPECT_EQ(o.Events(), (std::vector<std::string>{"Init", "Done"}));
  ASSERT_NE(o.Find("msgbox"), nullptr);
  EXPECT_THAT((*o.Find("msgbox"))["text"].get<std::string>(),
              HasSubstr("There was an error downloading file "));
  EXPECT_EQ((*o.Find("final"))["outcome"], "halted");
}

// The server cannot make the business object: the first call says so, and
// the start-up answers it with the "Error" box as for any object that cannot
// be created. By-reference arguments of the notes call come back.
TEST_F(QvinitTest, ObjectTheServerCannotMakeShowsTheErrorBox) {
  std::string object_name = "QVBO_V9.Init";  // unknown to the server
  LocalHttp front;  // hands every call on to the server, the object renamed
  front.server.Post(".*", [&](const httplib::Request& req, httplib::Response& res) {
    nlohmann::json call = nlohmann::json::parse(req.body);
    call["object"] = object_name;
    httplib::Client client(server_->base_url());
    auto answer = client.Post("/bo", call.dump(), "application/json");
    ASSERT_TRUE(answer);
    nlohmann::json body = nlohmann::json::parse(answer->body);
    if (call["operation"] == "WriteLoginNotes") {
      body["arguments"] = {"ID-FROM-NOTES", call["arguments"][1]};
    }
    res.status = answer->status;
    res.set_content(body.dump(), "application/json");
  });
  front.Start();
  const std::string machine = NewMachine("m1");
  Outcome o = Qvinit(machine, OnlineFrom(server_->base_url() + "/", front.Url("/bo")));
  EXPECT_EQ(o.exit_code, 3) << o.err;
  ASSERT_NE(o.Find("msgbox"), nullptr);
  EXPECT_EQ((*o.Find("msgbox"))["title"], "Error");
  EXPECT_EQ(o.Find("error"), nullptr);
  EXPECT_EQ(o.Events(), std::vector<std::string>{"Init"});

  object_name = "QVBO_V2.Init";
  o = Qvinit(machine, OnlineFrom(server_->base_url() + "/", front.Url("/bo")));
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_THAT(WaitForFile(machine + "/" + kClient + "qvlaunch.args"),
              HasSubstr("\nID-FROM-NOTES\n"));
}

// A catalog's programs run on the host only on a machine made with
// --run-programs. The setup program's body writes a marker on the host; the
// runtime package asks for a restart with 3010 when it runs, or when the
// machine's profile gives it that code, and the run then asks the user
// whether to restart (answered no: the run is done).
TEST_F(QvinitTest, CatalogProgramsRunOnlyOnMachinesMadeToRunThem) {
  LocalHttp files;
  std::string marker;
  files.server.Get("/setup.exe", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("#!/bin/sh\necho ran > '" + marker + "'\n", "application/octet-stream");
  });
  files.server.Get("/mdac.exe", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("#!/bin/sh\necho 3010 > \"$QV_EXIT_CODE_FILE\"\n", "application/octet-stream");
  });
  files.Start();
  PutList({{1, "setup.exe", "setup.exe", 3, "1.0", "TEMPDIR"},
           {2, "MDAC_TYP.EXE", "mdac.exe", 4, "1.0", "TEMPDIR"}});
  struct Case {
    const char* what;
    bool run_programs;
    int package_code;  // the profile's exit code for the package; -1: none
    bool marker;
    bool restart_asked;
  };
  const Case cases[] = {
      {"recorded", false, -1, false, false},
      {"recorded, the profile asks for a restart", false, 3010, false, true},
      {"run", true, -1, true, true},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    marker = dir_ + "/marker" + std::to_string(row);
    const std::string machine = NewMachine("p" + std::to_string(row++), "admin", c.run_programs);
    if (c.package_code >= 0) {
      nlohmann::json profile = nlohmann::json::parse(ReadHostFile(machine + "/machine.json"));
      profile["programs"]["exit_codes"]["mdac_typ.exe"] = c.package_code;
      WriteHostFile(machine + "/machine.json", profile.dump(2));
    }
    Outcome o = Qvinit(machine, OnlineFrom(files.Url("/"), server_->base_url() + "/bo"));
    EXPECT_EQ(o.exit_code, 0) << o.err;
    const nlohmann::json* box = o.Find("msgbox");
    EXPECT_EQ(box != nullptr && (*box)["text"].get<std::string>().find(
                                    "requires a system reboot") != std::string::npos,
              c.restart_asked);
    const std::string log = machine + "/programs.jsonl";
    if (c.run_programs) {
      EXPECT_FALSE(fs::exists(log));
      WaitForFile(marker);  // the setup program is not waited for
      EXPECT_TRUE(fs::exists(marker));
    } else {
      // Nothing was started, so nothing can still be on its way.
      EXPECT_FALSE(fs::exists(marker));
      const std::string recorded = ReadHostFile(log);
      EXPECT_THAT(recorded, HasSubstr("setup.exe\\\""));
      EXPECT_THAT(recorded, HasSubstr("MDAC_TYP.EXE\\\" /q:a"));
    }
  }
}

// Links that the host's user left in a drive and that lead out of it: the
// run installs nothing through them and the host outside stays as it was.
TEST_F(QvinitTest, RunsInstallNothingThroughLinksThatLeadOutOfTheDrive) {
  struct Case {
    const char* what;
    const char* link;  // below the machine folder
    bool to_folder;    // to the outside folder, or to a file in it
  };
  const Case cases[] = {
      {"the Client folder is linked outside", kClient, true},
      {"a listed file is linked to a host file", "drive_c/Windows/Fonts/qvsans.ttf", false},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string outside = dir_ + "/outside" + std::to_string(row);
    WriteHostFile(outside + "/host.txt", "host");
    const std::string machine = NewMachine("l" + std::to_string(row++));
    std::string link = machine + "/" + c.link;
    if (link.back() == '/') link.pop_back();
    fs::create_directories(fs::path(link).parent_path());
    const std::string target = c.to_folder ? outside : outside + "/host.txt";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

    Outcome o = Qvinit(machine, Online("startup-v2", "192.0.2.1"));
    EXPECT_NE(o.Find("final"), nullptr) << o.err;  // the run ended in order
    std::map<std::string, std::string> host;
    for (const auto& entry : fs::recursive_directory_iterator(outside)) {
      host[entry.path().filename().string()] = ReadHostFile(entry.path().string());
    }
    EXPECT_EQ(host, (std::map<std::string, std::string>{{"host.txt", "host"}}));
    EXPECT_TRUE(fs::is_symlink(link));
  }
}

}  // namespace
}  // namespace qv::testing
