// IconvTextCodec: the TextCodec of the Linux backends, on the C library's
// iconv.
//
// The code page is a Windows code page number (1252, 1250, 932, 65001...);
// one that iconv does not know falls back to 1252.
#ifndef QV_PLATFORM_POSIX_ICONV_TEXT_CODEC_H_
#define QV_PLATFORM_POSIX_ICONV_TEXT_CODEC_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text_codec.h"

namespace qv {

class IconvTextCodec : public TextCodec {
 public:
  explicit IconvTextCodec(uint32_t code_page);

  uint32_t code_page() const override { return code_page_; }
  std::string ToAnsi(std::string_view utf8) const override;
  std::string FromAnsi(std::string_view ansi) const override;

 private:
  std::string Convert(std::string_view text, const char* from, const char* to) const;

  uint32_t code_page_;
  std::string charset_;
};

}  // namespace qv

#endif  // QV_PLATFORM_POSIX_ICONV_TEXT_CODEC_H_
