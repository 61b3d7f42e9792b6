// Field values and their conversions; the recordset's cursor, field lookup,
// filter and document; saving and opening a list on a sandbox machine.
#include "platform/recordset.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "platform/variant.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using ::testing::HasSubstr;

Variant I(int64_t v) { return Variant::Integer(v); }
Variant N(double v) { return Variant::Number(v); }
Variant T(const std::string& v) { return Variant::Text(v); }
Variant B(bool v) { return Variant::Boolean(v); }
Variant Null() { return Variant::Null(); }

// ---- Variant ----------------------------------------------------------------

TEST(VariantTest, TextNumbersAndZeroOfEveryKind) {
  struct Case {
    Variant value;
    const char* text;
    bool is_number;
    double number;
    bool zero, non_zero;
  };
  const std::vector<Case> cases = {
      {Null(), "", false, 0, false, false},
      {I(-42), "-42", true, -42, false, true},
      {I(0), "0", true, 0, true, false},
      {N(3.0), "3", true, 3, false, true},
      {N(-0.0), "0", true, 0, true, false},
      {N(1.5e6), "1500000", true, 1.5e6, false, true},
      {N(1e-5), "0.00001", true, 1e-5, false, true},
      {B(true), "True", true, -1, false, true},
      {B(false), "False", true, 0, true, false},
      {T(" 0.0 "), " 0.0 ", true, 0, true, false},
      {T("-.5"), "-.5", true, -0.5, false, true},
      {T("+7.e1"), "+7.e1", true, 70, false, true},
      {T("yes"), "yes", false, 0, false, true},
  };
  for (const Case& c : cases) {
    double out = 99;
    EXPECT_EQ(c.value.ToText(), c.text);
    EXPECT_EQ(c.value.ToDouble(&out), c.is_number) << c.text;
    EXPECT_EQ(out, c.number) << c.text;
    EXPECT_EQ(c.value.ToNumber(), c.number) << c.text;
    EXPECT_EQ(c.value.IsZero(), c.zero) << c.text;
    EXPECT_EQ(c.value.IsNonZero(), c.non_zero) << c.text;
  }
  for (const char* text : {"", " ", "inf", "nan", "0x10", "1e", "--1", "1 2", ".", "1e999"}) {
    double out = 0;
    EXPECT_FALSE(T(text).ToDouble(&out)) << text;
  }
}

TEST(VariantTest, ToInt16RoundsHalfToEvenAndReportsFailures) {
  struct Case {
    Variant value;
    bool ok;
    int16_t expected;
  };
  const std::vector<Case> cases = {
      {N(2.5), true, 2},     {N(3.5), true, 4},          {N(-2.5), true, -2},
      {N(2.51), true, 3},    {B(true), true, -1},        {T(" 4.5 "), true, 4},
      {I(-32768), true, -32768}, {N(32767.4), true, 32767},
      {I(32768), false, 0},  {N(32767.5), false, 0},     {N(NAN), false, 0},
      {Null(), false, 0},    {T(""), false, 0},          {T("two"), false, 0},
  };
  for (const Case& c : cases) {
    int16_t out = 99;
    EXPECT_EQ(c.value.ToInt16(&out), c.ok) << c.value.ToText();
    EXPECT_EQ(out, c.expected) << c.value.ToText();
  }
}

// ---- Cursor and fields ---------------------------------------------------

// Every record's values, whatever the filter.
std::vector<std::vector<Variant>> Records(const Recordset& rs) {
  std::vector<std::vector<Variant>> records;
  for (size_t i = 0; i < rs.total_records(); ++i) records.push_back(rs.RecordValues(i));
  return records;
}

Recordset MakeList(const std::vector<std::vector<Variant>>& records) {
  Recordset rs;
  EXPECT_TRUE(rs.AddField("Name", FieldType::kString).ok());
  EXPECT_TRUE(rs.AddField("IsQVObject", FieldType::kBoolean).ok());
  EXPECT_TRUE(rs.AddField("Size", FieldType::kInteger).ok());
  for (const auto& r : records) EXPECT_TRUE(rs.AddRecord(r).ok());
  return rs;
}

