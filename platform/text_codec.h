// TextCodec: conversion between the system's own text (UTF-8 inside the
// program) and the 8-bit ANSI code page that every operating-system call
// takes.
//
// A character that the code page cannot hold becomes "?", as Windows' own
// conversion does. Thread-compatible: one codec per thread. Each backend
// brings its own (the Linux backends iconv, platform/posix/).
//
// Text: converts UTF-8 to and from the machine's ANSI code page.
#ifndef QV_PLATFORM_TEXT_CODEC_H_
#define QV_PLATFORM_TEXT_CODEC_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

class TextCodec {
 public:
  virtual ~TextCodec() = default;

  // The Windows code page number (1252, 1250, 932, 65001...).
  virtual uint32_t code_page() const = 0;

  virtual std::string ToAnsi(std::string_view utf8) const = 0;
  virtual std::string FromAnsi(std::string_view ansi) const = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_TEXT_CODEC_H_
