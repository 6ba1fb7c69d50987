// BLAKE3 digests of buffers in memory: the digests that signed packages carry for their members'
// pieces. Plain hash mode only, 32-byte output; the same digest that b3sum prints.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace blake3 {

using Digest = std::array<uint8_t, 32>;

// The digest of `length` bytes at `data` (any length, 0 included; `data` may be null when
// `length` is 0). Uses the widest vector unit the processor has; safe to call from several
// threads at once.
Digest Hash(const uint8_t* data, std::size_t length);

}  // namespace blake3
