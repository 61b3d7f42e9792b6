// Win32DataSpace: the remote data space on WinINet.
//
// Each business-object proxy keeps one WinINet session and connection, so
// that the calls of a start-up (login, list, notes) share a kept-alive
// connection. A call posts one JSON document and blocks the calling thread
// until the answer is in (the wire form is platform/data_space_protocol.h's,
// described in docs/protocol.md). A POST is never redirected: the address
// given is the object's address.
//
// Text: addresses are UTF-8 and cross to the wide entry points; the documents
// are UTF-8 bytes.
#ifndef QV_PLATFORM_WIN32_WIN32_DATA_SPACE_H_
#define QV_PLATFORM_WIN32_WIN32_DATA_SPACE_H_

#include <cstddef>
#include <memory>
#include <string>

#include "platform/data_space.h"

namespace qv::win32 {

struct Win32DataSpaceOptions {
  long connect_timeout_seconds = 30;
  // A call during which nothing arrives for this long fails.
  long stall_timeout_seconds = 60;
  // Answers larger than this are refused.
  size_t max_answer_bytes = 64u << 20;
};

class Win32DataSpace : public DataSpace {
 public:
  explicit Win32DataSpace(Win32DataSpaceOptions options = {}) : options_(options) {}

  ErrorInfo CreateObject(const std::string& program_id, const std::string& server_url,
                         std::unique_ptr<BusinessObject>* object) override;

 private:
  Win32DataSpaceOptions options_;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_DATA_SPACE_H_
