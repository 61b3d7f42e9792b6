// The start-up sequences against a scripted business object: what each
// method sets, shows, sends and raises, and how each failure ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "control/client_report.h"
#include "dialogs/frmPickDir.h"
#include "tests/engine_fixture.h"

namespace qv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kStart[] = "Please wait, initializing system login procedure...";
constexpr char kList[] = "Please wait, getting list of files for update...";
constexpr char kRun[] = "Please wait, checking and installing needed updates...";

struct Call {
  std::string object, server, operation;
  std::vector<std::string> arguments;
};

// Answers operations from a script and records every call.
struct Server {
  std::vector<Call> calls;
  std::string login_id = "LID-7";
  ErrorInfo login_error;
  bool list_fails = false;
  Recordset list;

  class Object : public BusinessObject {
   public:
    Object(Server* server, std::string id, std::string url)
        : server_(server), id_(std::move(id)), url_(std::move(url)) {}
    ErrorInfo Call(const std::string& operation, std::vector<std::string>* args,
                   CallResult* result) override {
      server_->calls.push_back({id_, url_, operation, *args});
      if (operation == "LoginUser") {
        if (!server_->login_error.ok()) return server_->login_error;
        result->kind = CallResult::Kind::kText;
        result->text = server_->login_id;
      } else if (operation == "GetInstallFiles") {
        if (server_->list_fails) return {21, id_, "The login ID is not valid or has expired."};
        result->kind = CallResult::Kind::kRecordset;
        result->recordset = std::make_unique<Recordset>(server_->list);
      }
      return {};
    }

   private:
    Server* server_;
    std::string id_, url_;
  };
  class Space : public DataSpace {
   public:
    explicit Space(Server* server) : server_(server) {}
    ErrorInfo CreateObject(const std::string& id, const std::string& url,
                           std::unique_ptr<BusinessObject>* object) override {
      *object = std::make_unique<Object>(server_, id, url);
      return {};
    }

   private:
    Server* server_;
  };
};

class StartupTest : public ::testing::Test {
 protected:
  StartupTest() {
    gsCopyFolder.clear();
    gbRebootNeeded = true;
    gbHasInstallRights = false;
    m_.platform().new_data_space = [this] { return std::make_unique<Server::Space>(&server_); };
    server_.list = NewInstallList();
    InstallRecord own = FileRecord("own.ocx", "1.0");
    own.is_qv_object = true;
    EXPECT_TRUE(AppendInstallRecord(&server_.list, own).ok());
    EXPECT_TRUE(AppendInstallRecord(&server_.list, FileRecord("app.dll", "1.0")).ok());
    control_.SubscribeAll([this](ControlEvent e) { events_.push_back(ControlEventName(e)); });
  }

  ErrorInfo Online(bool v2, const std::string& remote = "10.0.0.1", bool dev = false,
                   const std::string& download = "http://files.test/base",
                   const std::string& bo = "http://bo.test/qv") {
    return v2 ? control_.StartupV2(download, bo, "KEY", "ann", "secret", remote, dev)
              : control_.Startup(download, bo, "KEY", "ann", "secret", remote, dev);
  }
  std::vector<std::string> Operations() const {
    std::vector<std::string> ops;
    for (const Call& c : server_.calls) ops.push_back(c.operation);
    return ops;
  }
  // Chooses path in the picker and presses OK.
  void PickOnOk(const std::string& path) {
    m_.ui().picker_script = [path](FolderPickerForm& form) {
      form.OpenFolder(path);
      form.PressOK();
    };
  }

  TestMachine m_;
  Server server_;
  ctlInit_V3 control_;
  std::vector<std::string> events_;
};

