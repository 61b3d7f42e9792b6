// Test helper: a registry that passes every call on to another and records
// it, and can refuse one change; and a scope that makes one over a test
// machine's registry the current platform's.
#ifndef QV_TESTS_RECORDING_REGISTRY_H_
#define QV_TESTS_RECORDING_REGISTRY_H_

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/test_util.h"

namespace qv::testing {

// calls holds every call with its arguments ("Open SOFTWARE\QVTest options=0
// sam=2", "Set QVTestVal type=1 size=7", "Close", ...); changes holds the
// changes by the keys' names below their root ("Create HKCR\CLSID\QVTest",
// "Set HKLM\SOFTWARE\QVTest QVTestVal", "DeleteValue ...", "DeleteKey
// ..."). The change numbered refuse_change (from 0) fails with
// ERROR_ACCESS_DENIED.
class RecordingRegistry : public Registry {
 public:
  explicit RecordingRegistry(Registry* inner) : inner_(inner) {}

  uint32_t CreateKeyEx(RegHandle key, const std::string& sub_key, uint32_t reserved,
                       const std::string& key_class, uint32_t options, uint32_t sam,
                       RegHandle* result, uint32_t* disposition) override {
    calls.push_back("Create " + sub_key + " class=\"" + key_class +
                    "\" options=" + std::to_string(options) + " sam=" + std::to_string(sam) +
                    " reserved=" + std::to_string(reserved) + (result ? "" : " no-result"));
    if (Refused("Create " + Name(key, sub_key))) return kErrorAccessDenied;
    return inner_->CreateKeyEx(key, sub_key, reserved, key_class, options, sam, result,
                               disposition);
  }
  uint32_t OpenKeyEx(RegHandle key, const std::string& sub_key, uint32_t options, uint32_t sam,
                     RegHandle* result) override {
    calls.push_back("Open " + sub_key + " options=" + std::to_string(options) +
                    " sam=" + std::to_string(sam));
    const uint32_t rc = inner_->OpenKeyEx(key, sub_key, options, sam, result);
    if (rc == kErrorSuccess) names_[*result] = Name(key, sub_key);
    return rc;
  }
  uint32_t SetValueEx(RegHandle key, const std::string& value_name, uint32_t reserved,
                      uint32_t type, const uint8_t* data, uint32_t size) override {
    calls.push_back("Set " + value_name + " type=" + std::to_string(type) +
                    " size=" + std::to_string(size));
    if (Refused("Set " + names_[key] + " " + value_name)) return kErrorAccessDenied;
    return inner_->SetValueEx(key, value_name, reserved, type, data, size);
  }
  uint32_t DeleteValue(RegHandle key, const std::string& value_name) override {
    calls.push_back("DeleteValue " + value_name);
    if (Refused("DeleteValue " + names_[key] + " " + value_name)) return kErrorAccessDenied;
    return inner_->DeleteValue(key, value_name);
  }
  uint32_t DeleteKey(RegHandle key, const std::string& sub_key) override {
    calls.push_back("DeleteKey " + sub_key);
    if (Refused("DeleteKey " + Name(key, sub_key))) return kErrorAccessDenied;
    return inner_->DeleteKey(key, sub_key);
  }
  uint32_t QueryValueEx(RegHandle key, const std::string& value_name, uint32_t* reserved,
                        uint32_t* type, uint8_t* data, uint32_t* size) override {
    calls.push_back("Query " + value_name + " size=" + (size ? std::to_string(*size) : "null") +
                    (data ? "" : " no-data") + (reserved ? " reserved" : ""));
    return inner_->QueryValueEx(key, value_name, reserved, type, data, size);
  }
  uint32_t CloseKey(RegHandle key) override {
    calls.push_back("Close");
    names_.erase(key);
    return inner_->CloseKey(key);
  }

  std::vector<std::string> calls;
  std::vector<std::string> changes;
  int refuse_change = -1;

 private:
  static std::string Name(RegHandle root, const std::string& sub_key) {
    return (root == kHkeyClassesRoot ? "HKCR\\" : "HKLM\\") + sub_key;
  }
  bool Refused(const std::string& change) {
    changes.push_back(change);
    return static_cast<int>(changes.size()) - 1 == refuse_change;
  }

  Registry* inner_;
  std::map<RegHandle, std::string> names_;
};

// Makes a RecordingRegistry over the machine's registry the current one
// while it lives.
class RecordedRegistry {
 public:
  explicit RecordedRegistry(TestMachine& m)
      : registry(m.platform().registry), platform_(m.platform()), scope_(&platform_) {
    platform_.registry = &registry;
  }
  RecordingRegistry registry;

 private:
  Platform platform_;
  ScopedPlatform scope_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_RECORDING_REGISTRY_H_
