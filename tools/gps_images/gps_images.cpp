#include "tools/gps_images/gps_images.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace gps_images {

namespace {

constexpr uint32_t k4K = 4 * 1024;
constexpr uint32_t k8K = 8 * 1024;
constexpr uint32_t k16K = 16 * 1024;
constexpr uint32_t k32K = 32 * 1024;
constexpr uint32_t k64K = 64 * 1024;
constexpr uint32_t kMbit = 1024 * 1024 / 8;
constexpr std::string_view kEngineVersion = "VERSION = 2.0";
constexpr std::size_t kLayoutsOffset = 0x2A00;

// Deterministic filler that looks like code to nobody in particular.
class Filler {
 public:
  explicit Filler(uint32_t seed) : m_state(seed == 0 ? 0x9E3779B9 : seed) {}
  uint8_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    return static_cast<uint8_t>(m_state >> 11);
  }

 private:
  uint32_t m_state;
};

std::vector<uint8_t> BannerImage(std::size_t size, std::string_view banner, uint32_t seed) {
  std::vector<uint8_t> image(size);
  Filler filler(seed);
  for (uint8_t& byte : image) byte = filler.Next();
  const std::size_t n = std::min(banner.size(), size);
  std::memcpy(image.data(), banner.data(), n);
  if (n < size) image[n] = 0;
  return image;
}

