// CurlDataSpace: business-object calls as JSON posts over libcurl. The
// documents and the reading of answers are the protocol's
// (platform/data_space_protocol.h); this file only carries them.
#include "platform/curl/curl_data_space.h"

#include <curl/curl.h>

#include <utility>

#include "platform/data_space_protocol.h"

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
  CURL* easy = nullptr;
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
  if (answer->body.empty()) {
    // Room for the whole body at once: growing a large one step by step
    // would hold the old and the new buffer together at each step.
    curl_off_t length = -1;
    if (curl_easy_getinfo(answer->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0 && static_cast<uint64_t>(length) <= answer->limit) {
      answer->body.reserve(static_cast<size_t>(length));
    }
  }
  answer->body.append(data, n);
  return n;
}

class CurlBusinessObject : public BusinessObject {
 public:
  CurlBusinessObject(std::string program_id, std::string url, const CurlDataSpaceOptions& options)
      : program_id_(std::move(program_id)),
        url_(std::move(url)),
        options_(options),
        user_agent_(options.user_agent.empty() ? DataSpaceUserAgent(nullptr)
                                               : options.user_agent) {}

  ErrorInfo Call(const std::string& operation, std::vector<std::string>* arguments,
                 CallResult* result) override {
    *result = CallResult();
    const std::string body = RequestBody(program_id_, operation, *arguments);

    if (!easy_) {
      static GlobalInit global_init;
      easy_.reset(curl_easy_init());
      if (!easy_) return ServerUnreachable(url_, "no connection handle could be made");
    }
    CURL* easy = easy_.get();
    curl_easy_reset(easy);  // keeps the connection cache
    std::unique_ptr<curl_slist, HeaderListDeleter> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"));
    headers.reset(curl_slist_append(headers.release(), "Accept: application/json"));
    Answer answer;
    answer.easy = easy;
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
    curl_easy_setopt(easy, CURLOPT_USERAGENT, user_agent_.c_str());
    // A POST must not be turned into a GET by a redirect, so none is
    // followed: the address given is the object's address.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!options_.ca_file.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options_.ca_file.c_str());

    const CURLcode rc = curl_easy_perform(easy);
    if (answer.too_large) return BadServerAnswer(url_, "the answer is too large");
    if (rc != CURLE_OK) {
      return ServerUnreachable(url_, error_text[0] != '\0' ? error_text : curl_easy_strerror(rc));
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return ReadAnswer(url_, status, std::move(answer.body), arguments, result);
  }

 private:
  std::string program_id_;
  std::string url_;
  CurlDataSpaceOptions options_;
  std::string user_agent_;
  std::unique_ptr<CURL, EasyDeleter> easy_;
};

}  // namespace

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
