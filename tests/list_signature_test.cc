// Signing and trusting install lists: the server's signer and the client's
// judgement over the same list read back from other text, the base64 and
// time texts they use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "control/list_trust.h"
#include "installlist/list_signature.h"
#include "platform/base64.h"
#include "platform/recordset.h"
#include "platform/wall_clock.h"
#include "server/list_signer.h"
#include "server/signing_key.h"
#include "tests/qvinit_fixture.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using ::testing::HasSubstr;

TEST(Base64Test, EncodesAndDecodesTheStandardAlphabetOnly) {
  const struct {
    std::string bytes, text;
  } pairs[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
               {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"\xfb\xff\xbf", "+/+/"}};
  for (const auto& p : pairs) {
    EXPECT_EQ(Base64Encode(p.bytes), p.text);
    std::string decoded;
    EXPECT_TRUE(Base64Decode(p.text, &decoded)) << p.text;
    EXPECT_EQ(decoded, p.bytes);
  }
  for (const char* bad : {"Zg=", "Zg", "Zh==", "Zm9=", "-_-_", "Zm9v\n", "Z===", "=Zm9"}) {
    std::string decoded;
    EXPECT_FALSE(Base64Decode(bad, &decoded)) << bad;
  }
}

TEST(WallClockTest, UtcTextRoundTripsAndRefusesImpossibleTimes) {
  const struct {
    int64_t seconds;
    const char* text;
  } pairs[] = {{0, "1970-01-01T00:00:00Z"},
               {951782400, "2000-02-29T00:00:00Z"},
               {1796906399, "2026-12-10T12:39:59Z"},
               {-1, "1969-12-31T23:59:59Z"}};
  for (const auto& p : pairs) {
    EXPECT_EQ(FormatUtcTime(p.seconds), p.text);
    int64_t parsed = 0;
    EXPECT_TRUE(ParseUtcTime(p.text, &parsed)) << p.text;
    EXPECT_EQ(parsed, p.seconds);
  }
  for (const char* bad : {"2026-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-12-10T24:00:00Z",
                          "2026-12-10 12:00:00Z", "2026-12-10T12:00:00", "2026-12-10T12:00:00+01"}) {
    int64_t parsed = 0;
    EXPECT_FALSE(ParseUtcTime(bad, &parsed)) << bad;
  }
}

class ListTrustTest : public ::testing::Test {
 protected:
  ListTrustTest() : dir_(MakeTempDir("list-trust")) {
    EXPECT_TRUE(server::GenerateSigningKey(dir_ + "/keys", &public_key_).ok());
    EXPECT_TRUE(server::GenerateSigningKey(dir_ + "/other", &other_key_).ok());
    EXPECT_TRUE(
        server::ListSigner::Load(dir_ + "/keys/list-signing.key", 3600, &signer_).ok());
  }
  ~ListTrustTest() override { RemoveTree(dir_); }

  std::string dir_;
  std::string public_key_, other_key_;
  std::unique_ptr<server::ListSigner> signer_;
};

TEST_F(ListTrustTest, TheSignatureCoversTheListNotItsText) {
  const int64_t now = 1796901600;  // 2026-12-10T11:20:00Z
  // A field the reader does not know rides along and is signed too.
  std::string document = ListDocument({{1, "a.dll", "a/a.dll", 1, "1.0", "<sys>"},
                                       {9999, "go.exe", "go.exe", 0, "2", ""}});
  nlohmann::json with_extra = nlohmann::json::parse(document);
  with_extra["fields"].push_back({{"name", "Later"}, {"type", "number"}});
  for (auto& record : with_extra["records"]) record.push_back(0.1);
  std::string signed_text;
  ASSERT_TRUE(signer_->Sign(with_extra.dump(), 5, now, &signed_text).ok());
  const nlohmann::json signed_json = nlohmann::json::parse(signed_text);
  EXPECT_EQ(signed_json["signature"]["expires"], "2026-12-10T12:20:00Z");
  EXPECT_EQ(signed_json["signature"]["serial"], 5);

  using Edit = std::function<void(nlohmann::json&)>;
  const struct {
    const char* name;
    Edit edit;
    const std::string* key;
    int64_t newest_serial, at;
    const char* reason;  // "" for a trusted list
  } cases[] = {
      {"as signed", nullptr, &public_key_, -1, now, ""},
      // Other text, the same list: keys reordered, 1 written as 1.0,
      // another indentation.
      {"reformatted", [](nlohmann::json& j) { j["records"][0][0] = 1.0; }, &public_key_, -1, now,
       ""},
      {"same serial used before", nullptr, &public_key_, 5, now, ""},
      {"a value changed", [](nlohmann::json& j) { j["records"][1][1] = "evil.exe"; },
       &public_key_, -1, now, "its signature does not match"},
      {"a record dropped", [](nlohmann::json& j) { j["records"].erase(0); }, &public_key_, -1,
       now, "its signature does not match"},
      {"a field's type changed", [](nlohmann::json& j) { j["fields"][11]["type"] = "string";
                                                         j["records"][0][11] = "0.1";
                                                         j["records"][1][11] = "0.1"; },
       &public_key_, -1, now, "its signature does not match"},
      {"serial raised", [](nlohmann::json& j) { j["signature"]["serial"] = 9; }, &public_key_, 7,
       now, "its signature does not match"},
      {"expiry moved", [](nlohmann::json& j) { j["signature"]["expires"] = "2027-12-10T12:20:00Z"; },
       &public_key_, -1, now + 7200, "its signature does not match"},
      {"another key trusted", nullptr, &other_key_, -1, now, "its signature does not match"},
      {"expired", nullptr, &public_key_, -1, now + 3600, "it expired on 2026-12-10T12:20:00Z"},
      {"older than used", nullptr, &public_key_, 6, now, "it is older than one already used"},
      {"unsigned", [](nlohmann::json& j) { j.erase("signature"); }, &public_key_, -1, now,
       "it is not signed"},
      {"signature unreadable", [](nlohmann::json& j) { j["signature"]["value"] = "%%"; },
       &public_key_, -1, now, "its signature cannot be read"},
  };
  const std::string bad_key = "not a key";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json edited = signed_json;
    if (c.edit) c.edit(edited);
    Recordset list;
    ASSERT_TRUE(list.ParseJson(edited.dump(3)).ok());
    const ListTrustVerdict verdict = JudgeListTrust(list, *c.key, c.newest_serial, c.at);
    EXPECT_EQ(verdict.trusted, *c.reason == '\0') << verdict.reason;
    EXPECT_THAT(verdict.reason, HasSubstr(c.reason));
    if (verdict.trusted) {
      EXPECT_EQ(verdict.serial, 5);
    }
  }
  Recordset list;
  ASSERT_TRUE(list.ParseJson(signed_text).ok());
  EXPECT_THAT(JudgeListTrust(list, "AAAA", -1, now).reason, HasSubstr("is not a public key"));
}

}  // namespace
}  // namespace qv::testing
