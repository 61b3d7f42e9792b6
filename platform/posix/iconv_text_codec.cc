// IconvTextCodec: code pages through iconv.
#include "platform/posix/iconv_text_codec.h"

#include <iconv.h>

#include <cerrno>

namespace qv {

namespace {

std::string CharsetFor(uint32_t code_page) {
  switch (code_page) {
    case 65001: return "UTF-8";
    case 20127: return "ASCII";
    case 28591: return "ISO-8859-1";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 874: return "CP874";
    default:
      if (code_page >= 1250 && code_page <= 1258) {
        return "CP" + std::to_string(code_page);
      }
      return "";
  }
}

// Length of the UTF-8 sequence that starts with lead, or 1 for a stray byte.
size_t Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 1;
}

}  // namespace

IconvTextCodec::IconvTextCodec(uint32_t code_page) : code_page_(code_page) {
  charset_ = CharsetFor(code_page);
  iconv_t probe = charset_.empty() ? reinterpret_cast<iconv_t>(-1)
                                   : iconv_open(charset_.c_str(), "UTF-8");
  if (probe == reinterpret_cast<iconv_t>(-1)) {
    code_page_ = 1252;
    charset_ = "CP1252";
  } else {
    iconv_close(probe);
  }
}

std::string IconvTextCodec::Convert(std::string_view text, const char* from,
                               const char* to) const {
  std::string out;
  if (text.empty()) return out;
  // Every code page here keeps ASCII as it is, and most text (paths above
  // all) is ASCII: no converter is needed for it.
  bool ascii = true;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) return std::string(text);
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
  const bool from_utf8 = std::string_view(from) == "UTF-8";
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char buffer[1024];
  while (in_left > 0) {
    char* outp = buffer;
    size_t out_left = sizeof(buffer);
    size_t r = iconv(cd, &in, &in_left, &outp, &out_left);
    out.append(buffer, outp - buffer);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Unconvertible or malformed input: replace one character and go on.
      size_t skip = from_utf8 ? Utf8Length(static_cast<unsigned char>(*in)) : 1;
      if (skip > in_left) skip = in_left;
      in += skip;
      in_left -= skip;
      out.push_back('?');
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* outp = buffer;
  size_t out_left = sizeof(buffer);
  iconv(cd, nullptr, nullptr, &outp, &out_left);
  out.append(buffer, outp - buffer);
  iconv_close(cd);
  return out;
}

std::string IconvTextCodec::ToAnsi(std::string_view utf8) const {
  return Convert(utf8, "UTF-8", charset_.c_str());
}

std::string IconvTextCodec::FromAnsi(std::string_view ansi) const {
  return Convert(ansi, charset_.c_str(), "UTF-8");
}

}  // namespace qv
