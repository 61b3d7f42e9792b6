// Status formatting.
#include "platform/status.h"

namespace qv {

std::string Status::ToString() const {
  if (ok()) return "OK";
  return message_ + " (error " + std::to_string(code_) + ")";
}

}  // namespace qv