// The names of the visible records, walking from the current one, checking
// the position of each on the way.
std::vector<std::string> Walk(Recordset& rs) {
  std::vector<std::string> names;
  while (!rs.Eof()) {
    EXPECT_EQ(rs.AbsolutePosition(), static_cast<int32_t>(names.size() + 1));
    names.push_back(rs.Field("name").ToText());
    EXPECT_TRUE(rs.MoveNext().ok());
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(rs.recordcount()));
  return names;
}

TEST(RecordsetCursorTest, WalksEmptyOneAndManyInOrder) {
  Recordset empty = MakeList({});
  EXPECT_TRUE(empty.Eof());
  EXPECT_EQ(empty.AbsolutePosition(), kPositionEof);
  EXPECT_FALSE(empty.MoveNext().ok());
  Variant v = T("stale");
  EXPECT_EQ(empty.Value("Name", &v).code(), kErrorNoMoreItems);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(Walk(empty), std::vector<std::string>());

  Recordset one = MakeList({{T("a"), B(false), I(1)}});
  EXPECT_EQ(Walk(one), std::vector<std::string>({"a"}));
  EXPECT_FALSE(one.MoveNext().ok());
  EXPECT_TRUE(one.Eof());

  Recordset many = MakeList(
      {{T("c"), B(false), I(1)}, {T("a"), B(true), I(2)}, {T("b"), Null(), I(3)}});
  EXPECT_EQ(Walk(many), std::vector<std::string>({"c", "a", "b"}));
  many.MoveFirst();
  EXPECT_EQ(many.Field("size").integer_value(), 1);
}

TEST(RecordsetCursorTest, FieldsMatchWithoutCaseAndValuesSuitThem) {
  Recordset rs;
  ASSERT_TRUE(rs.AddField("IsCompressed", FieldType::kBoolean).ok());
  ASSERT_TRUE(rs.AddField("Whole", FieldType::kInteger).ok());
  ASSERT_TRUE(rs.AddField("Real", FieldType::kNumber).ok());
  EXPECT_FALSE(rs.AddField("ISCOMPRESSED", FieldType::kInteger).ok());
  EXPECT_FALSE(rs.AddField("", FieldType::kInteger).ok());
  for (const std::vector<Variant>& bad :
       {std::vector<Variant>{B(true), I(1)}, {I(1), I(1), N(1)},
        {B(true), T("1"), N(1)}, {B(true), N(1.5), N(1)}}) {
    EXPECT_FALSE(rs.AddRecord(bad).ok());
  }
  EXPECT_EQ(rs.total_records(), 0u);
  ASSERT_TRUE(rs.AddRecord({B(true), N(3.0), I(2)}).ok());
  EXPECT_FALSE(rs.AddField("Late", FieldType::kInteger).ok());

  EXPECT_EQ(rs.Field("IsCompressed"), B(true));
  EXPECT_EQ(rs.Field("isCompressed"), B(true));
  EXPECT_EQ(rs.Field("whole"), I(3));
  EXPECT_EQ(rs.Field("REAL"), N(2.0));
  Variant v = B(false);
  Status s = rs.Value("Compressed", &v);
  EXPECT_THAT(s.message(), HasSubstr("Compressed"));
  EXPECT_TRUE(v.IsNull());
}

// ---- Filter ---------------------------------------------------------------

class RecordsetFilterTest : public ::testing::Test {
 protected:
  Recordset rs_ = MakeList({{T("core"), B(true), I(10)},
                            {T("Alpha"), B(false), I(-5)},
                            {T("unset"), Null(), Null()},
                            {T("beta"), B(false), I(0)},
                            {T("tool"), B(true), I(7)},
                            {T("o'brien"), B(false), I(20)}});
};

