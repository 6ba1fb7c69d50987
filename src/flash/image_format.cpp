#include "flash/image_format.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr int8_t kNotBase64 = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kNotBase64;
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

namespace image_format {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t Le32(std::string_view bytes, std::size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
  }
  return value;
}

void PutLe32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(kAlphabet[v >> 6 & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(rest == 2 ? kAlphabet[v >> 6 & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::string MakeBin(std::string_view raw, uint32_t start, uint32_t recordSize) {
  std::string out(kBinSignature, kBinSignatureSize);
  PutLe32(out, start);
  PutLe32(out, static_cast<uint32_t>(raw.size()));
  if (recordSize == 0) recordSize = 1;
  for (std::size_t at = 0; at < raw.size(); at += recordSize) {
    const std::string_view data = raw.substr(at, recordSize);
    uint32_t sum = 0;
    for (const char c : data) sum += static_cast<uint8_t>(c);
    PutLe32(out, start + static_cast<uint32_t>(at));
    PutLe32(out, static_cast<uint32_t>(data.size()));
    PutLe32(out, sum);
    out += data;
  }
  PutLe32(out, 0);
  PutLe32(out, 0);
  PutLe32(out, 0);
  return out;
}

bool ReadBinLayout(std::string_view plain, BinLayout* layout, std::string* why) {
  *layout = {};
  if (plain.substr(0, kBinSignatureSize) != std::string_view(kBinSignature, kBinSignatureSize)) {
    *why = "it does not begin with the .BIN signature \"B000FF\"";
    return false;
  }
  std::size_t at = kBinSignatureSize;
  const auto take = [&](uint32_t* value) {
    if (plain.size() - at < 4) return false;
    *value = Le32(plain, at);
    at += 4;
    return true;
  };
  if (!take(&layout->start) || !take(&layout->length)) {
    *why = "it ends inside the image's start and length";
    return false;
  }
  for (;;) {
    BinRecord record;
    const std::size_t recordAt = at;
    if (!take(&record.address) || !take(&record.length) || !take(&record.checksum)) {
      *why = "it ends at byte " + std::to_string(recordAt) +
             " inside a record header, before the terminating record";
      return false;
    }
    if (record.address == 0 && record.checksum == 0) break;
    if (record.length == 0) {
      *why = "the record at byte " + std::to_string(recordAt) + " is empty";
      return false;
    }
    if (plain.size() - at < record.length) {
      *why = "the record at byte " + std::to_string(recordAt) + " is cut short";
      return false;
    }
    record.dataAt = at;
    at += record.length;
    layout->records.push_back(record);
  }
  layout->end = at;
  return true;
}

std::string AssembleBinImage(std::string_view plain, const BinLayout& layout) {
  const uint64_t size = ImageBufferSize(layout.length);
  std::string image(static_cast<std::size_t>(size), '\0');
  std::fill_n(image.begin(), layout.length, '\xFF');
  for (const BinRecord& record : layout.records) {
    const std::optional<uint64_t> offset =
        RecordOffset(layout.start, size, record.address, record.length);
    if (!offset) continue;
    image.replace(static_cast<std::size_t>(*offset), record.length,
                  plain.substr(record.dataAt, record.length));
  }
  return image;
}

}  // namespace image_format

void Base64Decode(const uint8_t* text, std::size_t textLength, uint8_t* output,
                  uint32_t* outLength) {
  std::size_t at = 0;
  while (at < textLength && (text[at] == ' ' || text[at] == '\t')) ++at;
  std::size_t end = at;
  while (end < textLength && kDecode[text[end]] != kNotBase64) ++end;
  uint32_t out = 0;
  uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = at; i < end; ++i) {
    bits = bits << 6 | static_cast<uint32_t>(kDecode[text[i]]);
    held += 6;
    if (held >= 8) {
      held -= 8;
      output[out++] = static_cast<uint8_t>(bits >> held);
    }
  }
  output[out] = 0;
  *outLength = out;
}
