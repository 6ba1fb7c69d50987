// The vector kernels: 16 inputs at once with AVX-512, 8 with AVX2. They are compiled for their
// instruction set function by function, so the rest of the build keeps its flags, and chosen
// only when the processor (and its operating system) runs them.
#include <cstring>

#include "hash/blake3_detail.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace blake3::detail {
namespace avx512 {

#define VOSTREL_BLAKE3_TARGET __attribute__((target("avx512f,avx512vl")))

using Vec = __m512i;
constexpr std::size_t kLanes = 16;

VOSTREL_BLAKE3_TARGET inline Vec Add(Vec a, Vec b) { return _mm512_add_epi32(a, b); }
VOSTREL_BLAKE3_TARGET inline Vec Xor(Vec a, Vec b) { return _mm512_xor_si512(a, b); }
VOSTREL_BLAKE3_TARGET inline Vec Rotr16(Vec a) { return _mm512_ror_epi32(a, 16); }
VOSTREL_BLAKE3_TARGET inline Vec Rotr12(Vec a) { return _mm512_ror_epi32(a, 12); }
VOSTREL_BLAKE3_TARGET inline Vec Rotr8(Vec a) { return _mm512_ror_epi32(a, 8); }
VOSTREL_BLAKE3_TARGET inline Vec Rotr7(Vec a) { return _mm512_ror_epi32(a, 7); }
VOSTREL_BLAKE3_TARGET inline Vec Splat(uint32_t word) {
  return _mm512_set1_epi32(static_cast<int>(word));
}
VOSTREL_BLAKE3_TARGET inline Vec LoadLaneWords(const uint32_t* words) {
  return _mm512_load_si512(words);
}
VOSTREL_BLAKE3_TARGET inline void StoreLaneWords(uint32_t* words, Vec v) {
  _mm512_store_si512(words, v);
}

// m[j] gets word j of the block at `offset` of every input: a 16x16 transpose of 32-bit words,
// first inside each 128-bit lane, then of the 128-bit lanes themselves.
VOSTREL_BLAKE3_TARGET inline void LoadMessage(const uint8_t* const* inputs, std::size_t offset,
                                              Vec m[16]) {
  Vec rows[16];
  for (std::size_t i = 0; i < 16; ++i) rows[i] = _mm512_loadu_si512(inputs[i] + offset);
  // quads[g][w]: 128-bit lane k holds word 4k+w of inputs 4g..4g+3.
  Vec quads[4][4];
  for (std::size_t g = 0; g < 4; ++g) {
    const Vec* r = rows + 4 * g;
    const Vec low01 = _mm512_unpacklo_epi32(r[0], r[1]);
    const Vec high01 = _mm512_unpackhi_epi32(r[0], r[1]);
    const Vec low23 = _mm512_unpacklo_epi32(r[2], r[3]);
    const Vec high23 = _mm512_unpackhi_epi32(r[2], r[3]);
    quads[g][0] = _mm512_unpacklo_epi64(low01, low23);
    quads[g][1] = _mm512_unpackhi_epi64(low01, low23);
    quads[g][2] = _mm512_unpacklo_epi64(high01, high23);
    quads[g][3] = _mm512_unpackhi_epi64(high01, high23);
  }
  for (std::size_t w = 0; w < 4; ++w) {
    const Vec lanes01of01 = _mm512_shuffle_i32x4(quads[0][w], quads[1][w], 0x44);
    const Vec lanes23of01 = _mm512_shuffle_i32x4(quads[0][w], quads[1][w], 0xEE);
    const Vec lanes01of23 = _mm512_shuffle_i32x4(quads[2][w], quads[3][w], 0x44);
    const Vec lanes23of23 = _mm512_shuffle_i32x4(quads[2][w], quads[3][w], 0xEE);
    m[w] = _mm512_shuffle_i32x4(lanes01of01, lanes01of23, 0x88);
    m[4 + w] = _mm512_shuffle_i32x4(lanes01of01, lanes01of23, 0xDD);
    m[8 + w] = _mm512_shuffle_i32x4(lanes23of01, lanes23of23, 0x88);
    m[12 + w] = _mm512_shuffle_i32x4(lanes23of01, lanes23of23, 0xDD);
  }
}

#include "hash/blake3_lanes.inc"

#undef VOSTREL_BLAKE3_TARGET

}  // namespace avx512

