// CurlDataSpace: the remote data space on libcurl.
//
// Each business-object proxy keeps one connection handle, so that the calls
// of a start-up (login, list, notes) share a kept-alive connection. A call
// posts one JSON document and blocks the calling thread until the answer is
// in (the wire form is platform/data_space_protocol.h's, described in
// docs/protocol.md).
#ifndef QV_PLATFORM_CURL_CURL_DATA_SPACE_H_
#define QV_PLATFORM_CURL_CURL_DATA_SPACE_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/data_space.h"

namespace qv {

struct CurlDataSpaceOptions {
  long connect_timeout_seconds = 30;
  // A call during which nothing arrives for this long fails.
  long stall_timeout_seconds = 60;
  // Extra certificate authorities (PEM file); "" uses the system's.
  std::string ca_file;
  // Answers larger than this are refused.
  size_t max_answer_bytes = 64u << 20;
  // The requests' User-Agent; DataSpaceUserAgent(nullptr) when empty.
  std::string user_agent;
};

class CurlDataSpace : public DataSpace {
 public:
  explicit CurlDataSpace(CurlDataSpaceOptions options = {}) : options_(std::move(options)) {}

  ErrorInfo CreateObject(const std::string& program_id, const std::string& server_url,
                         std::unique_ptr<BusinessObject>* object) override;

 private:
  CurlDataSpaceOptions options_;
};

}  // namespace qv

#endif  // QV_PLATFORM_CURL_CURL_DATA_SPACE_H_
