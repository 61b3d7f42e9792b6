// The fixed identifiers of the component library in the form COM takes them:
// the GUIDs of control/ctlInit_V3.h as GUID values, the ProgID and the type
// library's version.
#ifndef QV_PLATFORM_WIN32_COM_COM_IDS_H_
#define QV_PLATFORM_WIN32_COM_COM_IDS_H_

#include "control/ctlInit_V3.h"
#include "platform/win32/windows_api.h"

namespace qv::com {

// Reads a GUID in its registry form ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}").
// Evaluated at compile time, so a malformed text does not compile.
consteval unsigned HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  throw "not a hexadecimal digit";
}

consteval unsigned long long HexField(const char* text, int first, int digits) {
  unsigned long long value = 0;
  for (int i = 0; i < digits; ++i) value = value * 16 + HexDigit(text[first + i]);
  return value;
}

consteval GUID ParseGuid(const char* text) {
  if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
      text[24] != '-' || text[37] != '}' || text[38] != '\0') {
    throw "not a GUID in braces";
  }
  GUID guid{};
  guid.Data1 = static_cast<unsigned long>(HexField(text, 1, 8));
  guid.Data2 = static_cast<unsigned short>(HexField(text, 10, 4));
  guid.Data3 = static_cast<unsigned short>(HexField(text, 15, 4));
  const int starts[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    guid.Data4[i] = static_cast<unsigned char>(HexField(text, starts[i], 2));
  }
  return guid;
}

inline constexpr GUID kLibraryId = ParseGuid(kLibraryGuid);
inline constexpr GUID kClassId = ParseGuid(kClassGuid);
inline constexpr GUID kDispatchId = ParseGuid(kDispatchInterfaceGuid);
inline constexpr GUID kEventsId = ParseGuid(kEventInterfaceGuid);

// "QV_INIT_V3.ctlInit_V3": the name scripts create the control by.
inline constexpr wchar_t kProgId[] = L"QV_INIT_V3.ctlInit_V3";
inline constexpr wchar_t kClassDisplayName[] = L"ctlInit_V3";

// The type library's version (the library's major and minor version).
inline constexpr unsigned short kTypeLibMajor = 3;
inline constexpr unsigned short kTypeLibMinor = 0;
inline constexpr wchar_t kTypeLibVersion[] = L"3.0";

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_COM_IDS_H_
