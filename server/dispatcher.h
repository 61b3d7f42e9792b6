// Dispatcher: turns the body of one business-object request into the HTTP
// status and body of its answer (the wire form is in docs/protocol.md).
//
//   {"object": "QVBO_V2.Init", "operation": "LoginUser",
//    "arguments": ["KEYNAME", "login", "password", "192.0.2.7"]}
//
// A request the server cannot take gets status 400 (413 for a body over
// 1 MiB) and an error object, and changes nothing:
//
//   malformed JSON, not an object, no "object" / "operation" text,
//     no "arguments" array                       5    "Invalid procedure call or argument"
//   a body over kMaxRequestBytes                 7    "Out of memory"
//   an unknown object                            429  "ActiveX component can't create object"
//   an unknown operation                         438  "Object doesn't support this property or
//   method" the wrong number of arguments                450  "Wrong number of arguments..." an
//   argument that is not a text               13   "Type mismatch"
//
// (the numbers the control's own runtime gives these failures). Their source
// is the object's program identifier when the object is known, "qvserver"
// otherwise. A server fault (the database failing) gets status 500 and an
// error object. A login the server has no time to check gets status 503 and
// the error kErrorServerBusy (ServerBusy).
//
// Thread-safe as the BusinessObjects it calls.
#ifndef QV_SERVER_DISPATCHER_H_
#define QV_SERVER_DISPATCHER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error_info.h"
#include "server/business_objects.h"

namespace qv::server {

inline constexpr size_t kMaxRequestBytes = size_t{1} << 20;

inline constexpr int32_t kErrorInvalidCall = 5;
inline constexpr int32_t kErrorRequestTooLarge = 7;
inline constexpr int32_t kErrorTypeMismatch = 13;
inline constexpr int32_t kErrorCannotCreateObject = 429;
inline constexpr int32_t kErrorNoSuchOperation = 438;
inline constexpr int32_t kErrorWrongArgumentCount = 450;
inline constexpr char kServerSource[] = "qvserver";
// RPC_E_SERVERCALL_RETRYLATER: the server is busy; the call may be repeated.
inline constexpr int32_t kErrorServerBusy = static_cast<int32_t>(0x8001010Au);

// The answer's body is head, then the document when there is one, then
// tail. A list document is shared with the cache it came from, not copied.
struct HttpAnswer {
  int status = 200;
  std::string head;
  std::shared_ptr<const std::string> document;
  std::string tail;

  size_t size() const { return head.size() + (document ? document->size() : 0) + tail.size(); }
  // The whole body (a copy; for tests and small answers).
  std::string Body() const { return head + (document ? *document : "") + tail; }
};

// Answers one request body, sent by caller.
HttpAnswer Dispatch(BusinessObjects& objects, std::string_view body, const CallerInfo& caller = {});

// What a LoginUser call names: the source of its errors, and its key name
// and login ("" when they are not texts).
struct LoginCall {
  std::string source;
  std::string key_name;
  std::string login;
};

// Whether body calls LoginUser, which checks a password; fills *call.
bool IsLoginCall(std::string_view body, LoginCall* call);

// The answer to a body over kMaxRequestBytes.
HttpAnswer RequestTooLarge();

// The answer to a call the server is too busy to take; source as
// LoginCall has it.
HttpAnswer ServerBusy(const std::string& source);

// {"error": {"number": ..., "source": ..., "description": ...}}
std::string ErrorBody(const ErrorInfo& error);

}  // namespace qv::server

#endif  // QV_SERVER_DISPATCHER_H_
