// The remote data space's wire form without a transport: the address a call
// goes to and how each kind of answer is read.
#include "platform/data_space_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qv {
namespace {

TEST(DataSpaceProtocolTest, AnAddressWithoutSchemeIsHttp) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bo.test/x", "http://bo.test/x"},
      {"127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"https://bo.test/", "https://bo.test/"},
      {"http://bo.test", "http://bo.test"}};
  for (const auto& [given, endpoint] : cases) EXPECT_EQ(BusinessObjectEndpoint(given), endpoint);
}

TEST(DataSpaceProtocolTest, AnswersAreReadWhateverTheOrderOfTheirParts) {
  const std::string list =
      R"({"format": "qv-installlist", "version": 1,)"
      R"( "fields": [{"name": "FileName", "type": "string"}], "records": [["a.dll"]]})";
  const std::string late_fields = R"({"records": [["b.dll"]], "more": {"records": 1},)"
                                  R"( "fields": [{"name": "FileName", "type": "string"}],)"
                                  R"( "format": "qv-installlist", "version": 1})";
  const std::string error = R"({"number": 21, "source": "S", "description": "gone"})";
  struct Case {
    std::string answer;
    CallResult::Kind kind;
    std::string text;  // the text, the first file name, or a part of the error
    std::string argument = "in";
    long status = 200;
  };
  const std::vector<Case> cases = {
      {R"({"result": )" + list + R"(, "arguments": ["out"]})", CallResult::Kind::kRecordset,
       "a.dll", "out"},
      {R"({"arguments": ["out"], "result": )" + late_fields + "}", CallResult::Kind::kRecordset,
       "b.dll", "out"},
      {R"({"result": )" + list + R"(, "result": "last"})", CallResult::Kind::kText, "last"},
      {R"({"result": [1, {"a": "b"}]})", CallResult::Kind::kText, R"([1,{"a":"b"}])"},
      {R"({"result": -2.5})", CallResult::Kind::kText, "-2.5"},
      {R"({"result": false})", CallResult::Kind::kText, "False"},
      {R"({"result": null, "arguments": ["a", "b"]})", CallResult::Kind::kNothing, ""},
      {R"({"result": )" + list + R"(, "error": )" + error + "}", CallResult::Kind::kNothing,
       "gone"},
      {R"({"result": "x"})", CallResult::Kind::kNothing, "HTTP status 503", "in", 503},
      {R"({"result": )" + list, CallResult::Kind::kNothing, "not a JSON object"},
      {R"({"result": {"format": "qv-installlist", "version": 1, "fields": [], "records": [1]}})",
       CallResult::Kind::kNothing, "record 1 is not an array"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    CallResult result;
    std::vector<std::string> args = {"in"};
    const ErrorInfo e = ReadAnswer("http://bo.test/", c.status, c.answer, &args, &result);
    EXPECT_EQ(result.kind, c.kind);
    EXPECT_EQ(args[0], c.argument);
    if (!e.ok()) {
      EXPECT_THAT(e.description, ::testing::HasSubstr(c.text));
    } else if (c.kind == CallResult::Kind::kRecordset) {
      EXPECT_EQ(result.recordset->Field("FileName").ToText(), c.text);
    } else {
      EXPECT_EQ(result.text, c.text);
    }
  }
}

}  // namespace
}  // namespace qv
