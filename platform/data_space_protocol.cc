// The remote data space's wire form: request documents and answers.
//
// An answer can carry an install list of tens of megabytes. It is parsed
// once, as a stream of events: a result that is an object goes straight into
// a RecordsetReader, so that the list is never held as a JSON tree or as a
// second text; the other parts of an answer are small and kept as values.
#include "platform/data_space_protocol.h"

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <utility>

#include "platform/json_value_builder.h"
#include "platform/recordset_reader.h"
#include "qv_version.h"

namespace qv {
namespace {

// Reads an answer document from parser events (see the top of the file).
// The events of every value but an object result go to a JsonValueBuilder;
// those of an object result to a RecordsetReader that new_list makes.
class AnswerReader {
 public:
  explicit AnswerReader(std::function<RecordsetReader()> new_list)
      : new_list_(std::move(new_list)) {}

  bool null() { return Scalar(nullptr); }
  bool boolean(bool value) { return Scalar(value); }
  bool number_integer(int64_t value) { return Scalar(value); }
  bool number_unsigned(uint64_t value) { return Scalar(value); }
  bool number_float(double value, const std::string& text) {
    if (in_list_) return list_.number_float(value, text);
    return Scalar(value);
  }
  bool string(std::string& value) {
    if (in_list_) return list_.string(value);
    return Scalar(value);
  }
  bool binary(nlohmann::json::binary_t&) { return true; }
  bool key(std::string& key) {
    if (in_list_) return list_.key(key);
    if (building_) {
      builder_.Key(key);
    } else if (depth_ == 1) {
      key_ = key;
    }
    return true;
  }
  bool start_object(size_t elements) { return Start(/*object=*/true, elements); }
  bool start_array(size_t elements) { return Start(/*object=*/false, elements); }
  bool end_object() { return End(/*object=*/true); }
  bool end_array() { return End(/*object=*/false); }
  bool parse_error(size_t, const std::string&, const nlohmann::json::exception&) {
    syntax_ok_ = false;
    return false;
  }

  // After the last event: whether the answer is a JSON object.
  bool is_object() const { return syntax_ok_ && is_object_; }
  // Its parts but an object result, by key.
  const nlohmann::json& parts() const { return parts_; }
  // Whether the result is an object, read by list().
  bool result_is_list() const { return result_is_list_; }
  RecordsetReader& list() { return list_; }
  bool NeedsSecondPass() const { return is_object() && result_is_list_ && list_.NeedsSecondPass(); }

 private:
  template <typename T>
  bool Scalar(T value) {
    if (in_list_) {
      if constexpr (std::is_same_v<T, std::nullptr_t>) return list_.null();
      if constexpr (std::is_same_v<T, bool>) return list_.boolean(value);
      if constexpr (std::is_same_v<T, int64_t>) return list_.number_integer(value);
      if constexpr (std::is_same_v<T, uint64_t>) return list_.number_unsigned(value);
      return true;
    }
    if (depth_ == 0) {
      is_object_ = false;
      return true;
    }
    if (!building_ && depth_ == 1) {
      builder_.Reset();
      building_ = true;
    }
    if (building_) {
      builder_.Scalar(nlohmann::json(value));
      if (builder_.done()) Keep();
    }
    return true;
  }

  bool Start(bool object, size_t elements) {
    ++depth_;
    if (in_list_) return object ? list_.start_object(elements) : list_.start_array(elements);
    if (depth_ == 1) {
      is_object_ = object;
      return true;
    }
    if (!building_ && depth_ == 2) {
      if (object && key_ == "result") {
        list_ = new_list_();
        in_list_ = true;
        result_is_list_ = true;
        return list_.start_object(elements);
      }
      builder_.Reset();
      building_ = true;
    }
    if (building_) object ? builder_.StartObject() : builder_.StartArray();
    return true;
  }

  bool End(bool object) {
    --depth_;
    if (in_list_) {
      if (depth_ == 1) in_list_ = false;
      return object ? list_.end_object() : list_.end_array();
    }
    if (building_) {
      builder_.End();
      if (builder_.done()) Keep();
    }
    return true;
  }

  // A top-level value is complete.
  void Keep() {
    building_ = false;
    if (key_ == "result") result_is_list_ = false;  // the last one given counts
    parts_[key_] = builder_.Take();
  }

