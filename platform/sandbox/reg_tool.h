// reg_tool: the machine's registry seen from outside, behind
// `qvinit machine reg DIR query|set|export`.
//
// KEY is written as reg.exe writes it: a root, short or long and in any case
// (HKLM or HKEY_LOCAL_MACHINE, HKCU, HKCR, HKU), then "\" and the path below
// it ("HKLM\SOFTWARE\Microsoft"). A trailing "\" is ignored. Text given and
// printed is UTF-8; the registry holds ANSI bytes of the machine's code page,
// converted with its TextCodec both ways.
//
// The tool acts for the machine itself, not for its user: it reads and writes
// whatever the profile's rights would refuse the user.
//
// Output formats:
//   query KEY VALUE   the value's data alone, then a line end: text up to its
//                     first zero (REG_SZ, REG_EXPAND_SZ); one string a line
//                     (REG_MULTI_SZ); "0x" and lower-case hex without leading
//                     zeros, as reg.exe shows them (REG_DWORD, REG_QWORD);
//                     upper-case hex digits, two a byte (anything else). An
//                     empty VALUE names the key's default value.
//   query KEY         the key's full name, one line a value
//                     ("    NAME    REG_SZ    DATA", "(Default)" for the
//                     default value, a multi-string's strings joined by
//                     "\0"), then, after an empty line, the full name of each
//                     subkey.
//   export [KEY]      .reg text ("Windows Registry Editor Version 5.00"), one
//                     [section] a key, KEY and everything below it (every root
//                     without KEY), subkeys in name order. Lines end in "\n".
//                     Strings as "name"="data" with \ and " escaped and "@"
//                     for the default value; a REG_SZ holding zero bytes
//                     other than one final one as hex(1):; dword:xxxxxxxx;
//                     REG_EXPAND_SZ hex(2): and REG_MULTI_SZ hex(7): as
//                     UTF-16LE bytes; REG_BINARY hex:; other types hex(N):
//                     with the raw bytes. Hex lists wrap at 80 columns.
//
// Used from one thread, like the registry it is given.
#ifndef QV_PLATFORM_SANDBOX_REG_TOOL_H_
#define QV_PLATFORM_SANDBOX_REG_TOOL_H_

#include <optional>
#include <string>

#include "platform/registry.h"
#include "platform/sandbox/sandbox_registry.h"
#include "platform/status.h"
#include "platform/text_codec.h"

namespace qv::sandbox {

// Takes KEY apart into its root and the path below it (as given, without
// trailing "\"; "" for the root itself). ERROR_INVALID_PARAMETER with a
// message naming the known roots for anything else.
Status ParseRegKey(const std::string& text, RegHandle* root, std::string* sub_key);

// "HKEY_LOCAL_MACHINE" and its kin; "" for a handle that is no root.
std::string RegRootName(RegHandle root);

// Prints a value's data, or without value every value and subkey of key.
// Fails with ERROR_FILE_NOT_FOUND when the key or value is missing.
Status RegQuery(SandboxRegistry& registry, const TextCodec& codec, const std::string& key,
                const std::optional<std::string>& value, std::string* out);

// Writes value as REG_SZ with its terminating zero, making key (and every
// missing level) when it does not exist.
Status RegSet(SandboxRegistry& registry, const TextCodec& codec, const std::string& key,
              const std::string& value, const std::string& data);

// Writes key and everything below it, or without key the whole registry, as
// .reg text.
Status RegExport(SandboxRegistry& registry, const TextCodec& codec,
                 const std::optional<std::string>& key, std::string* out);

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_REG_TOOL_H_