TEST_F(StartupTest, OnlineRunIsHandedToTheTimer) {
  ASSERT_TRUE(Online(false).ok());
  EXPECT_THAT(m_.ui().messages, ElementsAre(kStart, kList, kRun));
  EXPECT_GE(m_.ui().repaints, 4);
  ASSERT_EQ(server_.calls.size(), 2u);
  EXPECT_EQ(server_.calls[0].object, "QVBOGeneral_V3.Init");
  EXPECT_EQ(server_.calls[0].server, "http://bo.test/qv");
  EXPECT_THAT(server_.calls[0].arguments, ElementsAre("KEY", "ann", "secret", "10.0.0.1"));
  EXPECT_THAT(server_.calls[1].arguments, ElementsAre("LID-7"));
  EXPECT_EQ(control_.msLoginID, "LID-7");
  EXPECT_EQ(control_.msServerURL, "http://bo.test/qv");
  EXPECT_EQ(control_.msDownloadLocation, "http://files.test/base/");
  EXPECT_FALSE(control_.mbLocalMode);
  EXPECT_FALSE(control_.mbCopyOnly);
  EXPECT_FALSE(gbRebootNeeded);
  EXPECT_TRUE(gbHasInstallRights);  // the sandbox user is an administrator
  EXPECT_EQ(control_.mrsInstallList->recordcount(), 2);
  EXPECT_EQ(control_.mrsInstallList->AbsolutePosition(), 1);
  EXPECT_TRUE(control_.tmrComInstall->enabled());
  EXPECT_THAT(events_, IsEmpty());
  EXPECT_TRUE(control_.mobjDataSpace != nullptr);
}

TEST_F(StartupTest, V2SendsTheClientReportAndPutsTheLoginIdIntoTheServerAddress) {
  ASSERT_TRUE(Online(true, "10.0.0.1", false, "x", "https://bo.test/a://b").ok());
  EXPECT_THAT(Operations(), ElementsAre("LoginUser", "GetInstallFiles", "WriteLoginNotes"));
  EXPECT_EQ(server_.calls[0].object, "QVBO_V2.Init");
  const std::vector<std::string>& notes = server_.calls[2].arguments;
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], "LID-7");
  EXPECT_THAT(notes[1], HasSubstr("Available Page File = "));
  EXPECT_THAT(notes[1], ::testing::EndsWith("Has admin access = Yes\r\n"));
  EXPECT_EQ(control_.msServerURL, "https://LID-7@bo.test/a://LID-7@b");
  EXPECT_EQ(control_.msDownloadLocation, "x/");

  // An address without "://" is kept as it is.
  ASSERT_TRUE(Online(true, "10.0.0.1", false, "x", "bo.test").ok());
  EXPECT_EQ(control_.msServerURL, "bo.test");
}

TEST(ClientReportTest, EightCrLfLinesWithSigned32BitFigures) {
  MemoryStatus m;
  m.available_page_file = 1;
  m.available_physical = 0x80000000ull;  // 2^31 comes out negative
  m.available_virtual = 5ull << 32;      // capped at 2^32 - 1
  m.memory_load = 42;
  m.total_page_file = 2;
  m.total_physical = 3;
  m.total_virtual = 4;
  EXPECT_EQ(BuildClientReport(m, false),
            "Available Page File = 1\r\n"
            "Available Physical Memory = -2147483648\r\n"
            "Available Virtual Memory = -1\r\n"
            "Memory Load = %42\r\n"
            "Total Page File = 2\r\n"
            "Total Physical Memory = 3\r\n"
            "Total Virtual Memory = 4\r\n"
            "Has admin access = No\r\n");
}

TEST_F(StartupTest, RefusedLoginFailsTowardsTheHostAndStartsNothing) {
  server_.login_id = "";
  const ErrorInfo error = Online(false);
  EXPECT_EQ(error.number, 20);
  EXPECT_EQ(error.source, "Login Check");
  EXPECT_EQ(error.description, "The username/password you have supplied is not valid.");
  EXPECT_EQ(control_.panel().lblMessage.caption, kStart);
  EXPECT_THAT(m_.ui().boxes, IsEmpty());
  EXPECT_THAT(Operations(), ElementsAre("LoginUser"));
  EXPECT_FALSE(control_.tmrComInstall->enabled());
  EXPECT_TRUE(gbRebootNeeded);  // not yet cleared
  EXPECT_THAT(events_, IsEmpty());
}

TEST_F(StartupTest, LoginErrorsReachTheHostUnchanged) {
  server_.login_error = {-2147012867, "RDS.DataSpace", "no route"};
  const ErrorInfo error = Online(true);
  EXPECT_EQ(error.number, -2147012867);
  EXPECT_EQ(error.source, "RDS.DataSpace");
  EXPECT_EQ(error.description, "no route");
  EXPECT_THAT(m_.ui().boxes, IsEmpty());
  EXPECT_FALSE(control_.tmrComInstall->enabled());
}

