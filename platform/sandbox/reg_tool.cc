// reg_tool: query, set and export of the sandbox registry.
#include "platform/sandbox/reg_tool.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace qv::sandbox {

namespace {

constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kRegQword = 11;
constexpr size_t kRegLineWidth = 80;

struct RootName {
  const char* short_name;
  const char* long_name;
  RegHandle handle;
};

constexpr RootName kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", kHkeyClassesRoot},
    {"HKCU", "HKEY_CURRENT_USER", kHkeyCurrentUser},
    {"HKLM", "HKEY_LOCAL_MACHINE", kHkeyLocalMachine},
    {"HKU", "HKEY_USERS", kHkeyUsers},
};

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return i == a.size() && b[i] == 0;
}

// Lets the registry act for the machine while the tool works, and puts the
// previous setting back afterwards.
class SystemAccess {
 public:
  explicit SystemAccess(SandboxRegistry& registry)
      : registry_(registry), previous_(registry.system_access()) {
    registry_.set_system_access(true);
  }
  ~SystemAccess() { registry_.set_system_access(previous_); }
  SystemAccess(const SystemAccess&) = delete;
  SystemAccess& operator=(const SystemAccess&) = delete;

 private:
  SandboxRegistry& registry_;
  bool previous_;
};

std::string JoinKey(const std::string& parent, const std::string& child) {
  if (parent.empty()) return child;
  if (child.empty()) return parent;
  return parent + "\\" + child;
}

Status KeyError(uint32_t rc, const std::string& what, const std::string& name) {
  if (rc == kErrorFileNotFound) {
    return Status::NotFound(what + " not found: " + name);
  }
  if (rc == kErrorBadPathname) {
    return Status::Error(rc, "invalid key name: " + name);
  }
  return Status::Error(rc, "cannot read " + name);
}

std::string TypeName(uint32_t type) {
  switch (type) {
    case kRegNone:
      return "REG_NONE";
    case kRegSz:
      return "REG_SZ";
    case kRegExpandSz:
      return "REG_EXPAND_SZ";
    case kRegBinary:
      return "REG_BINARY";
    case kRegDword:
      return "REG_DWORD";
    case 5:
      return "REG_DWORD_BIG_ENDIAN";
    case 6:
      return "REG_LINK";
    case kRegMultiSz:
      return "REG_MULTI_SZ";
    case 8:
      return "REG_RESOURCE_LIST";
    case 9:
      return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10:
      return "REG_RESOURCE_REQUIREMENTS_LIST";
    case kRegQword:
      return "REG_QWORD";
    default: {
      char buffer[16];
      std::snprintf(buffer, sizeof(buffer), "0x%" PRIx32, type);
      return buffer;
    }
  }
}

// The text before the first zero byte.
std::string UpToZero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

// The strings of a multi-string: zero-terminated, ended by an empty one (or by
// the end of the data).
std::vector<std::string> SplitMultiString(const std::string& bytes) {
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    if (end == start) break;
    strings.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return strings;
}

std::string HexDigits(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

uint64_t LittleEndian(const std::string& bytes) {
  uint64_t value = 0;
  for (size_t i = bytes.size(); i > 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[i - 1]);
  }
  return value;
}

bool IsNumber(const SandboxRegistry::Value& value) {
  return (value.type == kRegDword && value.data.size() == 4) ||
         (value.type == kRegQword && value.data.size() == 8);
}

std::string NumberText(const std::string& bytes) {
  char buffer[24];
  std::snprintf(buffer, sizeof(buffer), "0x%" PRIx64, LittleEndian(bytes));
  return buffer;
}

// A value's data for `query KEY VALUE`: whole lines.
std::string ValueText(const SandboxRegistry::Value& value, const TextCodec& codec) {
  if (value.type == kRegSz || value.type == kRegExpandSz) {
    return codec.FromAnsi(UpToZero(value.data)) + "\n";
  }
  if (value.type == kRegMultiSz) {
    std::string out;
    for (const std::string& s : SplitMultiString(value.data)) {
      out += codec.FromAnsi(s) + "\n";
    }
    return out;
  }
  if (IsNumber(value)) return NumberText(value.data) + "\n";
  return HexDigits(value.data) + "\n";
}

// A value's line in the listing of a key.
std::string ValueLine(const SandboxRegistry::Value& value, const TextCodec& codec) {
  std::string data;
  if (value.type == kRegSz || value.type == kRegExpandSz) {
    data = codec.FromAnsi(UpToZero(value.data));
  } else if (value.type == kRegMultiSz) {
    for (const std::string& s : SplitMultiString(value.data)) {
      if (!data.empty()) data += "\\0";
      data += codec.FromAnsi(s);
    }
  } else if (IsNumber(value)) {
    data = NumberText(value.data);
  } else {
    data = HexDigits(value.data);
  }
  const std::string name = value.name.empty() ? "(Default)" : codec.FromAnsi(value.name);
  return "    " + name + "    " + TypeName(value.type) + "    " + data + "\n";
}