TEST_F(RecordsetFilterTest, ComparisonsAndLiterals) {
  struct Case {
    const char* filter;
    std::vector<std::string> expected;
  };
  // Walk() checks that positions run from 1 to recordcount.
  ASSERT_TRUE(rs_.MoveNext().ok());
  const std::vector<Case> cases = {
      {"IsQVObject = 0", {"Alpha", "beta", "o'brien"}},
      {"IsQVObject <> 0", {"core", "tool"}},
      {"IsQVObject = True", {"core", "tool"}},
      {"isqvobject=false", {"Alpha", "beta", "o'brien"}},
      {"IsQVObject = 1", {}},
      {"Size > 0", {"core", "tool", "o'brien"}},
      {"Size < -4.5", {"Alpha"}},
      {"Size = '10'", {"core"}},
      {"Name = 'ALPHA'", {"Alpha"}},
      {"[Name] = 'O''Brien'", {"o'brien"}},
      {"Name > 'c'", {"core", "unset", "tool", "o'brien"}},
      {"  Name   <>   'core'  ", {"Alpha", "unset", "beta", "tool", "o'brien"}},
      {"Size > 100", {}},
      {"", {"core", "Alpha", "unset", "beta", "tool", "o'brien"}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(rs_.SetFilter(c.filter).ok()) << c.filter;
    EXPECT_EQ(Walk(rs_), c.expected) << c.filter;
  }
}

TEST_F(RecordsetFilterTest, RefusedFilterKeepsViewAndCursor) {
  ASSERT_TRUE(rs_.SetFilter("IsQVObject = 0").ok());
  ASSERT_TRUE(rs_.MoveNext().ok());
  for (const char* bad : {"Missing = 0", "IsQVObject = 0 AND Size = 1",
                          "Name LIKE 'a*'", "Name = alpha", "Size = 'ten'",
                          "IsQVObject = Null", "Name = 'open", "[Name = 'x'",
                          "= 0", "Size =", "Size == 1"}) {
    Status s = rs_.SetFilter(bad);
    EXPECT_FALSE(s.ok()) << bad;
    EXPECT_EQ(s.code(), kErrorInvalidParameter) << bad;
    EXPECT_EQ(rs_.Filter(), "IsQVObject = 0");
    EXPECT_EQ(rs_.recordcount(), 3);
    EXPECT_EQ(rs_.AbsolutePosition(), 2);
  }
}

// ---- Document ---------------------------------------------------------------

constexpr char kExample[] = R"({
  "format": "qv-installlist",
  "version": 1,
  "fields": [
    {"name": "SequenceID", "type": "integer"},
    {"name": "FileName", "type": "string"},
    {"name": "IsQVObject", "type": "boolean"}
  ],
  "records": [
    [1, "x.dll", false],
    [9999, "client.exe", null]
  ]
}
)";

TEST(RecordsetJsonTest, ReadsAndWritesTheDocumentLayout) {
  Recordset rs;
  ASSERT_TRUE(rs.ParseJson(kExample).ok());
  ASSERT_EQ(rs.fields().size(), 3u);
  EXPECT_EQ(rs.fields()[2].type, FieldType::kBoolean);
  EXPECT_EQ(rs.Field("FileName"), T("x.dll"));
  EXPECT_EQ(rs.ToJson(), kExample);

  Recordset empty;
  ASSERT_TRUE(empty.ParseJson(R"({"format":"qv-installlist","version":1,)"
                              R"("fields":[],"records":[]})").ok());
  EXPECT_TRUE(empty.Eof());
  EXPECT_TRUE(empty.ParseJson(empty.ToJson()).ok());
}

