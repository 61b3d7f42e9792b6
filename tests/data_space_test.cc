// The remote data space on libcurl against a loopback server that answers as
// the business objects do, and as broken servers do.
#include "platform/curl/curl_data_space.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <thread>

namespace qv {
namespace {

class AnswerServer {
 public:
  AnswerServer() {
    server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      last_path = req.path;
      last_request = nlohmann::json::parse(req.body, nullptr, false);
      res.status = status;
      res.set_content(answer, "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~AnswerServer() {
    server_.stop();
    thread_.join();
  }
  std::string Address(const std::string& path = "") const {
    return "127.0.0.1:" + std::to_string(port_) + path;  // no scheme: http
  }

  int status = 200;
  std::string answer;
  std::string last_path;
  nlohmann::json last_request;

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

class DataSpaceTest : public ::testing::Test {
 protected:
  ErrorInfo Call(const std::string& url, std::vector<std::string> args, CallResult* result) {
    std::unique_ptr<BusinessObject> object;
    ErrorInfo made = space_.CreateObject("QVBO_V2.Init", url, &object);
    if (!made.ok()) return made;
    return object->Call("LoginUser", &args, result);
  }
  AnswerServer server_;
  CurlDataSpace space_;
};

TEST_F(DataSpaceTest, PostsTheCallAndReadsEachKindOfResult) {
  CallResult result;
  server_.answer = R"({"result": "LID-1"})";
  ASSERT_TRUE(Call(server_.Address("/bo"), {"K", "a", "p", "r"}, &result).ok());
  EXPECT_EQ(server_.last_path, "/bo");
  EXPECT_EQ(server_.last_request,
            nlohmann::json::parse(R"({"object": "QVBO_V2.Init", "operation": "LoginUser",
                                     "arguments": ["K", "a", "p", "r"]})"));
  EXPECT_EQ(result.kind, CallResult::Kind::kText);
  EXPECT_EQ(result.text, "LID-1");

  server_.answer = R"({"result": {"format": "qv-installlist", "version": 1,
      "fields": [{"name": "FileName", "type": "string"}], "records": [["a.dll"], ["b.dll"]]}})";
  ASSERT_TRUE(Call(server_.Address(), {}, &result).ok());
  EXPECT_EQ(server_.last_path, "/");
  ASSERT_EQ(result.kind, CallResult::Kind::kRecordset);
  EXPECT_EQ(result.recordset->recordcount(), 2);
  EXPECT_EQ(result.recordset->Field("FileName").ToText(), "a.dll");

  server_.answer = R"({"result": null})";
  ASSERT_TRUE(Call(server_.Address(), {}, &result).ok());
  EXPECT_EQ(result.kind, CallResult::Kind::kNothing);
}

TEST_F(DataSpaceTest, ServerAndTransportFailuresBecomeErrors) {
  CallResult result;
  server_.status = 400;
  server_.answer = R"({"error": {"number": 21, "source": "QVBO_V2.Init", "description": "gone"}})";
  ErrorInfo error = Call(server_.Address(), {}, &result);
  EXPECT_EQ(error.number, 21);
  EXPECT_EQ(error.source, "QVBO_V2.Init");
  EXPECT_EQ(error.description, "gone");

  server_.status = 500;
  server_.answer = "<html>oops</html>";
  error = Call(server_.Address(), {}, &result);
  EXPECT_EQ(error.number, kErrorBadServerAnswer);
  EXPECT_EQ(error.source, kDataSpaceSource);

  server_.status = 200;
  server_.answer = R"({"result": {"format": "other"}})";
  EXPECT_EQ(Call(server_.Address(), {}, &result).number, kErrorBadServerAnswer);

  // Nothing listens on port 1; the proxy is made anyway and the call fails.
  error = Call("http://127.0.0.1:1/", {}, &result);
  EXPECT_EQ(error.number, kErrorServerUnreachable);
  EXPECT_NE(error.description.find("127.0.0.1:1"), std::string::npos);
  EXPECT_FALSE(Call("", {}, &result).ok());
}

}  // namespace
}  // namespace qv