// UTF-8 to UTF-16LE bytes. Malformed sequences become U+FFFD.
std::string Utf16Le(const std::string& utf8) {
  std::string out;
  auto put = [&out](uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t length = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 0x6) {
      length = 2;
      cp = c & 0x1F;
    } else if ((c >> 4) == 0xE) {
      length = 3;
      cp = c & 0x0F;
    } else if ((c >> 3) == 0x1E) {
      length = 4;
      cp = c & 0x07;
    }
    if (length > 1) {
      if (i + length > utf8.size()) {
        cp = 0xFFFD;
        length = 1;
      } else {
        for (size_t k = 1; k < length; ++k) {
          unsigned char next = static_cast<unsigned char>(utf8[i + k]);
          if ((next >> 6) != 0x2) {
            cp = 0xFFFD;
            length = k;
            break;
          }
          cp = (cp << 6) | (next & 0x3F);
        }
      }
    }
    i += length;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// `prefix` followed by the bytes as a comma-separated hex list, wrapped with
// ",\" and a two-blank indent so that no line is longer than 80 columns.
std::string HexList(const std::string& prefix, const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  std::string line = prefix;
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    std::string piece{kDigits[c >> 4], kDigits[c & 0xF]};
    const bool last = i + 1 == bytes.size();
    if (!last) piece.push_back(',');
    // A continued line ends in "\" after its comma.
    const size_t width = line.size() + piece.size() + (last ? 0 : 1);
    if (width > kRegLineWidth && line.size() > 2) {
      out += line + "\\\n";
      line = "  ";
    }
    line += piece;
  }
  return out + line + "\n";
}

// A zero-terminated string with no other zero (or no zero at all) can be
// written in quotes without losing anything but that zero.
bool IsPlainString(const std::string& bytes) {
  size_t zero = bytes.find('\0');
  return zero == std::string::npos || zero + 1 == bytes.size();
}

std::string ExportValue(const SandboxRegistry::Value& value, const TextCodec& codec) {
  std::string name = value.name.empty() ? "@" : "\"" + Escape(codec.FromAnsi(value.name)) + "\"";
  const std::string& data = value.data;
  switch (value.type) {
    case kRegSz:
      if (IsPlainString(data)) {
        return name + "=\"" + Escape(codec.FromAnsi(UpToZero(data))) + "\"\n";
      }
      return HexList(name + "=hex(1):", Utf16Le(codec.FromAnsi(data)));
    case kRegExpandSz:
      return HexList(name + "=hex(2):", Utf16Le(codec.FromAnsi(data)));
    case kRegMultiSz:
      return HexList(name + "=hex(7):", Utf16Le(codec.FromAnsi(data)));
    case kRegBinary:
      return HexList(name + "=hex:", data);
    case kRegDword:
      if (data.size() == 4) {
        char buffer[16];
        std::snprintf(buffer, sizeof(buffer), "%08" PRIx64, LittleEndian(data));
        return name + "=dword:" + buffer + "\n";
      }
      [[fallthrough]];
    default: {
      char buffer[24];
      std::snprintf(buffer, sizeof(buffer), "=hex(%" PRIx32 "):", value.type);
      return HexList(name + buffer, data);
    }
  }
}

