// Fuzzes the reading of the server's answers (the remote data space's wire
// form): any status and body, for calls with and without arguments. An
// answer is an error or a result, never both; only status 200 succeeds; a
// list that comes back writes a document that reads back; the arguments
// given back keep their number.
//
// Input: one byte for the status, one for the number of arguments, then the
// body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_machine.h"
#include "platform/data_space_protocol.h"
#include "platform/recordset.h"

namespace {

constexpr long kStatuses[] = {200, 200, 200, 400, 413, 500, 503, 204, 302, 0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qv::fuzz::Check;
  if (size < 2) return 0;
  const long status = kStatuses[data[0] % (sizeof(kStatuses) / sizeof(kStatuses[0]))];
  std::vector<std::string> arguments(data[1] % 5, "argument");
  const size_t count_before = arguments.size();
  std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);

  qv::CallResult result;
  const qv::ErrorInfo error =
      qv::ReadAnswer("http://127.0.0.1:1/bo", status, std::move(body), &arguments, &result);
  if (!error.ok()) {
    Check(result.kind == qv::CallResult::Kind::kNothing && result.recordset == nullptr,
          "a failed call with a result");
    return 0;
  }
  Check(status == 200, "a call answered with another status than 200 succeeded");
  if (result.kind == qv::CallResult::Kind::kRecordset) {
    Check(result.recordset != nullptr, "a list result without a list");
    const std::string written = result.recordset->ToJson();
    qv::Recordset again;
    Check(again.ParseJson(written).ok(), "a list from the server cannot be written and read");
  }
  Check(arguments.size() == count_before, "the server changed the number of arguments");
  return 0;
}
