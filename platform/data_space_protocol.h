// The wire form of the remote data space, apart from any HTTP stack: the
// address a call goes to, the JSON document a call posts, and how an answer
// becomes a result or an error (docs/protocol.md). A data space on some HTTP
// stack posts RequestBody() to BusinessObjectEndpoint() and hands what came
// back to ReadAnswer(); it reports its own transport failures with
// ServerUnreachable(). Its requests carry the User-Agent DataSpaceUserAgent()
// makes, so that the server knows the caller's Windows version.
//
// Text: UTF-8, as the JSON documents are.
#ifndef QV_PLATFORM_DATA_SPACE_PROTOCOL_H_
#define QV_PLATFORM_DATA_SPACE_PROTOCOL_H_

#include <string>
#include <vector>

#include "platform/data_space.h"
#include "platform/error_info.h"
#include "platform/system_info.h"

namespace qv {

// The User-Agent of the calls: the library's version and the Windows
// version of the record GetVersionEx filled, "qv/3.00.0148 (Windows NT 6.1)"
// ("(Windows 4.10)" on the 9x family); without a record (null), the
// library's version alone.
std::string DataSpaceUserAgent(const OsVersionInfo* version);

// The address a call is posted to: http:// is put in front of an address
// without a scheme.
std::string BusinessObjectEndpoint(const std::string& server_url);

// The document that calls operation of the object program_id with arguments.
std::string RequestBody(const std::string& program_id, const std::string& operation,
                        const std::vector<std::string>& arguments);

// Reads the answer that the server at url gave with HTTP status to a call
// with *arguments. Fills *result (an install list is parsed as a stream,
// straight into its storage) and replaces the arguments the server gave back;
// returns the server's error, or kErrorBadServerAnswer for an answer that
// cannot be read. body is released before the list is finished, so that the
// text and the list are not both held at their full size.
ErrorInfo ReadAnswer(const std::string& url, long status, std::string body,
                     std::vector<std::string>* arguments, CallResult* result);

// The error of a call that did not get an answer from the server at url.
ErrorInfo ServerUnreachable(const std::string& url, const std::string& why);
// The error of an answer from the server at url that cannot be used.
ErrorInfo BadServerAnswer(const std::string& url, const std::string& why);

}  // namespace qv

#endif  // QV_PLATFORM_DATA_SPACE_PROTOCOL_H_
