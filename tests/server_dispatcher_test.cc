// The business-object calls as the dispatcher answers them: each operation
// of both objects, the login ID errors, and requests it refuses without
// changing anything.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "installlist/install_list.h"
#include "platform/recordset.h"
#include "server/dispatcher.h"
#include "tests/server_fixture.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

using Json = nlohmann::json;

// The body of a call.
constexpr auto Call = &testing::BusinessCall;

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() : dir_(testing::MakeTempDir("qvdispatch")) {
    storage_ = testing::OpenStorage(dir_ + "/server.db", Storage::Mode::kCreate);
    EXPECT_TRUE(storage_ && storage_->AddUser("KEY", "ann", "pw", false).ok());
    objects_ = std::make_unique<BusinessObjects>(storage_.get());
  }
  ~DispatcherTest() override {
    objects_.reset();
    storage_.reset();
    testing::RemoveTree(dir_);
  }

  // The answer parsed; fails the test when it is not JSON.
  Json Answer(const std::string& body, int expected_status = 200) {
    const HttpAnswer answer = Dispatch(*objects_, body);
    EXPECT_EQ(answer.status, expected_status) << body << " -> " << answer.Body();
    EXPECT_EQ(answer.size(), answer.Body().size());
    Json parsed = Json::parse(answer.Body(), nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << answer.Body();
    return parsed;
  }
  std::string Login(const std::string& object = kV2ObjectId) {
    return Answer(Call(object, "LoginUser", {"KEY", "ann", "pw", "192.0.2.7"}))["result"];
  }
  int64_t Rows(const std::string& table) {
    sqlite3* db = nullptr;
    sqlite3_open((dir_ + "/server.db").c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, ("SELECT count(*) FROM " + table).c_str(), -1, &statement, nullptr);
    const int64_t count =
        sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return count;
  }

  std::string dir_;
  std::unique_ptr<Storage> storage_;
  std::unique_ptr<BusinessObjects> objects_;
};

TEST_F(DispatcherTest, BothObjectsLogInListAndTakeNotes) {
  for (const char* object : {kGeneralObjectId, kV2ObjectId}) {
    SCOPED_TRACE(object);
    const std::string id = Login(object);
    EXPECT_EQ(id.size(), 32u);

    // No list imported: the standard fields and no records.
    Json list = Answer(Call(object, "GetInstallFiles", {id}))["result"];
    Recordset parsed;
    ASSERT_TRUE(parsed.ParseJson(list.dump()).ok()) << list.dump();
    EXPECT_TRUE(ValidateInstallList(parsed).ok());
    EXPECT_EQ(parsed.fields().size(), NewInstallList().fields().size());
    EXPECT_EQ(parsed.recordcount(), 0);

    const Json done = Answer(Call(object, "WriteLoginNotes", {id, "Memory Load = %12\r\n"}));
    EXPECT_TRUE(done.contains("result") && done["result"].is_null()) << done;
  }
  std::vector<LoginNote> notes;
  ASSERT_TRUE(storage_->ListLoginNotes(&notes).ok());
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].text, "Memory Load = %12\r\n");

  // An imported list comes back record for record.
  Recordset list = NewInstallList();
  InstallRecord record;
  record.sequence_id = 9999;
  record.file_name = "client.exe";
  record.download_location = "bin/client.exe";
  record.install_type = 2;
  record.file_version = "1.2.3.4";
  ASSERT_TRUE(AppendInstallRecord(&list, record).ok());
  ASSERT_TRUE(storage_->PutInstallList("KEY", list.ToJson()).ok());
  const std::string id = Login();
  const auto served = [&] {
    Recordset parsed;
    EXPECT_TRUE(
        parsed.ParseJson(Answer(Call(kV2ObjectId, "GetInstallFiles", {id}))["result"].dump()).ok());
    return parsed.ToJson();
  };
  EXPECT_EQ(served(), list.ToJson());
  EXPECT_EQ(served(), list.ToJson());

  // A list imported meanwhile (here or by another process) is served next.
  record.file_name = "other.exe";
  ASSERT_TRUE(AppendInstallRecord(&list, record).ok());
  ASSERT_TRUE(storage_->PutInstallList("KEY", list.ToJson()).ok());
  EXPECT_EQ(served(), list.ToJson());
}