  std::function<RecordsetReader()> new_list_;
  int depth_ = 0;  // open objects and arrays
  bool syntax_ok_ = true;
  bool is_object_ = false;
  std::string key_;  // the top-level key whose value comes next
  bool building_ = false;
  JsonValueBuilder builder_;
  nlohmann::json parts_ = nlohmann::json::object();
  bool in_list_ = false;
  bool result_is_list_ = false;
  RecordsetReader list_;
};

}  // namespace

std::string DataSpaceUserAgent(const OsVersionInfo* version) {
  std::string agent = std::string("qv/") + kLibraryVersion;
  if (version == nullptr) return agent;
  const bool nt = version->platform_id == kVerPlatformWin32Nt;
  return agent + (nt ? " (Windows NT " : " (Windows ") + std::to_string(version->major_version) +
         "." + std::to_string(version->minor_version) + ")";
}

std::string BusinessObjectEndpoint(const std::string& server_url) {
  if (server_url.find("://") == std::string::npos) return "http://" + server_url;
  return server_url;
}

std::string RequestBody(const std::string& program_id, const std::string& operation,
                        const std::vector<std::string>& arguments) {
  const nlohmann::json request = {
      {"object", program_id}, {"operation", operation}, {"arguments", arguments}};
  return request.dump();
}

ErrorInfo ServerUnreachable(const std::string& url, const std::string& why) {
  return {kErrorServerUnreachable, kDataSpaceSource,
          "The server at " + url + " could not be reached: " + why};
}

ErrorInfo BadServerAnswer(const std::string& url, const std::string& why) {
  return {kErrorBadServerAnswer, kDataSpaceSource,
          "The server at " + url + " gave an answer that could not be read: " + why};
}

ErrorInfo ReadAnswer(const std::string& url, long status, std::string body,
                     std::vector<std::string>* arguments, CallResult* result) {
  *result = CallResult();
  AnswerReader reader([] { return RecordsetReader(); });
  nlohmann::json::sax_parse(body, &reader);
  if (reader.NeedsSecondPass()) {
    // The list gives its records before its fields: read once more.
    const RecordsetReader seed = reader.list().ForSecondPass();
    reader = AnswerReader([&seed] { return seed.ForSecondPass(); });
    nlohmann::json::sax_parse(body, &reader);
  }
  std::string().swap(body);
  if (!reader.is_object()) {
    return BadServerAnswer(url, "HTTP status " + std::to_string(status) + ", not a JSON object");
  }
  const nlohmann::json& doc = reader.parts();
  if (auto error = doc.find("error"); error != doc.end() && error->is_object()) {
    ErrorInfo info;
    const nlohmann::json& e = *error;
    if (e.contains("number") && e["number"].is_number_integer()) {
      info.number = e["number"].get<int32_t>();
    }
    if (e.contains("source") && e["source"].is_string()) info.source = e["source"];
    if (e.contains("description") && e["description"].is_string()) {
      info.description = e["description"];
    }
    // An error must stay an error even when the server gave it no number.
    if (info.number == 0) info.number = kErrorBadServerAnswer;
    return info;
  }
  if (status != 200) return BadServerAnswer(url, "HTTP status " + std::to_string(status));

  if (auto back = doc.find("arguments"); back != doc.end() && back->is_array() &&
                                         back->size() == arguments->size()) {
    for (size_t i = 0; i < back->size(); ++i) {
      if ((*back)[i].is_string()) (*arguments)[i] = (*back)[i].get<std::string>();
    }
  }
  if (reader.result_is_list()) {
    auto recordset = std::make_unique<Recordset>();
    Status s = reader.list().Finish(recordset.get());
    if (!s.ok()) return BadServerAnswer(url, s.message());
    result->kind = CallResult::Kind::kRecordset;
    result->recordset = std::move(recordset);
    return ErrorInfo::None();
  }
  const auto value = doc.find("result");
  if (value == doc.end() || value->is_null()) return ErrorInfo::None();
  if (value->is_string()) {
    result->kind = CallResult::Kind::kText;
    result->text = value->get<std::string>();
    return ErrorInfo::None();
  }
  // Numbers and truth values come back as their text, as a conversion to a
  // string would give them.
  result->kind = CallResult::Kind::kText;
  result->text = value->is_boolean() ? (value->get<bool>() ? "True" : "False") : value->dump();
  return ErrorInfo::None();
}

}  // namespace qv
