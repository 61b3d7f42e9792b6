// Win32TextCodec: UTF-8 to and from an ANSI code page by Windows' own
// conversion (through UTF-16). A character the code page lacks becomes "?".
//
// Immutable after construction; may be shared between threads.
//
// Text: converts UTF-8 to and from the code page given (by default the
// machine's ANSI code page, GetACP).
#ifndef QV_PLATFORM_WIN32_WIN32_TEXT_CODEC_H_
#define QV_PLATFORM_WIN32_WIN32_TEXT_CODEC_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text_codec.h"

namespace qv::win32 {

class Win32TextCodec : public TextCodec {
 public:
  // The machine's ANSI code page.
  Win32TextCodec();
  explicit Win32TextCodec(uint32_t code_page);

  uint32_t code_page() const override { return code_page_; }
  std::string ToAnsi(std::string_view utf8) const override;
  std::string FromAnsi(std::string_view ansi) const override;

 private:
  uint32_t code_page_;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_TEXT_CODEC_H_
