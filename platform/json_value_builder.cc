// JsonValueBuilder: a JSON value from parser events.
#include "platform/json_value_builder.h"

#include <utility>

namespace qv {

void JsonValueBuilder::Reset() {
  root_ = nullptr;
  open_.clear();
  key_.clear();
  done_ = false;
}

nlohmann::json* JsonValueBuilder::Place(nlohmann::json value) {
  if (open_.empty()) {
    root_ = std::move(value);
    return &root_;
  }
  nlohmann::json& parent = *open_.back();
  if (parent.is_array()) {
    parent.push_back(std::move(value));
    return &parent.back();
  }
  nlohmann::json& slot = parent[key_];
  slot = std::move(value);
  return &slot;
}

void JsonValueBuilder::Scalar(nlohmann::json value) {
  Place(std::move(value));
  if (open_.empty()) done_ = true;
}

void JsonValueBuilder::Open(nlohmann::json container) {
  open_.push_back(Place(std::move(container)));
}

void JsonValueBuilder::End() {
  if (open_.empty()) return;
  open_.pop_back();
  if (open_.empty()) done_ = true;
}

}  // namespace qv
