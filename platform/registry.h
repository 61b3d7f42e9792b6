// Registry: the seven registry calls that the control makes.
//
// The calls mirror the ANSI entry points of the Windows registry interface
// (RegCreateKeyExA, RegOpenKeyExA, RegSetValueExA, RegDeleteValueA,
// RegDeleteKeyA, RegQueryValueExA, RegCloseKey): key names, value names and
// data are bytes in the machine's ANSI code page, results are Windows error
// codes (0 is ERROR_SUCCESS), and sizes are byte counts exactly as Windows
// reports them. Callers convert their text with TextCodec.
//
// Key names are paths below a root with "\" between the levels and match
// without regard to case. Handles are 32-bit values; the roots are the
// predefined ones below and every handle that an Open/Create returned must be
// given back to CloseKey.
//
// Implementations are used from the UI thread only.
//
// Text: key names, value names and string data are bytes in the machine's ANSI
// code page; callers convert with TextCodec.
#ifndef QV_PLATFORM_REGISTRY_H_
#define QV_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <string>

namespace qv {

using RegHandle = uint32_t;

constexpr RegHandle kHkeyClassesRoot = 0x80000000u;
constexpr RegHandle kHkeyCurrentUser = 0x80000001u;
constexpr RegHandle kHkeyLocalMachine = 0x80000002u;
constexpr RegHandle kHkeyUsers = 0x80000003u;

// Access rights.
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyAllAccess = 0xF003F;

// Value types.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// Dispositions reported by CreateKeyEx.
constexpr uint32_t kRegCreatedNewKey = 1;
constexpr uint32_t kRegOpenedExistingKey = 2;

class Registry {
 public:
  virtual ~Registry() = default;

  // Creates sub_key below key (every missing level) or opens it when it
  // exists. On success stores the handle in *result and the disposition in
  // *disposition (either may be null) and returns 0. Fails with
  // ERROR_ACCESS_DENIED when the user may not write below key.
  virtual uint32_t CreateKeyEx(RegHandle key, const std::string& sub_key,
                               uint32_t reserved, const std::string& key_class,
                               uint32_t options, uint32_t sam,
                               RegHandle* result, uint32_t* disposition) = 0;

  // Opens an existing key. ERROR_FILE_NOT_FOUND when it does not exist;
  // ERROR_ACCESS_DENIED when sam asks to write and the user may not.
  virtual uint32_t OpenKeyEx(RegHandle key, const std::string& sub_key,
                             uint32_t options, uint32_t sam,
                             RegHandle* result) = 0;

  // Stores size bytes of data under value_name with the given type. The bytes
  // are kept exactly; no terminating zero is added.
  virtual uint32_t SetValueEx(RegHandle key, const std::string& value_name,
                              uint32_t reserved, uint32_t type,
                              const uint8_t* data, uint32_t size) = 0;

  virtual uint32_t DeleteValue(RegHandle key,
                               const std::string& value_name) = 0;

  // Deletes sub_key below key. On the NT family a key with subkeys is not
  // deleted (ERROR_ACCESS_DENIED); on the 9x family its subkeys go with it.
  virtual uint32_t DeleteKey(RegHandle key, const std::string& sub_key) = 0;

  // Reads value_name. *size holds the buffer's size in bytes on entry and the
  // value's size on return. When the buffer is too small the result is
  // ERROR_MORE_DATA and nothing is copied; a null data pointer asks for the
  // size alone. type may be null.
  virtual uint32_t QueryValueEx(RegHandle key, const std::string& value_name,
                                uint32_t* reserved, uint32_t* type,
                                uint8_t* data, uint32_t* size) = 0;

  virtual uint32_t CloseKey(RegHandle key) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_REGISTRY_H_
