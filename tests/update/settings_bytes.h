// Settings files in each of the encodings the terminal reads, made from UTF-8 text.
#pragma once

#include <string>
#include <string_view>

#include "text/text.h"

namespace settings_testing {

// UTF-16LE with its byte-order mark.
inline std::string Utf16File(std::string_view utf8) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text::ToUtf16(utf8)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// Windows-1252 bytes of Latin-1 text. ASCII text gets a closing comment line with a byte that
// is no UTF-8, so that the file is read in the code page all the same.
inline std::string CodePageFile(std::string_view utf8) {
  std::string bytes;
  bool ascii = true;
  for (const char16_t unit : text::ToUtf16(utf8)) {
    bytes += static_cast<char>(unit);
    ascii = ascii && unit < 0x80;
  }
  return ascii ? bytes + ";\xE9\n" : bytes;
}

inline std::string Utf8File(std::string_view utf8) { return std::string(utf8); }

struct Encoding {
  const char* name;
  std::string (*encode)(std::string_view utf8);
};

inline constexpr Encoding kEncodings[] = {
    {"UTF-8", Utf8File}, {"Windows-1252", CodePageFile}, {"UTF-16LE", Utf16File}};

inline std::string Repeat(std::string_view piece, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += piece;
  return out;
}

}  // namespace settings_testing