namespace avx2 {

#define VOSTREL_BLAKE3_TARGET __attribute__((target("avx2")))

using Vec = __m256i;
constexpr std::size_t kLanes = 8;

VOSTREL_BLAKE3_TARGET inline Vec Add(Vec a, Vec b) { return _mm256_add_epi32(a, b); }
VOSTREL_BLAKE3_TARGET inline Vec Xor(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
// Rotations by whole bytes are one byte shuffle; the others two shifts.
VOSTREL_BLAKE3_TARGET inline Vec Rotr16(Vec a) {
  return _mm256_shuffle_epi8(
      a, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2, 13, 12, 15, 14, 9, 8,
                         11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
}
VOSTREL_BLAKE3_TARGET inline Vec Rotr8(Vec a) {
  return _mm256_shuffle_epi8(
      a, _mm256_set_epi8(12, 15, 14, 13, 8, 11, 10, 9, 4, 7, 6, 5, 0, 3, 2, 1, 12, 15, 14, 13, 8,
                         11, 10, 9, 4, 7, 6, 5, 0, 3, 2, 1));
}
VOSTREL_BLAKE3_TARGET inline Vec Rotr12(Vec a) {
  return _mm256_or_si256(_mm256_srli_epi32(a, 12), _mm256_slli_epi32(a, 20));
}
VOSTREL_BLAKE3_TARGET inline Vec Rotr7(Vec a) {
  return _mm256_or_si256(_mm256_srli_epi32(a, 7), _mm256_slli_epi32(a, 25));
}
VOSTREL_BLAKE3_TARGET inline Vec Splat(uint32_t word) {
  return _mm256_set1_epi32(static_cast<int>(word));
}
VOSTREL_BLAKE3_TARGET inline Vec LoadLaneWords(const uint32_t* words) {
  return _mm256_load_si256(reinterpret_cast<const Vec*>(words));
}
VOSTREL_BLAKE3_TARGET inline void StoreLaneWords(uint32_t* words, Vec v) {
  _mm256_store_si256(reinterpret_cast<Vec*>(words), v);
}

// m[j] gets word j of the block at `offset` of every input: two 8x8 transposes of 32-bit words
// (words 0-7, then 8-15), each inside the 128-bit lanes and then across them.
VOSTREL_BLAKE3_TARGET inline void LoadMessage(const uint8_t* const* inputs, std::size_t offset,
                                              Vec m[16]) {
  for (std::size_t half = 0; half < 2; ++half) {
    Vec rows[8];
    for (std::size_t i = 0; i < 8; ++i) {
      rows[i] = _mm256_loadu_si256(reinterpret_cast<const Vec*>(inputs[i] + offset + 32 * half));
    }
    // quads[g][w]: 128-bit lane k holds word 4k+w of inputs 4g..4g+3.
    Vec quads[2][4];
    for (std::size_t g = 0; g < 2; ++g) {
      const Vec* r = rows + 4 * g;
      const Vec low01 = _mm256_unpacklo_epi32(r[0], r[1]);
      const Vec high01 = _mm256_unpackhi_epi32(r[0], r[1]);
      const Vec low23 = _mm256_unpacklo_epi32(r[2], r[3]);
      const Vec high23 = _mm256_unpackhi_epi32(r[2], r[3]);
      quads[g][0] = _mm256_unpacklo_epi64(low01, low23);
      quads[g][1] = _mm256_unpackhi_epi64(low01, low23);
      quads[g][2] = _mm256_unpacklo_epi64(high01, high23);
      quads[g][3] = _mm256_unpackhi_epi64(high01, high23);
    }
    Vec* words = m + 8 * half;
    for (std::size_t w = 0; w < 4; ++w) {
      words[w] = _mm256_permute2x128_si256(quads[0][w], quads[1][w], 0x20);
      words[4 + w] = _mm256_permute2x128_si256(quads[0][w], quads[1][w], 0x31);
    }
  }
}

#include "hash/blake3_lanes.inc"

#undef VOSTREL_BLAKE3_TARGET

}  // namespace avx2

WideKernel X86Kernel(Implementation implementation) {
  __builtin_cpu_init();
  switch (implementation) {
    case Implementation::kAvx512:
      if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) {
        return {avx512::kLanes, avx512::HashMany};
      }
      break;
    case Implementation::kAvx2:
      if (__builtin_cpu_supports("avx2")) return {avx2::kLanes, avx2::HashMany};
      break;
    case Implementation::kPortable:
      break;
  }
  return {};
}

}  // namespace blake3::detail

#else

namespace blake3::detail {

WideKernel X86Kernel(Implementation) { return {}; }

}  // namespace blake3::detail

#endif
