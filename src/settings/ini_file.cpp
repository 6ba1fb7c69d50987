#include "settings/ini_file.h"

#include <cstdint>

#include "log/log.h"
#include "platform/platform.h"
#include "text/text.h"

namespace {

constexpr std::size_t kReadChunk = 4096;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// Cuts units to at most `limit`, never leaving half of a surrogate pair at the end.
std::u16string_view CutUnits(std::u16string_view units, std::size_t limit) {
  if (units.size() <= limit) return units;
  units = units.substr(0, limit);
  if (!units.empty() && IsHighSurrogate(units.back())) units.remove_suffix(1);
  return units;
}

// Value lines begin with a letter: ASCII letters and everything from U+00C0 on, so that keys in
// other alphabets are read while digits, punctuation and comment marks are not.
bool IsLetter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') || unit >= 0xC0;
}

bool EqualsFolded(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (text::FoldCase(a[i]) != text::FoldCase(b[i])) return false;
  }
  return true;
}

}  // namespace

CIniLineReader::CIniLineReader(std::string_view fileBytes, std::size_t firstLineUnits,
                               std::size_t lineUnits)
    : m_bytes(fileBytes), m_firstLineUnits(firstLineUnits), m_lineUnits(lineUnits) {
  // The byte-order mark says how to read the file and is no part of its first line, so a
  // section header may stand on the first line of a file saved as Unicode.
  if (m_bytes.starts_with("\xFF\xFE")) {
    m_encoding = Encoding::kUtf16;
    m_pos = 2;
  } else if (text::IsUtf8(m_bytes)) {
    m_encoding = Encoding::kUtf8;
    if (m_bytes.starts_with("\xEF\xBB\xBF")) m_pos = 3;
  }
}

bool CIniLineReader::Next(IniLine* line) {
  const std::size_t limit = m_first ? m_firstLineUnits : m_lineUnits;
  std::u16string units;
  bool hasLf = false;
  if (m_encoding == Encoding::kUtf16) {
    // An odd last byte is no unit.
    if (m_bytes.size() - m_pos < 2) return false;
    while (m_bytes.size() - m_pos >= 2) {
      const auto unit = static_cast<char16_t>(static_cast<uint8_t>(m_bytes[m_pos]) |
                                              (static_cast<uint8_t>(m_bytes[m_pos + 1]) << 8));
      m_pos += 2;
      if (unit == u'\n') {
        hasLf = true;
        break;
      }
      // One unit past the limit tells a cut line from a full one.
      if (units.size() <= limit) units += unit;
    }
  } else {
    if (m_pos >= m_bytes.size()) return false;
    const std::size_t end = m_bytes.find('\n', m_pos);
    hasLf = end != std::string_view::npos;
    const std::string_view bytes =
        m_bytes.substr(m_pos, hasLf ? end - m_pos : std::string_view::npos);
    m_pos = hasLf ? end + 1 : m_bytes.size();
    // Decode only what the buffer can hold, plus enough to see that the line goes on: a UTF-16
    // unit takes at most three bytes of UTF-8 and one byte of the code page.
    if (m_encoding == Encoding::kUtf8) {
      units = text::ToUtf16(bytes.substr(0, 3 * (limit + 1)));
    } else {
      units = text::ToUtf16(text::FromCodePage(bytes.substr(0, limit + 1)));
    }
  }
  m_first = false;

  bool whole = true;
  if (const std::size_t nul = units.find(u'\0'); nul != std::u16string::npos) {
    units.resize(nul);
    whole = false;
  }
  if (units.size() > limit) {
    units = std::u16string(CutUnits(units, limit));
    whole = false;
  }
  line->readUnits = units.size() + (whole && hasLf ? 1 : 0);
  if (!units.empty() && units.back() == u'\r') units.pop_back();
  line->text = std::move(units);
  return true;
}

int ReadIniValueFromBytes(std::string_view fileBytes, std::string_view section,
                          std::string_view key, std::string_view defaultValue, std::string* out) {
  const std::u16string wantedSection = text::ToUtf16(section);
  const std::u16string wantedKey = text::ToUtf16(key);
  *out = std::string(defaultValue);
  std::u16string currentSection;
  CIniLineReader reader(fileBytes, kIniFirstLineUnits, kIniLineUnits);
  IniLine line;
  while (reader.Next(&line)) {
    std::u16string_view rest = line.text;
    const std::size_t start = rest.find_first_not_of(u' ');
    if (start == std::u16string_view::npos) continue;
    rest.remove_prefix(start);
    if (rest.front() == u'[') {
      const std::size_t close = rest.find(u']', 1);
      if (close != std::u16string_view::npos) {
        currentSection = CutUnits(rest.substr(1, close - 1), kIniSectionUnits);
      }
      continue;
    }
    if (!IsLetter(rest.front())) continue;
    if (!EqualsFolded(currentSection, wantedSection)) continue;
    const std::size_t equals = rest.find(u'=');
    if (equals == std::u16string_view::npos) continue;
    if (!EqualsFolded(rest.substr(0, equals), wantedKey)) continue;
    *out = text::FromUtf16(CutUnits(rest.substr(equals + 1), kIniValueUnits));
    return kIniFound;
  }
  return kIniKeyNotFound;
}

bool ReadFileBytes(std::string_view path, std::string* bytes) {
  auto& fs = platform::Fs();
  const platform::Handle file =
      fs.Open(path, platform::kGenericRead, platform::kShareRead | platform::kShareWrite,
              platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  if (file == platform::kInvalidHandle) return false;
  std::string content;
  char chunk[kReadChunk];
  uint32_t read = 0;
  while (fs.Read(file, chunk, sizeof(chunk), &read) && read > 0) content.append(chunk, read);
  fs.Close(file);
  *bytes = std::move(content);
  return true;
}

int ReadIniValue(std::string_view path, std::string_view section, std::string_view key,
                 std::string_view defaultValue, std::string* out) {
  if (!CLog::FileExists(path)) return kIniNoFile;
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return kIniCannotOpen;
  return ReadIniValueFromBytes(bytes, section, key, defaultValue, out);
}
