// Fuzzes the server's answers to business-object calls: any body posted to
// it, answered from a real database. Every answer is a JSON document with a
// status the dispatcher gives, and a refused request changes nothing.
//
// A LoginUser call spends a password check (a tenth of a second by design),
// which would hold the fuzzer to a few inputs a second; such bodies are read
// by IsLoginCall only, which is the dispatcher's own reading of them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz/fuzz_machine.h"
#include "server/business_objects.h"
#include "server/dispatcher.h"
#include "server/storage.h"

namespace {

using qv::fuzz::Check;

qv::server::BusinessObjects& Objects() {
  static std::unique_ptr<qv::server::Storage> storage = [] {
    qv::server::StorageOptions options;
    options.path = qv::fuzz::OutsideFolder() + "/../server.db";
    std::unique_ptr<qv::server::Storage> s;
    Check(qv::server::Storage::Open(options, qv::server::Storage::Mode::kCreate, &s).ok(),
          "cannot make the server database");
    return s;
  }();
  static qv::server::BusinessObjects objects(storage.get());
  return objects;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  qv::server::LoginCall login;
  if (qv::server::IsLoginCall(body, &login)) return 0;

  const qv::server::HttpAnswer answer =
      qv::server::Dispatch(Objects(), body, {"192.0.2.1", "qv/3.00.0148 (Windows NT 6.1)"});
  Check(answer.status == 200 || answer.status == 400 || answer.status == 413 ||
            answer.status == 500 || answer.status == 503,
        "an answer with a status the dispatcher does not give");
  const std::string text = answer.Body();
  Check(answer.size() == text.size(), "an answer whose size is not its body's");
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  Check(document.is_object(), "an answer that is not a JSON object");
  if (answer.status != 200) {
    Check(document.contains("error") && document["error"].is_object(),
          "a refused call without an error object");
  }
  return 0;
}
