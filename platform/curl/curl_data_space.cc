// CurlDataSpace: business-object calls as JSON posts over libcurl.
#include "platform/curl/curl_data_space.h"

#include <curl/curl.h>

#include <nlohmann/json.hpp>
#include <utility>

namespace qv {
namespace {

struct GlobalInit {
  GlobalInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Answer {
  std::string body;
  size_t limit = 0;
  bool too_large = false;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  const size_t n = size * count;
  if (answer->body.size() + n > answer->limit) {
    answer->too_large = true;
    return 0;  // ends the transfer
  }
  answer->body.append(data, n);
  return n;
}

ErrorInfo Unreachable(const std::string& url, const std::string& why) {
  return {kErrorServerUnreachable, kDataSpaceSource,
          "The server at " + url + " could not be reached: " + why};
}

ErrorInfo BadAnswer(const std::string& url, const std::string& why) {
  return {kErrorBadServerAnswer, kDataSpaceSource,
          "The server at " + url + " gave an answer that could not be read: " + why};
}

class CurlBusinessObject : public BusinessObject {
 public:
  CurlBusinessObject(std::string program_id, std::string url, const CurlDataSpaceOptions& options)
      : program_id_(std::move(program_id)), url_(std::move(url)), options_(options) {}

  ErrorInfo Call(const std::string& operation, std::vector<std::string>* arguments,
                 CallResult* result) override {
    *result = CallResult();
    nlohmann::json request = {
        {"object", program_id_}, {"operation", operation}, {"arguments", *arguments}};
    const std::string body = request.dump();

    if (!easy_) {
      static GlobalInit global_init;
      easy_.reset(curl_easy_init());
      if (!easy_) return Unreachable(url_, "no connection handle could be made");
    }
    CURL* easy = easy_.get();
    curl_easy_reset(easy);  // keeps the connection cache
    std::unique_ptr<curl_slist, HeaderListDeleter> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"));
    headers.reset(curl_slist_append(headers.release(), "Accept: application/json"));
    Answer answer;
    answer.limit = options_.max_answer_bytes;
    char error_text[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, options_.connect_timeout_seconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, options_.stall_timeout_seconds);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    // A POST must not be turned into a GET by a redirect, so none is
    // followed: the address given is the object's address.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    if (!options_.ca_file.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options_.ca_file.c_str());

    const CURLcode rc = curl_easy_perform(easy);
    if (answer.too_large) return BadAnswer(url_, "the answer is too large");
    if (rc != CURLE_OK) {
      return Unreachable(url_, error_text[0] != '\0' ? error_text : curl_easy_strerror(rc));
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);

    nlohmann::json doc = nlohmann::json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object()) {
      return BadAnswer(url_, "HTTP status " + std::to_string(status) + ", not a JSON object");
    }
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
    if (status != 200) return BadAnswer(url_, "HTTP status " + std::to_string(status));

    if (auto back = doc.find("arguments"); back != doc.end() && back->is_array() &&
                                           back->size() == arguments->size()) {
      for (size_t i = 0; i < back->size(); ++i) {
        if ((*back)[i].is_string()) (*arguments)[i] = (*back)[i].get<std::string>();
      }
    }
    const auto value = doc.find("result");
    if (value == doc.end() || value->is_null()) return ErrorInfo::None();
    if (value->is_string()) {
      result->kind = CallResult::Kind::kText;
      result->text = value->get<std::string>();
      return ErrorInfo::None();
    }
    if (value->is_object()) {
      auto recordset = std::make_unique<Recordset>();
      Status s = recordset->ParseJson(value->dump());
      if (!s.ok()) return BadAnswer(url_, s.message());
      result->kind = CallResult::Kind::kRecordset;
      result->recordset = std::move(recordset);
      return ErrorInfo::None();
    }
    // Numbers and truth values come back as their text, as a conversion to a
    // string would give them.
    result->kind = CallResult::Kind::kText;
    result->text = value->is_boolean() ? (value->get<bool>() ? "True" : "False") : value->dump();
    return ErrorInfo::None();
  }

 private:
  std::string program_id_;
  std::string url_;
  CurlDataSpaceOptions options_;
  std::unique_ptr<CURL, EasyDeleter> easy_;
};

}  // namespace

std::string BusinessObjectEndpoint(const std::string& server_url) {
  if (server_url.find("://") == std::string::npos) return "http://" + server_url;
  return server_url;
}

ErrorInfo CurlDataSpace::CreateObject(const std::string& program_id,
                                      const std::string& server_url,
                                      std::unique_ptr<BusinessObject>* object) {
  object->reset();
  if (server_url.empty()) {
    return {kErrorServerUnreachable, kDataSpaceSource, "No server address was given."};
  }
  *object = std::make_unique<CurlBusinessObject>(program_id, BusinessObjectEndpoint(server_url),
                                                 options_);
  return ErrorInfo::None();
}

}  // namespace qv
