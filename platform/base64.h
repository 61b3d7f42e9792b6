// Standard base64 (RFC 4648, with "=" padding), for keys and signatures
// written as text.
#ifndef QV_PLATFORM_BASE64_H_
#define QV_PLATFORM_BASE64_H_

#include <string>
#include <string_view>

namespace qv {

std::string Base64Encode(std::string_view bytes);

// Decodes text of the standard alphabet, padded to a multiple of four
// characters; false for anything else (spaces, line breaks, the URL-safe
// alphabet, bits left over after the last byte).
bool Base64Decode(std::string_view text, std::string* bytes);

}  // namespace qv

#endif  // QV_PLATFORM_BASE64_H_
