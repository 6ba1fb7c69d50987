#include "flash/driver/ecc.h"

#include <array>
#include <bit>

namespace flash_driver {

namespace {

// Each check word is 12 bits: the XOR of the bit numbers (0 to 4095) of every set bit, and the
// XOR of their complements. One flipped data bit changes the first by its number and the second
// by the complement, so the two differences together are all ones; any other pattern of one
// differing bit is a flip in the check bytes themselves.
constexpr uint32_t kMask = 0xFFF;

struct ByteTables {
  std::array<uint8_t, 256> bitXor{};  // XOR of the positions (0 to 7) of the set bits
  std::array<uint8_t, 256> parity{};
};

constexpr ByteTables MakeTables() {
  ByteTables tables;
  for (unsigned value = 0; value < 256; ++value) {
    uint8_t x = 0;
    uint8_t p = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if ((value >> bit) & 1U) {
        x ^= static_cast<uint8_t>(bit);
        p ^= 1;
      }
    }
    tables.bitXor[value] = x;
    tables.parity[value] = p;
  }
  return tables;
}

constexpr ByteTables kTables = MakeTables();

void Words(const uint8_t* sector, uint32_t* even, uint32_t* odd) {
  uint32_t lines = 0;
  uint32_t columns = 0;
  uint32_t parity = 0;
  for (uint32_t i = 0; i < kEccSectorSize; ++i) {
    const uint8_t value = sector[i];
    const uint32_t p = kTables.parity[value];
    columns ^= kTables.bitXor[value];
    lines ^= i & (0U - p);
    parity ^= p;
  }
  *even = (lines << 3 | columns) & kMask;
  *odd = *even ^ (parity != 0 ? kMask : 0);
}

void Pack(uint32_t even, uint32_t odd, uint8_t check[kEccBytes]) {
  // Stored complemented so that an erased sector's words (both 0) read as erased bytes.
  const uint32_t packed = ~(even | odd << 12) & 0xFFFFFF;
  check[0] = static_cast<uint8_t>(packed);
  check[1] = static_cast<uint8_t>(packed >> 8);
  check[2] = static_cast<uint8_t>(packed >> 16);
}

}  // namespace

void EccCompute(const uint8_t* sector, uint8_t check[kEccBytes]) {
  uint32_t even = 0;
  uint32_t odd = 0;
  Words(sector, &even, &odd);
  Pack(even, odd, check);
}

EccResult EccCorrect(uint8_t* sector, const uint8_t check[kEccBytes]) {
  const uint32_t stored =
      ~(static_cast<uint32_t>(check[0]) | check[1] << 8 | check[2] << 16) & 0xFFFFFF;
  uint32_t even = 0;
  uint32_t odd = 0;
  Words(sector, &even, &odd);
  const uint32_t dEven = (stored & kMask) ^ even;
  const uint32_t dOdd = (stored >> 12 & kMask) ^ odd;
  if (dEven == 0 && dOdd == 0) return EccResult::kClean;
  if ((dEven ^ dOdd) == kMask) {
    sector[dEven >> 3] ^= static_cast<uint8_t>(1U << (dEven & 7));
    return EccResult::kCorrected;
  }
  if (std::popcount(dEven) + std::popcount(dOdd) == 1) return EccResult::kCorrected;
  return EccResult::kUncorrectable;
}

}  // namespace flash_driver
