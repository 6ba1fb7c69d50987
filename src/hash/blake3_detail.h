// The inside of blake3::Hash, shared by the portable code, the x86 vector kernels and the tests
// that hold each implementation against the portable one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace blake3::detail {

inline constexpr std::size_t kBlockBytes = 64;
inline constexpr std::size_t kChunkBytes = 1024;
inline constexpr std::size_t kBlocksPerChunk = kChunkBytes / kBlockBytes;

inline constexpr uint8_t kChunkStart = 1;
inline constexpr uint8_t kChunkEnd = 2;
inline constexpr uint8_t kParent = 4;
inline constexpr uint8_t kRoot = 8;

inline constexpr std::array<uint32_t, 8> kIv = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                                0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

// Which message word each of the 16 G inputs takes in each of the 7 rounds: the message
// permutation applied round after round, so no round has to move the words.
inline constexpr std::array<std::array<uint8_t, 16>, 7> kSchedule = [] {
  constexpr std::array<uint8_t, 16> kPermutation = {2, 6,  3,  10, 7, 0,  4,  13,
                                                    1, 11, 12, 5,  9, 14, 15, 8};
  std::array<std::array<uint8_t, 16>, 7> schedule{};
  for (uint8_t i = 0; i < 16; ++i) schedule[0][i] = i;
  for (std::size_t round = 1; round < schedule.size(); ++round) {
    for (std::size_t i = 0; i < 16; ++i) {
      schedule[round][i] = schedule[round - 1][kPermutation[i]];
    }
  }
  return schedule;
}();

enum class Implementation { kPortable, kAvx2, kAvx512 };

// Hashes `count` inputs of `blocks` whole 64-byte blocks each, all with the same key and flags,
// and writes each input's chaining value (32 bytes, little-endian words) to out + 32 * index.
// Input i takes block counter `counter + i` when `incrementCounter` is set, else `counter`; its
// first block adds `flagsStart` and its last `flagsEnd` to `flags`. Output may overwrite the
// inputs (a level of parent nodes is reduced in place), never an input of a later index.
using HashManyFunction = void (*)(const uint8_t* const* inputs, std::size_t count,
                                  std::size_t blocks, const uint32_t* key, uint64_t counter,
                                  bool incrementCounter, uint8_t flags, uint8_t flagsStart,
                                  uint8_t flagsEnd, uint8_t* out);

// The x86 kernels take exactly their lane count of inputs.
struct WideKernel {
  std::size_t lanes = 0;
  HashManyFunction hashMany = nullptr;
};
// The kernel of an implementation, or lanes 0 where this build or this processor lacks it.
WideKernel X86Kernel(Implementation implementation);

// The implementations this processor runs, the portable one first and the fastest last.
std::vector<Implementation> AvailableImplementations();
const char* ImplementationName(Implementation implementation);

// blake3::Hash with the given implementation; its header is not included, so that the pair
// blake3.h/blake3.cpp stays one node that includes this one.
std::array<uint8_t, 32> HashWith(Implementation implementation, const uint8_t* data,
                                 std::size_t length);

}  // namespace blake3::detail
