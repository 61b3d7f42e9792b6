// modRegistry: the registry operations, over the current platform's registry
// and text codec.
//
// Each operation converts its text to the ANSI code page, makes the platform
// calls that the operation needs and closes every handle it obtained before
// it returns. Nothing is kept between calls. Runs on the UI thread, like
// everything that uses CurrentPlatform().
#include "system/modRegistry.h"

#include <cstdint>

#include "platform/platform.h"

namespace qv {

namespace {

// The read buffer of GetStringValueHKLM: the longest text a read can return is
// one byte shorter (the last reported byte is taken for the terminating zero).
constexpr uint32_t kReadBufferSize = 50;

bool CreateKey(RegHandle root, const std::string& key_name) {
  Platform& platform = CurrentPlatform();
  RegHandle key = 0;
  uint32_t disposition = 0;
  // Whether the key was made anew or was already there does not matter: it
  // exists now either way.
  const uint32_t rc = platform.registry->CreateKeyEx(root, platform.codec->ToAnsi(key_name), 0, "",
                                                     0, kKeyCreateSubKey, &key, &disposition);
  if (rc != kErrorSuccess) return false;
  platform.registry->CloseKey(key);
  return true;
}

bool SetStringValue(RegHandle root, const std::string& key_name, const std::string& value_name,
                    const std::string& data) {
  Platform& platform = CurrentPlatform();
  RegHandle key = 0;
  // The key must exist already; a write never makes one.
  if (platform.registry->OpenKeyEx(root, platform.codec->ToAnsi(key_name), 0, kKeySetValue, &key) !=
      kErrorSuccess) {
    return false;
  }
  // The size is the text's length without a terminating zero, so the value is
  // stored without one.
  const std::string bytes = platform.codec->ToAnsi(data);
  const uint32_t rc = platform.registry->SetValueEx(
      key, platform.codec->ToAnsi(value_name), 0, kRegSz,
      reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
  platform.registry->CloseKey(key);
  return rc == kErrorSuccess;
}

bool DeleteValue(RegHandle root, const std::string& key_name, const std::string& value_name) {
  Platform& platform = CurrentPlatform();
  RegHandle key = 0;
  if (platform.registry->OpenKeyEx(root, platform.codec->ToAnsi(key_name), 0, kKeySetValue, &key) !=
      kErrorSuccess) {
    return false;
  }
  const uint32_t rc = platform.registry->DeleteValue(key, platform.codec->ToAnsi(value_name));
  platform.registry->CloseKey(key);
  return rc == kErrorSuccess;
}

bool DeleteKey(RegHandle root, const std::string& key_name) {
  Platform& platform = CurrentPlatform();
  // One call; subkeys are not removed first.
  return platform.registry->DeleteKey(root, platform.codec->ToAnsi(key_name)) == kErrorSuccess;
}

}  // namespace

bool CreateKeyHKCR(const std::string& key_name) { return CreateKey(kHkeyClassesRoot, key_name); }

bool SetStringValueHKCR(const std::string& key_name, const std::string& value_name,
                        const std::string& data) {
  return SetStringValue(kHkeyClassesRoot, key_name, value_name, data);
}

bool DeleteValueHKCR(const std::string& key_name, const std::string& value_name) {
  return DeleteValue(kHkeyClassesRoot, key_name, value_name);
}

bool DeleteKeyHKCR(const std::string& key_name) { return DeleteKey(kHkeyClassesRoot, key_name); }

// Reads into a fixed 50-byte buffer and returns the first (size - 1) bytes
// that the query reported, cut at the first zero byte. So the longest text
// that can be read is 49 characters, a value stored without a terminating
// zero loses its last character, and a value whose data does not fit (or is
// missing, or sits under a missing key) reads as "". A value that holds no
// bytes at all (reported size 0) also reads as "".
std::string GetStringValueHKLM(const std::string& key_name, const std::string& value_name) {
  Platform& platform = CurrentPlatform();
  uint8_t buffer[kReadBufferSize] = {};
  uint32_t size = kReadBufferSize;
  uint32_t type = 0;
  RegHandle key = 0;
  if (platform.registry->OpenKeyEx(kHkeyLocalMachine, platform.codec->ToAnsi(key_name), 0, kKeyRead,
                                   &key) != kErrorSuccess) {
    return "";
  }
  const uint32_t rc = platform.registry->QueryValueEx(key, platform.codec->ToAnsi(value_name),
                                                      nullptr, &type, buffer, &size);
  platform.registry->CloseKey(key);
  if (rc != kErrorSuccess || size == 0) return "";
  // The size cannot exceed the buffer after a successful query; the guard
  // keeps a misbehaving backend from reading past it.
  size_t length = size - 1 < kReadBufferSize ? size - 1 : kReadBufferSize;
  for (size_t i = 0; i < length; ++i) {
    if (buffer[i] == 0) {
      length = i;
      break;
    }
  }
  return platform.codec->FromAnsi(std::string_view(reinterpret_cast<const char*>(buffer), length));
}

bool CreateKeyHKLM(const std::string& key_name) { return CreateKey(kHkeyLocalMachine, key_name); }

bool SetStringValueHKLM(const std::string& key_name, const std::string& value_name,
                        const std::string& data) {
  return SetStringValue(kHkeyLocalMachine, key_name, value_name, data);
}

bool DeleteValueHKLM(const std::string& key_name, const std::string& value_name) {
  return DeleteValue(kHkeyLocalMachine, key_name, value_name);
}

bool DeleteKeyHKLM(const std::string& key_name) { return DeleteKey(kHkeyLocalMachine, key_name); }

}  // namespace qv
