// The settings file reader: single values out of "Vostrel.ini", and the file's lines as the
// terminal's fixed buffers hold them.
//
// A file is UTF-16LE when it begins with FF FE (the mark itself is not text), else 8-bit text:
// UTF-8 when its bytes are well-formed UTF-8, otherwise the terminal's code page Windows-1252.
// Lines end with LF; one CR before it is removed. Lengths count UTF-16 code units.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What ReadIniValue found.
enum IniResult : int {
  kIniFound = 0,        // the output holds the value
  kIniNoFile = 1,       // the output is untouched
  kIniCannotOpen = 2,   // the output is untouched
  kIniKeyNotFound = 3,  // the output holds the default
};

// The terminal's buffers: longer texts are cut at these lengths, and the rest of a cut line is
// thrown away rather than read as a line of its own.
inline constexpr std::size_t kIniLineUnits = 1023;
inline constexpr std::size_t kIniFirstLineUnits = 511;
inline constexpr std::size_t kIniSectionUnits = 255;
inline constexpr std::size_t kIniValueUnits = 511;
inline constexpr std::size_t kScriptLineUnits = 511;

// One line of a settings file.
struct IniLine {
  // The line's text without its LF and without one CR before it, cut to the line limit. A NUL
  // character ends the text, as it ended the terminal's C strings.
  std::u16string text;
  // The length the terminal saw before removing the line end: the text, plus its CR and LF
  // when the line was not cut.
  std::size_t readUnits = 0;
};

// Reads the lines of a file's bytes in order. The bytes must outlive the reader.
class CIniLineReader {
 public:
  // firstLineUnits limits the first line, lineUnits every other line.
  CIniLineReader(std::string_view fileBytes, std::size_t firstLineUnits, std::size_t lineUnits);

  // Fills the next line and returns true; false at the end of the file (line untouched).
  bool Next(IniLine* line);

 private:
  enum class Encoding { kUtf16, kUtf8, kCodePage };

  std::string_view m_bytes;
  std::size_t m_pos = 0;
  Encoding m_encoding = Encoding::kCodePage;
  std::size_t m_firstLineUnits;
  std::size_t m_lineUnits;
  bool m_first = true;
};

// The value of key in section of a settings file held in memory: kIniFound with the value in
// out, or kIniKeyNotFound with the default in out. Sections and keys are matched without
// regard to case; the first matching line wins.
int ReadIniValueFromBytes(std::string_view fileBytes, std::string_view section,
                          std::string_view key, std::string_view defaultValue, std::string* out);

// Reads a whole file of the terminal into bytes. False when it cannot be opened (bytes
// untouched); a read that fails part way ends the file there, as a text stream does.
bool ReadFileBytes(std::string_view path, std::string* bytes);

// The value of key in section of the settings file at path: kIniFound or kIniKeyNotFound as
// ReadIniValueFromBytes, kIniNoFile when no file is found there, kIniCannotOpen when it cannot
// be opened (out untouched in both cases).
int ReadIniValue(std::string_view path, std::string_view section, std::string_view key,
                 std::string_view defaultValue, std::string* out);
