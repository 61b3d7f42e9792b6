// JsonValueBuilder: builds one JSON value from the events of a streaming JSON
// parser (nlohmann::json::sax_parse), for the small parts of a large
// document that are easiest to check as a whole (an install list's fields,
// an answer's error object).
//
// A key given twice in one object keeps its last value, as parsing into a
// value does. A builder is used by one thread.
//
// Text: UTF-8, as JSON is.
#ifndef QV_PLATFORM_JSON_VALUE_BUILDER_H_
#define QV_PLATFORM_JSON_VALUE_BUILDER_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qv {

class JsonValueBuilder {
 public:
  // Starts a new value; the one built before is dropped.
  void Reset();

  void Scalar(nlohmann::json value);
  void StartObject() { Open(nlohmann::json::object()); }
  void Key(std::string key) { key_ = std::move(key); }
  void StartArray() { Open(nlohmann::json::array()); }
  // Ends the innermost object or array.
  void End();

  // Whether the value is complete.
  bool done() const { return done_; }
  // The value; REQUIRES: done().
  nlohmann::json Take() { return std::move(root_); }

 private:
  // Puts value where the next value goes; the place it took.
  nlohmann::json* Place(nlohmann::json value);
  void Open(nlohmann::json container);

  nlohmann::json root_;
  std::vector<nlohmann::json*> open_;  // the open objects and arrays, innermost last
  std::string key_;                    // the key of the next value in an object
  bool done_ = false;
};

}  // namespace qv

#endif  // QV_PLATFORM_JSON_VALUE_BUILDER_H_