TEST(RecordsetJsonTest, ReadsTheSameListWhateverTheOrderOfTheParts) {
  const std::string fields =
      R"("fields": [{"name": "SequenceID", "type": "integer"}, {"name": "FileName", "type": "string"},)"
      R"( {"name": "IsQVObject", "type": "boolean"}])";
  const std::string records = R"("records": [[1, "x.dll", false], [9999.0, "client.exe", null]])";
  const std::string head = R"("format": "qv-installlist", "version": 1)";
  for (const std::string& text : {
           "{" + records + ", " + fields + ", " + head + "}",
           // Unknown keys are kept aside; a key given twice keeps its last value.
           "{\"x\": {\"records\": [1]}, " + head + ", \"records\": [[\"a\"]], " + fields +
               ", \"y\": [[], {}], " + records + "}",
           "{" + head + ", \"fields\": [{\"name\": \"A\", \"type\": \"date\"}], " + records + ", " +
               fields + "}",
       }) {
    Recordset rs;
    ASSERT_TRUE(rs.ParseJson(text).ok()) << rs.ParseJson(text).message() << "\n" << text;
    std::string content;
    ASSERT_TRUE(rs.WriteContentJson([&](std::string_view piece) {
                    content.append(piece);
                    return Status::OK();
                  }).ok());
    EXPECT_EQ(content, kExample) << text;
  }
}

TEST(RecordsetJsonTest, KeepsUnknownTopLevelKeysAndWritesThemAgain) {
  const std::string head = R"({"format":"qv-installlist","version":1,)"
                           R"("fields":[{"name":"A","type":"integer"}],"records":[[1]])";
  Recordset rs;
  ASSERT_TRUE(rs.ParseJson(head + R"(,"z":{"b":[1,2.5,null],"a":"t"},"n":null,"x":1,"x":true})")
                  .ok());
  ASSERT_NE(rs.ExtraKey("z"), nullptr);
  EXPECT_EQ(*rs.ExtraKey("z"), R"({"a":"t","b":[1,2.5,null]})");
  EXPECT_EQ(*rs.ExtraKey("n"), "null");
  EXPECT_EQ(*rs.ExtraKey("x"), "true");
  EXPECT_EQ(rs.ExtraKey("Z"), nullptr);  // keys match exactly

  // Written after the records, in the order read, and read back the same.
  const std::string saved = rs.ToJson();
  EXPECT_LT(saved.find("\"records\""), saved.find("\"z\""));
  EXPECT_LT(saved.find("\"z\""), saved.find("\"n\""));
  Recordset again;
  ASSERT_TRUE(again.ParseJson(saved).ok());
  EXPECT_EQ(again.ToJson(), saved);

  rs.SetExtraKey("x", "[3]");
  rs.RemoveExtraKey("z");
  rs.SetExtraKey("w", "{}");
  EXPECT_EQ(rs.ToJson().substr(rs.ToJson().find("\"n\"")),
            "\"n\": null,\n  \"x\": [3],\n  \"w\": {}\n}\n");
  rs.Clear();
  EXPECT_EQ(rs.ExtraKey("n"), nullptr);
}

