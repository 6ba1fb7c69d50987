#include "package/manifest.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <set>

#include "hash/blake3.h"
#include "text/text.h"

namespace manifest {

namespace {

// The DER that precedes the 32 key bytes: an Ed25519 SubjectPublicKeyInfo, and a version 1
// PKCS#8 PrivateKeyInfo without attributes or public key. Both are fixed, so nothing else needs
// decoding.
constexpr uint8_t kPublicPrefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                     0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr uint8_t kPrivatePrefix[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                      0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool EqualFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHex(std::string_view text, uint8_t* out, std::size_t size) {
  if (text.size() != size * 2) return false;
  for (std::size_t i = 0; i < size; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

// A decimal number as FormatManifest writes it: no sign, no leading zero, within 32 bits.
bool ParseDecimal(std::string_view text, uint32_t* value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Takes the text up to the next blank.
bool TakeField(std::string_view* line, std::string_view* field) {
  const std::size_t blank = line->find(' ');
  if (blank == std::string_view::npos) return false;
  *field = line->substr(0, blank);
  line->remove_prefix(blank + 1);
  return true;
}

bool DecodeBase64(std::string_view text, std::vector<uint8_t>* out) {
  if (text.size() % 4 != 0) return false;
  uint32_t bits = 0;
  int held = 0;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '=') {
      // Padding only at the very end, at most two.
      if (i < text.size() - 2) return false;
      ++padding;
      continue;
    }
    if (padding > 0) return false;
    const char* found = std::strchr(kBase64, c);
    if (c == '\0' || found == nullptr) return false;
    bits = bits << 6 | static_cast<uint32_t>(found - kBase64);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out->push_back(static_cast<uint8_t>(bits >> held));
    }
  }
  return true;
}

std::string EncodeBase64(std::span<const uint8_t> bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? bytes[i + k] : 0u);
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= n ? kBase64[(group >> (18 - 6 * k)) & 0x3f] : '=';
    }
  }
  return text;
}

// The DER inside one PEM block of the label; blanks around the block and CR before line ends
// are taken, anything else is refused.
bool DecodePem(std::string_view pem, std::string_view label, std::vector<uint8_t>* der,
               std::string* error) {
  const std::string begin = "-----BEGIN " + std::string(label) + "-----";
  const std::string end = "-----END " + std::string(label) + "-----";
  while (!pem.empty() && std::isspace(static_cast<unsigned char>(pem.front())))
    pem.remove_prefix(1);
  while (!pem.empty() && std::isspace(static_cast<unsigned char>(pem.back()))) pem.remove_suffix(1);
  if (!pem.starts_with(begin) || !pem.ends_with(end) || pem.size() < begin.size() + end.size()) {
    *error = "expected one \"" + begin + "\" block";
    return false;
  }
  std::string body;
  for (char c : pem.substr(begin.size(), pem.size() - begin.size() - end.size())) {
    if (c != '\n' && c != '\r') body += c;
  }
  if (!DecodeBase64(body, der)) {
    *error = "the " + std::string(label) + " block is not base64";
    return false;
  }
  return true;
}

template <std::size_t N>
bool ParseKeyPem(std::string_view pem, std::string_view label, const uint8_t (&prefix)[N],
                 std::array<uint8_t, kKeySize>* key, std::string* error) {
  std::vector<uint8_t> der;
  if (!DecodePem(pem, label, &der, error)) return false;
  if (der.size() != N + kKeySize || !std::equal(prefix, prefix + N, der.begin())) {
    *error = "the " + std::string(label) + " is not an Ed25519 key";
    return false;
  }
  std::copy(der.begin() + N, der.end(), key->begin());
  return true;
}

// The y coordinates of the points of small order (those whose multiple by 8 is the neutral
// point), and y + p where y has such an alias: for such a key, R the neutral point and S = 0 make
// a valid signature of any message, so trusting one would trust anybody. With either sign bit
// each is such a point (or names one non-canonically).
constexpr std::array<std::array<uint8_t, kKeySize>, 7> kSmallOrderY = {{
    {0x01},  // the neutral point
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},  // order 2: y = p - 1
    {0x00},                                                        // order 4
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},  // order 8
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},  // order 8
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},  // y = 0 + p
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},  // y = 1 + p
}};

