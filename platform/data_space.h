// DataSpace: the remote data space through which the control reaches the
// business objects on a server, and BusinessObject, the proxy of one such
// object whose operations are called by name.
//
// CreateObject makes a proxy only: it does not contact the server, so a
// server that cannot be reached shows up at the first call. Each Call sends
// the object's program identifier, the operation's name and its arguments,
// in order, to the server and waits for the answer (the UI thread blocks, as
// the control expects). The answer is a text, a recordset (the install
// list), nothing, or an error with number, source and description.
//
// The wire form is one HTTP(S) POST of a JSON document per call; see
// docs/protocol.md. An address without a scheme means http.
//
// Text: strings are UTF-8, as the JSON they travel in; recordsets are UTF-8 as
// everywhere inside.
#ifndef QV_PLATFORM_DATA_SPACE_H_
#define QV_PLATFORM_DATA_SPACE_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/error_info.h"
#include "platform/recordset.h"

namespace qv {

// What an operation returned.
struct CallResult {
  enum class Kind { kNothing, kText, kRecordset };
  Kind kind = Kind::kNothing;
  std::string text;                      // kText
  std::unique_ptr<Recordset> recordset;  // kRecordset, first record current
};

class BusinessObject {
 public:
  virtual ~BusinessObject() = default;

  // Calls operation with arguments (texts, passed by reference: the server
  // may give back changed values, which replace them). Fills *result on
  // success; returns the server's or the transport's error otherwise.
  virtual ErrorInfo Call(const std::string& operation, std::vector<std::string>* arguments,
                         CallResult* result) = 0;
};

class DataSpace {
 public:
  virtual ~DataSpace() = default;

  // A proxy of the object registered under program_id on the server at
  // server_url. Fails only for an address it cannot use at all.
  virtual ErrorInfo CreateObject(const std::string& program_id, const std::string& server_url,
                                 std::unique_ptr<BusinessObject>* object) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_DATA_SPACE_H_