TEST_F(StartupTest, ProtectedFailuresShowTheErrorBoxAndEndQuietly) {
  server_.list_fails = true;
  EXPECT_TRUE(Online(false).ok());
  ASSERT_EQ(m_.ui().boxes.size(), 1u);
  EXPECT_EQ(m_.ui().boxes[0].title, "Error");
  EXPECT_EQ(m_.ui().boxes[0].style, 48);
  EXPECT_THAT(m_.ui().boxes[0].text,
              HasSubstr("There was an error trying to gather information required.\r\rPlease "
                        "visit "));
  EXPECT_THAT(m_.ui().boxes[0].text,
              ::testing::EndsWith(
                  " to install the latest version of Microsoft Data Access Components (MDAC)."));
  EXPECT_FALSE(control_.tmrComInstall->enabled());
  EXPECT_EQ(control_.panel().lblMessage.caption, kList);
  EXPECT_THAT(events_, IsEmpty());

  // A local folder without the list file. (Without data-access components:
  // QvinitTest.StartUpThatEndsEarlyLeavesTheRunUnderWayGoing.)
  EXPECT_TRUE(control_.StartupLocal(R"(C:\Nowhere)").ok());
  EXPECT_EQ(m_.ui().boxes.size(), 2u);
  EXPECT_FALSE(control_.tmrComInstall->enabled());
}

TEST_F(StartupTest, CopyOnlyInAnyCaseAsksForAFolderAndSavesTheWholeList) {
  m_.WriteFile(R"(C:\Copy\installlist.rst)", "stale");
  PickOnOk(R"(C:\Copy)");
  control_.miPreludeStep = 3;  // an earlier copy-only run fetched the prelude
  ASSERT_TRUE(Online(false, "CopyOnly", /*dev=*/true).ok());
  EXPECT_TRUE(control_.mbCopyOnly);
  EXPECT_EQ(control_.miPreludeStep, 3);
  EXPECT_EQ(gsCopyFolder, "C:\\Copy\\");
  // The host's text goes to the server as written.
  EXPECT_EQ(server_.calls[0].arguments[3], "CopyOnly");
  // Saved before the developer filter: both records are in the file.
  Recordset saved;
  ASSERT_TRUE(saved.Open(R"(C:\Copy\installlist.rst)").ok());
  EXPECT_EQ(saved.recordcount(), 2);
  EXPECT_EQ(control_.mrsInstallList->recordcount(), 1);
  EXPECT_EQ(control_.mrsInstallList->Filter(), "IsQVObject = 0");

  // A blank in front makes it an online run.
  ASSERT_TRUE(Online(false, " COPYONLY").ok());
  EXPECT_FALSE(control_.mbCopyOnly);
  EXPECT_EQ(m_.ui().pickers_shown, 1);
}

// That a cancelled picker ends with Done and no server contact is
// QvinitTest.CancelledPickerEndsWithDoneAndContactsNoServer's.
TEST_F(StartupTest, ThePickersCloseBoxKeepsTheFolderOfAnEarlierPick) {
  PickOnOk(R"(C:\Windows)");
  ASSERT_TRUE(Online(false, "COPYONLY").ok());
  m_.ui().picker_script = nullptr;
  ASSERT_TRUE(Online(false, "COPYONLY").ok());
  EXPECT_EQ(gsCopyFolder, "C:\\Windows\\");
  EXPECT_TRUE(control_.tmrComInstall->enabled());
}

TEST_F(StartupTest, LocalRunOpensTheSavedList) {
  ASSERT_TRUE(m_.platform().files->CreateDirectory(R"(C:\Local)").ok());
  ASSERT_TRUE(server_.list.save(R"(C:\Local\installlist.rst)").ok());
  control_.msLoginID = "kept";
  ASSERT_TRUE(control_.StartupLocal(R"(C:\Local)").ok());
  EXPECT_TRUE(control_.mbLocalMode);
  EXPECT_FALSE(control_.mbCopyOnly);
  EXPECT_FALSE(control_.mbDevLogin);
  EXPECT_EQ(control_.miPreludeStep, 1);
  EXPECT_EQ(control_.msDownloadLocation, "C:\\Local\\");
  EXPECT_EQ(control_.msLoginID, "kept");
  EXPECT_EQ(control_.mrsInstallList->recordcount(), 2);  // no filter
  EXPECT_THAT(m_.ui().messages, ElementsAre(kStart, kList, kRun));
  EXPECT_FALSE(gbRebootNeeded);
  EXPECT_TRUE(control_.tmrComInstall->enabled());
  EXPECT_THAT(server_.calls, IsEmpty());

  // Separators: kept when there, one added otherwise.
  ASSERT_TRUE(control_.StartupLocal("C:\\Local\\").ok());
  EXPECT_EQ(control_.msDownloadLocation, "C:\\Local\\");
  ASSERT_TRUE(Online(false, "1", false, "http://f.test\\").ok());
  EXPECT_EQ(control_.msDownloadLocation, "http://f.test\\/");
  ASSERT_TRUE(Online(false, "1", false, "").ok());
  EXPECT_EQ(control_.msDownloadLocation, "/");
}

