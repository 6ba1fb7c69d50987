#include "text/text.h"

#include <algorithm>

namespace text {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at `pos`, advancing it; malformed input yields U+FFFD for one byte.
char32_t DecodeUtf8(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int extra = 0;
  char32_t cp = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + extra >= s.size()) {
    ++pos;
    return kReplacement;
  }
  for (int i = 1; i <= extra; ++i) {
    const uint8_t next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += extra + 1;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252 bytes 0x80 to 0x9F; the five undefined ones map to themselves.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::string NormaliseFormat(std::string_view format) {
  constexpr auto npos = std::string_view::npos;
  std::string out(format);
  for (std::size_t i = 0; i + 1 < out.size(); ++i) {
    if (out[i] != '%') continue;
    std::size_t j = i + 1;
    if (out[j] == '%') {
      i = j;
      continue;
    }
    while (j < out.size() && std::string_view("-+ #0123456789.lhI").find(out[j]) != npos) ++j;
    if (j < out.size() && out[j] == 'S') out[j] = 's';
    i = j;
  }
  return out;
}

std::string TruncateToUnits(std::string text, std::size_t units) {
  if (units == 0) return {};
  const std::size_t limit = units - 1;
  std::size_t used = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = pos;
    const char32_t cp = DecodeUtf8(text, next);
    const std::size_t width = cp >= 0x10000 ? 2 : 1;
    if (used + width > limit) {
      text.resize(pos);
      return text;
    }
    used += width;
    pos = next;
  }
  return text;
}

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = DecodeUtf8(utf8, pos);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string FromUtf16(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string FromUtf16Bytes(const uint8_t* bytes, std::size_t count) {
  std::u16string units(count / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return FromUtf16(units);
}

std::string FromCodePage(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x80) {
      out += c;
    } else if (b < 0xA0) {
      AppendUtf8(out, kCp1252High[b - 0x80]);
    } else {
      AppendUtf8(out, b);
    }
  }
  return out;
}

bool IsUtf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t before = pos;
    const char32_t cp = DecodeUtf8(bytes, pos);
    if (cp == kReplacement && !(pos - before == 3 && bytes.substr(before, 3) == "\xEF\xBF\xBD")) {
      return false;
    }
  }
  return true;
}

std::size_t Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < utf8.size()) units += DecodeUtf8(utf8, pos) >= 0x10000 ? 2 : 1;
  return units;
}

char16_t FoldCase(char16_t u) {
  if (u >= u'a' && u <= u'z') return static_cast<char16_t>(u - 0x20);
  if (u < 0x80) return u;
  if ((u >= 0xE0 && u <= 0xFE && u != 0xF7)) return static_cast<char16_t>(u - 0x20);
  if (u == 0xFF) return 0x178;
  if (u >= 0x100 && u <= 0x17F) {
    // Latin Extended-A pairs capital and small letters; the block shifts parity at 0x139.
    if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) {
      return (u % 2 == 0) ? static_cast<char16_t>(u - 1) : u;
    }
    if (u == 0x131 || u == 0x138 || u == 0x149 || u == 0x17F) return u;
    return (u % 2 == 1) ? static_cast<char16_t>(u - 1) : u;
  }
  if (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) return static_cast<char16_t>(u - 0x20);
  if (u >= 0x430 && u <= 0x44F) return static_cast<char16_t>(u - 0x20);
  if (u >= 0x450 && u <= 0x45F) return static_cast<char16_t>(u - 0x50);
  return u;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const std::u16string ua = ToUtf16(a);
  const std::u16string ub = ToUtf16(b);
  const std::size_t n = std::min(ua.size(), ub.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = FoldCase(ua[i]);
    const char16_t y = FoldCase(ub[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (ua.size() == ub.size()) return 0;
  return ua.size() < ub.size() ? -1 : 1;
}

std::string ToUpper(std::string_view utf8) {
  std::u16string units = ToUtf16(utf8);
  for (char16_t& u : units) u = FoldCase(u);
  return FromUtf16(units);
}

}  // namespace text