TEST(RecordsetJsonTest, RefusesBadDocumentsAndKeepsContents) {
  const std::string head = R"({"format":"qv-installlist","version":1,)"
                           R"("fields":[{"name":"A","type":"integer"},)"
                           R"({"name":"B","type":"string"}],"records":)";
  struct Case {
    std::string text;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"", "JSON"},
      {R"({"format":"other","version":1,"fields":[],"records":[]})", "other"},
      {R"({"format":"qv-installlist","version":2,"fields":[],"records":[]})", "newer"},
      {R"({"format":"qv-installlist","version":1,"records":[]})", "fields"},
      {R"({"format":"qv-installlist","version":1,"fields":[{"name":"A","type":"date"}],"records":[]})",
       "type"},
      {R"({"format":"qv-installlist","version":1,"fields":[{"name":"A","type":"string"},)"
       R"({"name":"a","type":"string"}],"records":[]})",
       "already"},
      {head + "[[1]]}", "record 1 has 1 values for 2 fields"},
      {head + "[[1,\"x\"],[1,\"x\",3]]}", "record 2 has 3"},
      {head + "[[\"1\",\"x\"]]}", "\"A\""},
      {head + "[[1.5,\"x\"]]}", "integer"},
      {head + "[[9223372036854775808,\"x\"]]}", "range"},
      {R"({"format":"qv-installlist","version":1,"fields":[{"name":"F","type":"boolean"}],)"
       R"("records":[[0]]})",
       "\"F\""},
      {head + "[[[1],\"x\"]]}", "found array"},
      {head + "[[1,\"x\"],{\"a\":1}]}", "record 2 is not an array"},
      // The first fault in the order of the checks, wherever it stands.
      {head + "[[\"1\",\"x\"]] ,}", "JSON"},
      {R"({"records":[["x"]],"fields":[],"version":1,"format":"other"})", "other"},
      {R"({"records":[[1,"x"],["y",2]],"format":"qv-installlist","version":1,)"
       R"("fields":[{"name":"A","type":"integer"},{"name":"B","type":"string"}]})",
       "record 2, field \"A\""},
  };
  Recordset rs;
  ASSERT_TRUE(rs.ParseJson(kExample).ok());
  const std::string before = rs.ToJson();
  for (const Case& c : cases) {
    Status s = rs.ParseJson(c.text);
    EXPECT_FALSE(s.ok()) << c.text;
    EXPECT_THAT(s.message(), HasSubstr(c.says)) << c.text;
    EXPECT_EQ(rs.ToJson(), before) << c.text;
  }
}

TEST(RecordsetJsonTest, ManyRecordsOfEverySizeKeepTheirValues) {
  // Enough records, some longer than a block of storage, to fill many.
  Recordset rs;
  ASSERT_TRUE(rs.AddField("N", FieldType::kInteger).ok());
  ASSERT_TRUE(rs.AddField("Text", FieldType::kString).ok());
  ASSERT_TRUE(rs.AddField("Real", FieldType::kNumber).ok());
  auto record = [](int i) {
    return std::vector<Variant>{I(i * 7919 - 50000),
                                T(std::string(i % 97 == 0 ? 70000 : i % 13, 'a' + i % 26)),
                                i % 5 ? N(i / 8.0) : Null()};
  };
  constexpr int kRecords = 3000;
  for (int i = 0; i < kRecords; ++i) ASSERT_TRUE(rs.AddRecord(record(i)).ok());
  Recordset parsed;
  ASSERT_TRUE(parsed.ParseJson(rs.ToJson()).ok());
  ASSERT_EQ(parsed.total_records(), static_cast<size_t>(kRecords));
  for (int i = 0; i < kRecords; ++i) ASSERT_EQ(parsed.RecordValues(i), record(i)) << i;
  ASSERT_TRUE(parsed.SetFilter("N >= 0").ok());
  EXPECT_EQ(parsed.recordcount(), kRecords - 7);  // 7919 * i >= 50000 from i = 7
  EXPECT_EQ(parsed.Field("n").integer_value(), 7 * 7919 - 50000);
}

// ---- Files on a machine ---------------------------------------------------

class RecordsetFileTest : public ::testing::Test {
 protected:
  testing::TestMachine machine_;
  const std::string folder_ = "C:\\Copy";
  const std::string path_ = "C:\\Copy\\installlist.rst";

  void SetUp() override {
    ASSERT_TRUE(CurrentPlatform().files->CreateDirectory(folder_).ok());
  }
};

