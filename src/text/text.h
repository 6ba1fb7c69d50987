// Text helpers shared by the whole program: the printf-style formatting of the system's
// messages, UTF-8/UTF-16 conversion, and comparison without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/printf.h>

namespace text {

// "%S" (an 8-bit string on the terminal) takes a string like "%s" here, since all text is UTF-8
// inside the program.
std::string NormaliseFormat(std::string_view format);

// Formats a message written as the system gives it ("%s", "%S", "%d", "%ld", "%06d", ...).
template <typename... Args>
std::string Sprintf(std::string_view format, const Args&... args) {
  return fmt::sprintf(NormaliseFormat(format), args...);
}

// A 32-bit number as the terminal's "%ld" prints it: its long is 32 bits and signed.
inline int32_t AsLong(uint32_t value) { return static_cast<int32_t>(value); }

// Cuts a text so that it fits a buffer of `units` UTF-16 code units with its terminator, as the
// terminal's fixed message buffers do. Never splits a character.
std::string TruncateToUnits(std::string text, std::size_t units);

std::u16string ToUtf16(std::string_view utf8);
std::string FromUtf16(std::u16string_view utf16);
// UTF-16LE bytes (without a byte-order mark) to UTF-8; an odd last byte is ignored.
std::string FromUtf16Bytes(const uint8_t* bytes, std::size_t count);
// Text in the terminal's 8-bit code page (Windows-1252) to UTF-8.
std::string FromCodePage(std::string_view bytes);
// True when the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view bytes);

// Number of UTF-16 code units the text takes.
std::size_t Utf16Length(std::string_view utf8);

// Upper-cases one UTF-16 code unit as the terminal's case-insensitive comparisons do (ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic letters).
char16_t FoldCase(char16_t unit);

// Compares two texts without regard to case, unit by unit: <0, 0 or >0.
int CompareNoCase(std::string_view a, std::string_view b);
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return CompareNoCase(a, b) == 0;
}
// Upper-cases a text (the same folding as FoldCase).
std::string ToUpper(std::string_view utf8);

}  // namespace text
