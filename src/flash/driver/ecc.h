// Error correction of the flash pages: every 512 data bytes carry 3 check bytes that correct
// any single flipped bit of the data or of the check bytes and detect any two.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flash_driver {

inline constexpr std::size_t kEccSectorSize = 512;
inline constexpr std::size_t kEccBytes = 3;

// The check bytes of one 512-byte sector. An erased sector (all 0xFF) has check bytes 0xFF, so
// a page never programmed reads back clean.
void EccCompute(const uint8_t* sector, uint8_t check[kEccBytes]);

enum class EccResult { kClean, kCorrected, kUncorrectable };

// Checks a sector against its stored check bytes and mends one flipped data bit in place.
EccResult EccCorrect(uint8_t* sector, const uint8_t check[kEccBytes]);

}  // namespace flash_driver