TEST_F(RecordsetFileTest, SavedListOpensWithTheSameRecords) {
  Recordset rs;
  ASSERT_TRUE(rs.AddField("Text", FieldType::kString).ok());
  ASSERT_TRUE(rs.AddField("Whole", FieldType::kInteger).ok());
  ASSERT_TRUE(rs.AddField("Real", FieldType::kNumber).ok());
  ASSERT_TRUE(rs.AddField("IsQVObject", FieldType::kBoolean).ok());
  ASSERT_TRUE(rs.AddField("Not known to the control", FieldType::kString).ok());
  const std::vector<std::vector<Variant>> records = {
      {Null(), Null(), Null(), Null(), Null()},
      {T(""), I(0), N(0), B(false), T("")},
      {T("quote \" back\\slash \r\n \xC3\xA9"), I(INT64_MIN), N(-1.25e-300),
       B(true), T("kept")},
      {T("z"), I(INT64_MAX), N(3), B(true), Null()},
  };
  for (const auto& r : records) ASSERT_TRUE(rs.AddRecord(r).ok());
  ASSERT_TRUE(rs.SetFilter("IsQVObject = 0").ok());
  ASSERT_TRUE(rs.save(path_).ok());  // every record, whatever the filter

  Recordset opened;
  ASSERT_TRUE(opened.Open("c:/copy/INSTALLLIST.RST").ok());
  ASSERT_EQ(opened.fields().size(), rs.fields().size());
  for (size_t i = 0; i < rs.fields().size(); ++i) {
    EXPECT_EQ(opened.fields()[i].name, rs.fields()[i].name);
    EXPECT_EQ(opened.fields()[i].type, rs.fields()[i].type);
  }
  EXPECT_EQ(Records(opened), records);  // null, "", 0 and false stay apart
  EXPECT_EQ(opened.recordcount(), 4);
  EXPECT_EQ(opened.AbsolutePosition(), 1);

  Status missing = opened.Open("C:\\Copy\\nothing.rst");
  EXPECT_EQ(missing.code(), kErrorFileNotFound);
  EXPECT_THAT(missing.message(), HasSubstr("nothing.rst"));
  machine_.WriteFile(path_, "{\"format\": \"qv-installlist\", \"version\": 9}");
  EXPECT_THAT(opened.Open(path_).message(), HasSubstr("newer"));
  EXPECT_EQ(Records(opened), records);
  // Records before their fields are read in a second pass over the file.
  machine_.WriteFile(path_, R"({"records": [[2], [null]], "format": "qv-installlist",)"
                            R"( "version": 1, "fields": [{"name": "N", "type": "number"}]})");
  ASSERT_TRUE(opened.Open(path_).ok());
  EXPECT_EQ(Records(opened), (std::vector<std::vector<Variant>>{{N(2)}, {Null()}}));
}

TEST_F(RecordsetFileTest, SaveReplacesButAFailedSaveKeepsTheOldFile) {
  machine_.WriteFile(path_, "old contents");
  Recordset rs;
  ASSERT_TRUE(rs.ParseJson(kExample).ok());
  ASSERT_TRUE(rs.save(path_).ok());
  EXPECT_EQ(machine_.ReadFile(path_), rs.ToJson());

  // Another program holds the file (the profile may name it in any case):
  // it cannot be replaced.
  const std::string saved = machine_.ReadFile(path_);
  machine_.machine().mutable_profile()->files_in_use.push_back(
      {"c:\\copy\\INSTALLLIST.RST", false});
  ASSERT_TRUE(machine_.machine().SaveProfile().ok());
  Recordset other = rs;
  ASSERT_TRUE(other.AddRecord({I(5), T("y.dll"), B(true)}).ok());
  EXPECT_EQ(rs.total_records(), 2u);  // copies are independent
  EXPECT_EQ(Records(other)[1], Records(rs)[1]);
  EXPECT_FALSE(other.save(path_).ok());
  EXPECT_EQ(machine_.ReadFile(path_), saved);
  std::vector<DirEntry> entries;
  ASSERT_TRUE(CurrentPlatform().files->ListDirectory(folder_, &entries).ok());
  ASSERT_EQ(entries.size(), 1u);  // no temporary file left behind
  EXPECT_EQ(entries[0].name, "installlist.rst");

  EXPECT_FALSE(rs.save("C:\\Missing\\installlist.rst").ok());
}

}  // namespace
}  // namespace qv