bool IsSmallOrder(std::array<uint8_t, kKeySize> key) {
  key[kKeySize - 1] &= 0x7f;
  return std::find(kSmallOrderY.begin(), kSmallOrderY.end(), key) != kSmallOrderY.end();
}

template <std::size_t N>
std::string KeyPem(std::string_view label, const uint8_t (&prefix)[N],
                   const std::array<uint8_t, kKeySize>& key) {
  std::vector<uint8_t> der(prefix, prefix + N);
  der.insert(der.end(), key.begin(), key.end());
  return "-----BEGIN " + std::string(label) + "-----\n" + EncodeBase64(der) + "\n-----END " +
         std::string(label) + "-----\n";
}

}  // namespace

const Item* Manifest::Find(std::string_view name) const {
  for (const Item& item : items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

const Item* Manifest::FindFolded(std::string_view name) const {
  for (const Item& item : items) {
    if (EqualFolded(item.name, name)) return &item;
  }
  return nullptr;
}

Digest PieceDigest(const uint8_t* data, std::size_t length) { return blake3::Hash(data, length); }

std::vector<Digest> PieceDigestsOf(std::span<const uint8_t> bytes) {
  std::vector<Digest> digests;
  for (std::size_t start = 0; start < bytes.size(); start += kPieceSize) {
    digests.push_back(
        PieceDigest(bytes.data() + start, std::min<std::size_t>(kPieceSize, bytes.size() - start)));
  }
  return digests;
}

std::string FormatManifest(const Manifest& manifest) {
  std::string text(kFormatLine);
  for (const Item& item : manifest.items) {
    text += text::Sprintf("%u %08x %s\n", item.length, item.attrib, item.name);
    for (const Digest& piece : item.pieces) {
      text += Hex(piece);
      text += '\n';
    }
  }
  return text;
}

namespace {

// The manifest's text, a line at a time, counting lines for the messages.
class Lines {
 public:
  explicit Lines(std::string_view text) : m_text(text) {}
  bool AtEnd() const { return m_text.empty(); }
  std::size_t Number() const { return m_number; }
  bool Next(std::string_view* line, std::string* error) {
    ++m_number;
    const std::size_t newline = m_text.find('\n');
    if (newline == std::string_view::npos) {
      *error = text::Sprintf("manifest line %zu does not end with a line feed", m_number);
      return false;
    }
    *line = m_text.substr(0, newline);
    m_text.remove_prefix(newline + 1);
    return true;
  }

 private:
  std::string_view m_text;
  std::size_t m_number = 1;  // the format line
};

bool ParseItemLine(std::string_view line, std::size_t number, Item* item, std::string* error) {
  std::string_view length, attrib;
  uint8_t word[4];
  if (!TakeField(&line, &length) || !TakeField(&line, &attrib) ||
      !ParseDecimal(length, &item->length) || attrib.size() != 8 || !ParseHex(attrib, word, 4)) {
    *error = text::Sprintf("manifest line %zu is not \"LENGTH ATTRIB NAME\"", number);
    return false;
  }
  item->attrib = static_cast<uint32_t>(word[0]) << 24 | static_cast<uint32_t>(word[1]) << 16 |
                 static_cast<uint32_t>(word[2]) << 8 | word[3];
  const bool control = std::any_of(line.begin(), line.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  if (line.empty() || control || line == kSignatureMember) {
    *error = text::Sprintf("manifest line %zu names no member that can be signed", number);
    return false;
  }
  item->name = std::string(line);
  return true;
}

}  // namespace

bool ParseManifest(std::string_view text, Manifest* manifest, std::string* error) {
  manifest->items.clear();
  if (!text.starts_with(kFormatLine)) {
    *error = "the manifest does not begin with \"vostrel-manifest 2\"";
    return false;
  }
  Lines lines(text.substr(kFormatLine.size()));
  std::set<std::string> names;
  while (!lines.AtEnd()) {
    std::string_view line;
    Item item;
    if (!lines.Next(&line, error) || !ParseItemLine(line, lines.Number(), &item, error)) {
      return false;
    }
    if (!names.insert(item.name).second) {
      *error =
          text::Sprintf("manifest line %zu repeats the member \"%s\"", lines.Number(), item.name);
      return false;
    }
    item.pieces.resize(PieceCount(item.length));
    for (Digest& piece : item.pieces) {
      if (!lines.Next(&line, error)) return false;
      if (line.size() != 2 * kDigestSize || !ParseHex(line, piece.data(), kDigestSize)) {
        *error = text::Sprintf("manifest line %zu is not the digest of a piece of \"%s\"",
                               lines.Number(), item.name);
        return false;
      }
    }
    manifest->items.push_back(std::move(item));
  }
  return true;
}

bool SplitMember(std::span<const uint8_t> member, SignedParts* parts, std::string* error) {
  if (member.size() < kTrailerSize || member.size() > kMaxMemberSize) {
    *error = text::Sprintf(
        "the signature member's %zu bytes cannot hold a manifest and its "
        "signature",
        member.size());
    return false;
  }
  const std::size_t textLength = member.size() - kTrailerSize;
  parts->manifestText = member.first(textLength);
  std::copy_n(member.begin() + textLength, kSignatureSize, parts->signature.begin());
  std::copy_n(member.begin() + textLength + kSignatureSize, kKeySize, parts->key.begin());
  return true;
}

std::vector<uint8_t> JoinMember(std::string_view manifestText, const Signature& signature,
                                const PublicKey& key) {
  std::vector<uint8_t> bytes(manifestText.begin(), manifestText.end());
  bytes.insert(bytes.end(), signature.begin(), signature.end());
  bytes.insert(bytes.end(), key.begin(), key.end());
  return bytes;
}

bool ParsePublicKeyPem(std::string_view pem, PublicKey* key, std::string* error) {
  if (!ParseKeyPem(pem, "PUBLIC KEY", kPublicPrefix, key, error)) return false;
  if (IsSmallOrder(*key)) {
    *error = "the PUBLIC KEY is a point of small order, for which anybody can make a signature";
    return false;
  }
  return true;
}

bool ParsePrivateKeyPem(std::string_view pem, PrivateKey* key, std::string* error) {
  return ParseKeyPem(pem, "PRIVATE KEY", kPrivatePrefix, key, error);
}

std::string PublicKeyPem(const PublicKey& key) { return KeyPem("PUBLIC KEY", kPublicPrefix, key); }

std::string PrivateKeyPem(const PrivateKey& key) {
  return KeyPem("PRIVATE KEY", kPrivatePrefix, key);
}

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

std::string Fingerprint(const Digest& keyHash) { return Hex(std::span(keyHash).first(8)); }

std::optional<std::string> CompareEntries(const Manifest& manifest,
                                          std::span<const EntryView> entries) {
  std::size_t next = 0;
  for (const EntryView& entry : entries) {
    if (entry.name == kSignatureMember) continue;
    if (next == manifest.items.size()) {
      return text::Sprintf("the member \"%s\" is not in the manifest", entry.name);
    }
    const Item& item = manifest.items[next++];
    if (item.name != entry.name) {
      return text::Sprintf("the member \"%s\" is where the manifest has \"%s\"", entry.name,
                           item.name);
    }
    if (item.length != entry.length || item.attrib != entry.attrib) {
      return text::Sprintf("the member \"%s\" differs from the manifest in length or attributes",
                           entry.name);
    }
  }
  if (next < manifest.items.size()) {
    return text::Sprintf("the manifest's member \"%s\" is not in the package",
                         manifest.items[next].name);
  }
  return std::nullopt;
}

}  // namespace manifest
