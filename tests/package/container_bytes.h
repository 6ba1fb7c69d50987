// Containers made by hand for the tests: field encoders, and a second, deliberately plain
// writer, so that the reader is never checked only against the writer it ships with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace container_bytes {

inline std::string Le32(uint32_t value) {
  return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
          static_cast<char>(value >> 24)};
}

inline std::string Le16(uint16_t value) {
  return {static_cast<char>(value), static_cast<char>(value >> 8)};
}

// UTF-16LE units of the name with one NUL unit.
inline std::string NameBytes(const std::u16string& name) {
  std::string bytes;
  for (const char16_t unit : name + u'\0') bytes += Le16(static_cast<uint16_t>(unit));
  return bytes;
}

// Stored bytes of logical ones (and back).
inline std::string Complemented(std::string bytes) {
  for (char& c : bytes) c = static_cast<char>(~static_cast<unsigned char>(c));
  return bytes;
}

inline uint32_t PlainSum(const std::string& logical) {
  uint32_t sum = 0;
  for (const char c : logical) sum += static_cast<unsigned char>(c);
  return sum;
}

struct Item {
  std::u16string name;
  uint32_t attrib = 0;
  std::string data;
};

// The logical bytes of a container without its checksum; num is the entry count unless given.
inline std::string ReferenceLogical(const std::vector<Item>& items, uint32_t sizeField,
                                    int num = -1) {
  uint32_t offset = 7;
  for (const Item& item : items) offset += 4 + 2 * (item.name.size() + 1) + 12;
  std::string logical =
      "\x1A" + Le32(sizeField) + Le16(static_cast<uint16_t>(num < 0 ? items.size() : num));
  for (const Item& item : items) {
    logical += Le32(static_cast<uint32_t>(4 + 2 * (item.name.size() + 1) + 12));
    logical += NameBytes(item.name);
    logical += Le32(item.attrib) + Le32(static_cast<uint32_t>(item.data.size())) + Le32(offset);
    offset += static_cast<uint32_t>(item.data.size());
  }
  for (const Item& item : items) logical += item.data;
  return logical;
}

// The stored bytes of a whole container: the logical bytes and their sum, complemented.
inline std::string Seal(const std::string& logical) {
  return Complemented(logical + Le32(PlainSum(logical)));
}

inline std::string ReferenceContainer(const std::vector<Item>& items, uint32_t sizeField,
                                      int num = -1) {
  return Seal(ReferenceLogical(items, sizeField, num));
}

// The stored bytes of the one-member example: "ab" holding "xyz", size field 0.
inline std::string ExampleStored() {
  const uint8_t bytes[] = {0xe5, 0xff, 0xff, 0xff, 0xff, 0xfe, 0xff, 0xe9, 0xff, 0xff, 0xff, 0x9e,
                           0xff, 0x9d, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfc, 0xff, 0xff,
                           0xff, 0xe2, 0xff, 0xff, 0xff, 0x87, 0x86, 0x85, 0x80, 0xfd, 0xff, 0xff};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

inline std::vector<uint8_t> ToBytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace container_bytes