// Appends the section of the key at path (ANSI, as stored) below root and
// the sections of everything below it.
Status ExportTree(SandboxRegistry& registry, const TextCodec& codec, RegHandle root,
                  const std::string& path, std::string* out) {
  std::vector<SandboxRegistry::Value> values;
  std::vector<std::string> subkeys;
  const std::string full = JoinKey(RegRootName(root), codec.FromAnsi(path));
  uint32_t rc = registry.EnumKey(root, path, &values, &subkeys);
  if (rc != kErrorSuccess) return KeyError(rc, "key", full);
  *out += "[" + full + "]\n";
  for (const SandboxRegistry::Value& value : values) {
    *out += ExportValue(value, codec);
  }
  *out += "\n";
  for (const std::string& subkey : subkeys) {
    Status status = ExportTree(registry, codec, root, JoinKey(path, subkey), out);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

// Parses key and finds its path as stored (ANSI).
Status FindKey(SandboxRegistry& registry, const TextCodec& codec, const std::string& key,
               RegHandle* root, std::string* stored) {
  std::string sub_key;
  Status status = ParseRegKey(key, root, &sub_key);
  if (!status.ok()) return status;
  uint32_t rc = registry.StoredKeyPath(*root, codec.ToAnsi(sub_key), stored);
  if (rc != kErrorSuccess) {
    return KeyError(rc, "key", JoinKey(RegRootName(*root), sub_key));
  }
  return Status::OK();
}

}  // namespace

std::string RegRootName(RegHandle root) {
  for (const RootName& r : kRoots) {
    if (r.handle == root) return r.long_name;
  }
  return "";
}

Status ParseRegKey(const std::string& text, RegHandle* root, std::string* sub_key) {
  *root = 0;
  sub_key->clear();
  if (text.empty()) return Status::InvalidArgument("no registry key given");
  if (text.rfind("\\\\", 0) == 0) {
    return Status::InvalidArgument(
        "registries of other machines are not "
        "supported: " +
        text);
  }
  const size_t separator = text.find('\\');
  const std::string root_text = text.substr(0, separator);
  for (const RootName& r : kRoots) {
    if (EqualsIgnoringCase(root_text, r.short_name) || EqualsIgnoringCase(root_text, r.long_name)) {
      *root = r.handle;
      break;
    }
  }
  if (*root == 0) {
    return Status::InvalidArgument("unknown registry root \"" + root_text + "\" in \"" + text +
                                   "\": use HKLM, HKCU, HKCR or HKU (or HKEY_LOCAL_MACHINE, "
                                   "HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS)");
  }
  if (separator != std::string::npos) {
    std::string rest = text.substr(separator + 1);
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    *sub_key = std::move(rest);
  }
  return Status::OK();
}

Status RegQuery(SandboxRegistry& registry, const TextCodec& codec, const std::string& key,
                const std::optional<std::string>& value, std::string* out) {
  out->clear();
  SystemAccess access(registry);
  RegHandle root = 0;
  std::string stored;
  Status status = FindKey(registry, codec, key, &root, &stored);
  if (!status.ok()) return status;
  const std::string full = JoinKey(RegRootName(root), codec.FromAnsi(stored));

  if (value.has_value()) {
    // Value names match without regard to case, as the registry's do: ask the
    // registry for the value rather than comparing names here.
    RegHandle handle = 0;
    uint32_t rc = registry.OpenKeyEx(root, stored, 0, kKeyRead, &handle);
    if (rc != kErrorSuccess) return KeyError(rc, "key", full);
    const std::string name = codec.ToAnsi(*value);
    SandboxRegistry::Value found;
    uint32_t size = 0;
    rc = registry.QueryValueEx(handle, name, nullptr, &found.type, nullptr, &size);
    if (rc == kErrorSuccess && size != 0) {
      found.data.assign(size, '\0');
      rc = registry.QueryValueEx(handle, name, nullptr, &found.type,
                                 reinterpret_cast<uint8_t*>(found.data.data()), &size);
      found.data.resize(size);
    }
    registry.CloseKey(handle);
    const std::string shown = value->empty() ? "(Default)" : *value;
    if (rc == kErrorFileNotFound) {
      return Status::NotFound("value not found: " + shown + " in " + full);
    }
    if (rc != kErrorSuccess) {
      return Status::Error(rc, "cannot read " + shown + " in " + full);
    }
    *out = ValueText(found, codec);
    return Status::OK();
  }

  std::vector<SandboxRegistry::Value> values;
  std::vector<std::string> subkeys;
  uint32_t rc = registry.EnumKey(root, stored, &values, &subkeys);
  if (rc != kErrorSuccess) return KeyError(rc, "key", full);
  *out = full + "\n";
  for (const SandboxRegistry::Value& v : values) *out += ValueLine(v, codec);
  if (!subkeys.empty()) {
    *out += "\n";
    for (const std::string& subkey : subkeys) {
      *out += JoinKey(full, codec.FromAnsi(subkey)) + "\n";
    }
  }
  return Status::OK();
}

Status RegSet(SandboxRegistry& registry, const TextCodec& codec, const std::string& key,
              const std::string& value, const std::string& data) {
  SystemAccess access(registry);
  RegHandle root = 0;
  std::string sub_key;
  Status status = ParseRegKey(key, &root, &sub_key);
  if (!status.ok()) return status;
  const std::string full = JoinKey(RegRootName(root), sub_key);
  RegHandle handle = 0;
  uint32_t rc =
      registry.CreateKeyEx(root, codec.ToAnsi(sub_key), 0, "", 0, kKeySetValue, &handle, nullptr);
  if (rc == kErrorBadPathname) return KeyError(rc, "key", full);
  if (rc != kErrorSuccess) return Status::Error(rc, "cannot create " + full);
  // Stored with its terminating zero, as the registry's own tools store text.
  std::string bytes = codec.ToAnsi(data);
  bytes.push_back('\0');
  rc = registry.SetValueEx(handle, codec.ToAnsi(value), 0, kRegSz,
                           reinterpret_cast<const uint8_t*>(bytes.data()),
                           static_cast<uint32_t>(bytes.size()));
  registry.CloseKey(handle);
  if (rc != kErrorSuccess) {
    return Status::Error(rc, "cannot write " + value + " in " + full);
  }
  return Status::OK();
}

Status RegExport(SandboxRegistry& registry, const TextCodec& codec,
                 const std::optional<std::string>& key, std::string* out) {
  out->clear();
  SystemAccess access(registry);
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  if (key.has_value()) {
    RegHandle root = 0;
    std::string stored;
    Status status = FindKey(registry, codec, *key, &root, &stored);
    if (!status.ok()) return status;
    status = ExportTree(registry, codec, root, stored, &text);
    if (!status.ok()) return status;
  } else {
    for (const RootName& r : kRoots) {
      Status status = ExportTree(registry, codec, r.handle, "", &text);
      if (!status.ok()) return status;
    }
  }
  *out = std::move(text);
  return Status::OK();
}

}  // namespace qv::sandbox