// ---- The folder picker ----

class PickDirTest : public ::testing::Test {
 protected:
  PickDirTest() {
    gsCopyFolder = "before\\";
    m_.WriteFile(R"(C:\Temp\keep.txt)", "x");
    m_.WriteFile(R"(C:\Data\sub\f.txt)", "x");
  }
  frmPickDir& Form() {
    frmPickDir& form = frmPickDir::Instance();
    form.Form_Load();
    return form;
  }
  TestMachine m_;
};

TEST_F(PickDirTest, OkAlwaysAppendsOneSeparatorAndCancelClears) {
  frmPickDir& form = Form();
  EXPECT_EQ(form.SelectedDrive(), 'C');
  EXPECT_EQ(form.CurrentDirCaption(), "C:\\");  // the design caption until a change
  form.OpenFolder(R"(c:\data)");
  EXPECT_EQ(form.DirPath(), R"(C:\Data)");
  EXPECT_EQ(form.CurrentDirCaption(), R"(C:\Data)");
  EXPECT_THAT(form.DirEntries(), ElementsAre("sub"));
  form.PressOK();
  EXPECT_TRUE(form.Closed());
  EXPECT_EQ(gsCopyFolder, "C:\\Data\\");

  Form().OpenFolder("C:\\");
  frmPickDir::Instance().PressOK();
  EXPECT_EQ(gsCopyFolder, "C:\\\\");

  frmPickDir& again = Form();
  EXPECT_FALSE(again.Closed());
  again.OpenFolder(R"(C:\Missing)");  // cannot be opened: nothing changes
  EXPECT_EQ(again.CurrentDirCaption(), "C:\\");
  again.PressCancel();
  EXPECT_EQ(gsCopyFolder, "");
}

TEST_F(PickDirTest, CreateFolderJoinsPathAndNameAndReportsFailures) {
  frmPickDir& form = Form();
  form.OpenFolder("C:\\");
  m_.ui().input_answers = {"New Folder"};
  form.PressMakeDir();
  EXPECT_TRUE(m_.Exists(R"(C:\New Folder)"));
  ASSERT_EQ(m_.ui().input_prompts.size(), 1u);
  EXPECT_EQ(m_.ui().input_prompts[0], "Enter the directory name to be created.");
  EXPECT_EQ(form.DirPath(), "C:\\");  // the new folder is not entered

  form.OpenFolder(R"(C:\Temp)");
  m_.ui().input_answers = {"Inner"};
  form.PressMakeDir();
  EXPECT_TRUE(m_.Exists(R"(C:\Temp\Inner)"));
  EXPECT_THAT(form.DirEntries(), ElementsAre("Inner"));

  // An existing name fails and says so; the list is refreshed anyway.
  const int refreshes = form.RefreshCount();
  m_.ui().input_answers = {"Inner"};
  form.PressMakeDir();
  ASSERT_EQ(m_.ui().boxes.size(), 1u);
  EXPECT_EQ(m_.ui().boxes[0].text, "Invalid folder name");
  EXPECT_EQ(m_.ui().boxes[0].title, "Error");
  EXPECT_EQ(m_.ui().boxes[0].style, 48);
  EXPECT_EQ(form.RefreshCount(), refreshes + 1);

  // An empty answer (or a cancelled box) does nothing, not even a refresh.
  form.PressMakeDir();
  EXPECT_EQ(form.RefreshCount(), refreshes + 1);
  EXPECT_EQ(m_.ui().boxes.size(), 1u);
  EXPECT_FALSE(form.Closed());
  EXPECT_EQ(gsCopyFolder, "before\\");
}

}  // namespace
}  // namespace qv::testing