void PutLe16(std::vector<uint8_t>& image, std::size_t at, uint16_t value) {
  image[at] = static_cast<uint8_t>(value);
  image[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(std::vector<uint8_t>& image, std::size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Le32(std::span<const uint8_t> image, std::size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(image[at + i]) << (8 * i);
  return value;
}

uint32_t Hash(std::string_view text) {
  uint32_t hash = 2166136261U;
  for (const char c : text) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619U;
  return hash;
}

using Regions = std::vector<std::pair<uint32_t, uint32_t>>;

// The erase-block layout of a part of `megabits` with its boot blocks where they lie.
Regions LayoutOf(uint32_t megabits, CommandSet set, BootBlocks boot) {
  const uint32_t capacity = megabits * kMbit;
  if (set == CommandSet::kSst) return {{capacity / k4K, k4K}};
  const uint32_t mains = capacity / k64K - 1;
  Regions small =
      set == CommandSet::kIntel ? Regions{{8, k8K}} : Regions{{1, k16K}, {2, k8K}, {1, k32K}};
  if (boot == BootBlocks::kUniform) return {{capacity / k64K, k64K}};
  if (boot == BootBlocks::kBottom) {
    small.push_back({mains, k64K});
    return small;
  }
  Regions top{{mains, k64K}};
  top.insert(top.end(), small.rbegin(), small.rend());
  return top;
}

struct Family {
  const char* maker;
  uint16_t makerId;
  CommandSet set;
  struct Member {
    const char* name;
    uint32_t megabits;
    BootBlocks boot;
  };
  std::vector<Member> parts;
};

// The parts the stand-in engine knows: 4, 8 and 16 Mbit NOR flashes of twelve makers.
std::vector<Family> Families() {
  using B = BootBlocks;
  return {
      {"AMD",
       0x01,
       CommandSet::kAmd,
       {{"AM29LV400BT", 4, B::kTop},
        {"AM29LV400BB", 4, B::kBottom},
        {"AM29LV800BT", 8, B::kTop},
        {"AM29LV800BB", 8, B::kBottom},
        {"AM29LV160BT", 16, B::kTop},
        {"AM29LV160BB", 16, B::kBottom},
        {"AM29LV800DT", 8, B::kTop},
        {"AM29LV800DB", 8, B::kBottom},
        {"AM29LV160DT", 16, B::kTop},
        {"AM29LV160DB", 16, B::kBottom}}},
      {"AMIC",
       0x37,
       CommandSet::kAmd,
       {{"A29L400TV", 4, B::kTop},
        {"A29L400UV", 4, B::kBottom},
        {"A29L800TV", 8, B::kTop},
        {"A29L800UV", 8, B::kBottom},
        {"A29L160TV", 16, B::kTop},
        {"A29L160UV", 16, B::kBottom}}},
      {"EON",
       0x1C,
       CommandSet::kAmd,
       {{"EN29LV400AT", 4, B::kTop},
        {"EN29LV400AB", 4, B::kBottom},
        {"EN29LV800AT", 8, B::kTop},
        {"EN29LV800AB", 8, B::kBottom},
        {"EN29LV160AT", 16, B::kTop},
        {"EN29LV160AB", 16, B::kBottom}}},
      {"Sanyo",
       0x62,
       CommandSet::kAmd,
       {{"LE28LV400T", 4, B::kTop}, {"LE28LV800T", 8, B::kTop}, {"LE28LV160T", 16, B::kTop}}},
      {"ST",
       0x20,
       CommandSet::kAmd,
       {{"M29W400BT", 4, B::kTop},
        {"M29W400BB", 4, B::kBottom},
        {"M29W800DT", 8, B::kTop},
        {"M29W800DB", 8, B::kBottom},
        {"M29W160ET", 16, B::kTop},
        {"M29W160EB", 16, B::kBottom}}},
      {"Macronix",
       0xC2,
       CommandSet::kAmd,
       {{"MX29LV400T", 4, B::kTop},
        {"MX29LV400B", 4, B::kBottom},
        {"MX29LV800T", 8, B::kTop},
        {"MX29LV800B", 8, B::kBottom},
        {"MX29LV160T", 16, B::kTop},
        {"MX29LV160B", 16, B::kBottom}}},
      {"SST",
       0xBF,
       CommandSet::kSst,
       {{"SST39VF400A", 4, B::kUniform},
        {"SST39VF800A", 8, B::kUniform},
        {"SST39VF1601", 16, B::kUniform},
        {"SST39VF1602", 16, B::kUniform}}},
      {"Toshiba",
       0x98,
       CommandSet::kAmd,
       {{"TC58FVT400", 4, B::kTop},
        {"TC58FVB400", 4, B::kBottom},
        {"TC58FVT800", 8, B::kTop},
        {"TC58FVB800", 8, B::kBottom},
        {"TC58FVT160AFT", 16, B::kTop},
        {"TC58FVB160AFT", 16, B::kBottom}}},
      {"Intel",
       0x89,
       CommandSet::kIntel,
       {{"28F400B3T", 4, B::kTop},
        {"28F400B3B", 4, B::kBottom},
        {"28F800B3T", 8, B::kTop},
        {"28F800B3B", 8, B::kBottom},
        {"28F160B3T", 16, B::kTop},
        {"28F160B3B", 16, B::kBottom}}},
      {"Atmel",
       0x1F,
       CommandSet::kAmd,
       {{"AT49BV4096A", 4, B::kBottom},
        {"AT49BV8192A", 8, B::kBottom},
        {"AT49BV8192AT", 8, B::kTop},
        {"AT49BV160", 16, B::kBottom},
        {"AT49BV160T", 16, B::kTop}}},
      {"Sharp",
       0xB0,
       CommandSet::kIntel,
       {{"LH28F400BV", 4, B::kBottom},
        {"LH28F800BG", 8, B::kBottom},
        {"LH28F160BG", 16, B::kBottom}}},
      {"Fujitsu",
       0x04,
       CommandSet::kAmd,
       {{"MBM29LV400TC", 4, B::kTop},
        {"MBM29LV400BC", 4, B::kBottom},
        {"MBM29LV800TA", 8, B::kTop},
        {"MBM29LV800BA", 8, B::kBottom},
        {"MBM29LV160TE", 16, B::kTop},
        {"MBM29LV160BE", 16, B::kBottom}}},
  };
}

// Appends a zero-terminated text at `at` and returns its offset.
uint32_t PutText(std::vector<uint8_t>& image, std::size_t& at, std::string_view text) {
  if (at + text.size() + 1 > image.size()) throw std::logic_error("engine image too small");
  const uint32_t offset = static_cast<uint32_t>(at);
  std::memcpy(image.data() + at, text.data(), text.size());
  image[at + text.size()] = 0;
  at += text.size() + 1;
  return offset;
}

// A zero-terminated text inside the image, or none.
std::optional<std::string> TextAt(std::span<const uint8_t> image, uint32_t offset) {
  std::string text;
  for (std::size_t at = offset; at < image.size(); ++at) {
    if (image[at] == 0) return text;
    text.push_back(static_cast<char>(image[at]));
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendHex(std::string& out, uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) out.push_back(kDigits[(value >> (4 * i)) & 0xF]);
}

void AppendRecord(std::string& out, char type, uint32_t address, int addressBytes,
                  std::span<const uint8_t> data) {
  const uint32_t count = static_cast<uint32_t>(addressBytes + data.size() + 1);
  uint32_t sum = count;
  for (int i = 0; i < addressBytes; ++i) sum += (address >> (8 * i)) & 0xFF;
  for (const uint8_t byte : data) sum += byte;
  out.push_back('S');
  out.push_back(type);
  AppendHex(out, count, 2);
  AppendHex(out, address, 2 * addressBytes);
  for (const uint8_t byte : data) AppendHex(out, byte, 2);
  AppendHex(out, ~sum & 0xFF, 2);
  out += "\r\n";
}

}  // namespace

std::vector<uint8_t> MakeFirstStageLoader() {
  return BannerImage(kFirstStageLoaderSize, "VOSTREL STAND-IN FIRST-STAGE LOADER (not chip code)",
                     0x1184);
}

std::vector<uint8_t> MakeBootLoader() {
  return BannerImage(kBootLoaderSize, "VOSTREL STAND-IN GPS BOOT LOADER (not chip code)", 0xB007);
}

std::vector<uint8_t> MakeFlashEngine() {
  std::vector<uint8_t> image =
      BannerImage(kFlashEngineSize, "VOSTREL STAND-IN FLASH ENGINE 2.0 (not chip code)", 0x3A9C);
  const std::vector<Family> families = Families();
  std::size_t layoutAt = kLayoutsOffset;
  std::size_t textAt = kPartTableOffset + kPartRows * kPartRowSize;
  std::vector<std::pair<Regions, uint32_t>> layouts;
  std::vector<std::pair<std::string, uint32_t>> makers;
  std::size_t row = 0;
  // Part names first, then maker names, each once.
  std::vector<uint32_t> nameOffsets;
  for (const Family& family : families) {
    for (const Family::Member& part : family.parts) {
      nameOffsets.push_back(PutText(image, textAt, part.name));
    }
  }
  for (const Family& family : families) {
    makers.push_back({family.maker, PutText(image, textAt, family.maker)});
  }
  PutText(image, textAt, kEngineVersion);
  for (std::size_t f = 0; f < families.size(); ++f) {
    const Family& family = families[f];
    for (const Family::Member& part : family.parts) {
      const Regions regions = LayoutOf(part.megabits, family.set, part.boot);
      uint32_t layoutOffset = 0;
      const auto known = std::find_if(layouts.begin(), layouts.end(),
                                      [&](const auto& entry) { return entry.first == regions; });
      if (known != layouts.end()) {
        layoutOffset = known->second;
      } else {
        layoutOffset = static_cast<uint32_t>(layoutAt);
        for (const auto& [blocks, size] : regions) {
          PutLe32(image, layoutAt, blocks);
          PutLe32(image, layoutAt + 4, size);
          layoutAt += 8;
        }
        if (layoutAt > kPartTableOffset) throw std::logic_error("too many layouts");
        layouts.push_back({regions, layoutOffset});
      }
      const std::size_t at = kPartTableOffset + row * kPartRowSize;
      PutLe32(image, at, nameOffsets[row]);
      PutLe32(image, at + 4, makers[f].second);
      // Device IDs of this project's own numbering.
      PutLe16(image, at + 8, static_cast<uint16_t>(0x2200 + row));
      PutLe16(image, at + 10, family.makerId);
      PutLe32(image, at + 12, part.megabits * kMbit);
      PutLe32(image, at + 16, layoutOffset);
      PutLe32(image, at + 20,
              static_cast<uint32_t>(regions.size()) | (static_cast<uint32_t>(family.set) << 8) |
                  (static_cast<uint32_t>(part.boot) << 16));
      ++row;
    }
  }
  if (row != kPartRows) throw std::logic_error("the parts table must have 67 rows");
  return image;
}

std::vector<NorPart> ReadPartTable(std::span<const uint8_t> engine) {
  std::vector<NorPart> table;
  if (engine.size() < kPartTableOffset + kPartRows * kPartRowSize) return table;
  for (std::size_t row = 0; row < kPartRows; ++row) {
    const std::size_t at = kPartTableOffset + row * kPartRowSize;
    NorPart part;
    const auto name = TextAt(engine, Le32(engine, at));
    const auto maker = TextAt(engine, Le32(engine, at + 4));
    if (!name || !maker) continue;
    part.name = *name;
    part.maker = *maker;
    part.deviceId = static_cast<uint16_t>(engine[at + 8] | (engine[at + 9] << 8));
    part.makerId = static_cast<uint16_t>(engine[at + 10] | (engine[at + 11] << 8));
    part.capacity = Le32(engine, at + 12);
    const uint32_t layout = Le32(engine, at + 16);
    part.attributes = Le32(engine, at + 20);
    const uint32_t pairs = part.attributes & 0xFF;
    if (layout > engine.size() || pairs * 8ULL > engine.size() - layout) continue;
    uint64_t covered = 0;
    for (uint32_t i = 0; i < pairs; ++i) {
      part.regions.push_back({Le32(engine, layout + 8 * i), Le32(engine, layout + 8 * i + 4)});
      covered += static_cast<uint64_t>(part.regions.back().first) * part.regions.back().second;
    }
    if (covered != part.capacity) continue;
    table.push_back(std::move(part));
  }
  return table;
}

std::optional<NorPart> FindPart(const std::vector<NorPart>& table, std::string_view name) {
  for (const NorPart& part : table) {
    if (part.name.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = std::toupper(static_cast<unsigned char>(part.name[i])) ==
             std::toupper(static_cast<unsigned char>(name[i]));
    }
    if (same) return part;
  }
  return std::nullopt;
}

std::vector<uint8_t> MakeFirmwareImage(std::string_view version, std::size_t size) {
  std::vector<uint8_t> image =
      BannerImage(size, "VOSTREL STAND-IN GPS FIRMWARE (not chip code)", Hash(version));
  std::string record(kVersionRecord);
  record += version;
  record.push_back('\0');
  if (record.size() <= size) {
    std::memcpy(image.data() + size - record.size(), record.data(), record.size());
  }
  return image;
}

std::optional<std::string> FirmwareVersionIn(std::span<const uint8_t> flash) {
  const auto* begin = reinterpret_cast<const char*>(flash.data());
  const std::string_view bytes(begin, flash.size());
  const std::size_t found = bytes.find(kVersionRecord);
  if (found == std::string_view::npos) return std::nullopt;
  std::string version;
  for (std::size_t at = found + kVersionRecord.size(); at < bytes.size(); ++at) {
    const char c = bytes[at];
    if (c == '\0') return version.empty() ? std::nullopt : std::optional<std::string>(version);
    if (c < 0x21 || c > 0x7E || version.size() == kLongestVersion) return std::nullopt;
    version.push_back(c);
  }
  return std::nullopt;
}

std::string ToSRecords(std::span<const uint8_t> image, std::string_view name) {
  constexpr std::size_t kPerLine = 32;
  const uint64_t top = image.empty() ? 0 : image.size() - 1;
  const int addressBytes = top <= 0xFFFF ? 2 : (top <= 0xFFFFFF ? 3 : 4);
  const char dataType = static_cast<char>('0' + addressBytes - 1);
  const char endType = static_cast<char>('0' + 11 - addressBytes);
  std::string out;
  out.reserve(image.size() * 2 + image.size() / kPerLine * (6 + 2 * addressBytes) + 64);
  // The header's count byte must hold the name.
  const std::string header(name.substr(0, 64));
  AppendRecord(out, '0', 0, 2,
               std::span(reinterpret_cast<const uint8_t*>(header.data()), header.size()));
  uint32_t records = 0;
  for (std::size_t at = 0; at < image.size(); at += kPerLine) {
    const std::size_t n = std::min(kPerLine, image.size() - at);
    AppendRecord(out, dataType, static_cast<uint32_t>(at), addressBytes, image.subspan(at, n));
    ++records;
  }
  if (records <= 0xFFFF) {
    AppendRecord(out, '5', records, 2, {});
  } else {
    AppendRecord(out, '6', records, 3, {});
  }
  AppendRecord(out, endType, 0, addressBytes, {});
  return out;
}

std::optional<SRecord> ParseSRecord(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9' || line.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  for (std::size_t i = 2; i < line.size(); i += 2) {
    const int high = HexDigit(line[i]);
    const int low = HexDigit(line[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  const char type = line[1];
  static constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  const int addressBytes = kAddressBytes[type - '0'];
  if (addressBytes == 0 || bytes.empty() || bytes[0] + 1U != bytes.size() ||
      bytes.size() < static_cast<std::size_t>(addressBytes) + 2) {
    return std::nullopt;
  }
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
  if ((~sum & 0xFF) != bytes.back()) return std::nullopt;
  SRecord record;
  record.type = type;
  for (int i = 0; i < addressBytes; ++i) record.address = record.address << 8 | bytes[1 + i];
  record.data.assign(bytes.begin() + 1 + addressBytes, bytes.end() - 1);
  return record;
}

}  // namespace gps_images