TEST_F(DispatcherTest, RefusedLoginIsAnEmptyTextAndBadIdsAreError21) {
  EXPECT_EQ(Answer(Call(kGeneralObjectId, "LoginUser", {"KEY", "ann", "wrong", ""})),
            Json({{"result", ""}}));
  EXPECT_EQ(Answer(Call(kGeneralObjectId, "LoginUser", {"KEY", "nobody", "pw", ""})),
            Json({{"result", ""}}));
  EXPECT_EQ(Rows("logins"), 0);

  for (const char* operation : {"GetInstallFiles", "WriteLoginNotes"}) {
    const Json arguments = std::string(operation) == "GetInstallFiles"
                               ? Json{"feedfacefeedfacefeedfacefeedface"}
                               : Json{"feedfacefeedfacefeedfacefeedface", "report"};
    const Json answer = Answer(Call(kV2ObjectId, operation, arguments));
    EXPECT_EQ(answer, Json({{"error",
                             {{"number", 21},
                              {"source", "QVBO_V2.Init"},
                              {"description", "The login ID is not valid or has expired."}}}}));
  }
  EXPECT_EQ(Rows("login_notes"), 0);
}

TEST_F(DispatcherTest, RefusesRequestsItCannotTakeAndChangesNothing) {
  const std::string id = Login();
  const int64_t logins = Rows("logins");
  struct Case {
    std::string body;
    int number;
  };
  const Case cases[] = {
      {"{\"object\": \"QVBO_V2.Init\", ", kErrorInvalidCall},
      {"[1, 2]", kErrorInvalidCall},
      {"", kErrorInvalidCall},
      {R"({"operation": "LoginUser", "arguments": []})", kErrorInvalidCall},
      {R"({"object": "QVBO_V2.Init", "operation": "WriteLoginNotes"})", kErrorInvalidCall},
      {R"({"object": "QVBO_V2.Init", "operation": "WriteLoginNotes", "arguments": "x"})",
       kErrorInvalidCall},
      {Call("QVBO_V3.Init", "LoginUser", {"KEY", "ann", "pw", ""}), kErrorCannotCreateObject},
      {Call("qvbo_v2.init", "LoginUser", {"KEY", "ann", "pw", ""}), kErrorCannotCreateObject},
      {Call(kV2ObjectId, "loginuser", {"KEY", "ann", "pw", ""}), kErrorNoSuchOperation},
      {Call(kV2ObjectId, "DeleteUser", {"KEY", "ann"}), kErrorNoSuchOperation},
      {Call(kV2ObjectId, "LoginUser", {"KEY", "ann", "pw"}), kErrorWrongArgumentCount},
      {Call(kV2ObjectId, "WriteLoginNotes", {id, "note", "extra"}), kErrorWrongArgumentCount},
      {Call(kV2ObjectId, "WriteLoginNotes", {id}), kErrorWrongArgumentCount},
      {Call(kV2ObjectId, "LoginUser", {"KEY", "ann", 42, ""}), kErrorTypeMismatch},
      {Call(kV2ObjectId, "WriteLoginNotes", {id, nullptr}), kErrorTypeMismatch},
  };
  for (const Case& c : cases) {
    const Json answer = Answer(c.body, 400);
    EXPECT_EQ(answer["error"]["number"], c.number) << c.body;
    EXPECT_TRUE(answer["error"]["description"].is_string());
  }
  const HttpAnswer too_large = Dispatch(
      *objects_, Call(kV2ObjectId, "WriteLoginNotes", {id, std::string(kMaxRequestBytes, 'x')}));
  EXPECT_EQ(too_large.status, 413);
  EXPECT_EQ(Json::parse(too_large.Body())["error"]["number"], kErrorRequestTooLarge);

  EXPECT_EQ(Rows("logins"), logins);
  EXPECT_EQ(Rows("login_notes"), 0);
}

}  // namespace
}  // namespace qv::server
