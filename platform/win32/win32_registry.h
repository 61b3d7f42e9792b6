// Win32Registry: the registry seam on the ANSI registry calls of Windows.
//
// Results, sizes and types are those Windows gives. The seam's roots are
// mapped to the predefined HKEY values one by one (on 64-bit Windows those are
// sign-extended pointers, not the 32-bit numbers the seam hands around); every
// other handle is a number of this object's own, from 0x100 up, standing for
// an HKEY it keeps open until CloseKey or its own end. A handle it does not
// know gives ERROR_INVALID_HANDLE.
//
// The registry view is the one of the running program (a 64-bit build sees
// the 64-bit view).
//
// One object is used from one thread.
//
// Text: key names, value names and string data are ANSI bytes, passed to the
// A entry points unchanged.
#ifndef QV_PLATFORM_WIN32_WIN32_REGISTRY_H_
#define QV_PLATFORM_WIN32_WIN32_REGISTRY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/registry.h"

namespace qv::win32 {

class OpenKey;

class Win32Registry : public Registry {
 public:
  Win32Registry();
  ~Win32Registry() override;
  Win32Registry(const Win32Registry&) = delete;
  Win32Registry& operator=(const Win32Registry&) = delete;

  uint32_t CreateKeyEx(RegHandle key, const std::string& sub_key, uint32_t reserved,
                       const std::string& key_class, uint32_t options, uint32_t sam,
                       RegHandle* result, uint32_t* disposition) override;
  uint32_t OpenKeyEx(RegHandle key, const std::string& sub_key, uint32_t options, uint32_t sam,
                     RegHandle* result) override;
  uint32_t SetValueEx(RegHandle key, const std::string& value_name, uint32_t reserved,
                      uint32_t type, const uint8_t* data, uint32_t size) override;
  uint32_t DeleteValue(RegHandle key, const std::string& value_name) override;
  uint32_t DeleteKey(RegHandle key, const std::string& sub_key) override;
  uint32_t QueryValueEx(RegHandle key, const std::string& value_name, uint32_t* reserved,
                        uint32_t* type, uint8_t* data, uint32_t* size) override;
  uint32_t CloseKey(RegHandle key) override;

  // How many handles are open (not counting the roots).
  size_t OpenHandleCount() const { return open_.size(); }

 private:
  // The HKEY behind a handle; false for a handle this object does not know.
  bool Resolve(RegHandle key, void** hkey) const;
  RegHandle Keep(std::unique_ptr<OpenKey> key);

  std::map<RegHandle, std::unique_ptr<OpenKey>> open_;
  RegHandle next_handle_ = 0x100;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_REGISTRY_H_
