// TextCodec: conversion between the system's own text (UTF-8 inside the
// program) and the 8-bit ANSI code page that every operating-system call
// takes.
//
// A character that the code page cannot hold becomes "?", as Windows' own
// conversion does. Thread-compatible: one codec per thread.
#ifndef QV_PLATFORM_TEXT_CODEC_H_
#define QV_PLATFORM_TEXT_CODEC_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

class TextCodec {
 public:
  // code_page is a Windows code page number (1252, 1250, 932, 65001...).
  // Unknown code pages fall back to 1252.
  explicit TextCodec(uint32_t code_page);

  uint32_t code_page() const { return code_page_; }

  std::string ToAnsi(std::string_view utf8) const;
  std::string FromAnsi(std::string_view ansi) const;

 private:
  std::string Convert(std::string_view text, const char* from,
                      const char* to) const;

  uint32_t code_page_;
  std::string charset_;
};

}  // namespace qv

#endif  // QV_PLATFORM_TEXT_CODEC_H_
