#include "hash/blake3.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "hash/blake3_detail.h"

namespace blake3::detail {
namespace {

uint32_t LoadLe(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

void StoreLe(uint8_t* bytes, uint32_t word) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

[[gnu::always_inline]] inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d,
                                       uint32_t x, uint32_t y) {
  a += b + x;
  d = std::rotr(d ^ a, 16);
  c += d;
  b = std::rotr(b ^ c, 12);
  a += b + y;
  d = std::rotr(d ^ a, 8);
  c += d;
  b = std::rotr(b ^ c, 7);
}

// Replaces `cv` with the chaining value of one block.
void Compress(uint32_t cv[8], const uint8_t block[kBlockBytes], uint32_t blockLength,
              uint64_t counter, uint8_t flags) {
  uint32_t m[16];
  for (std::size_t i = 0; i < 16; ++i) m[i] = LoadLe(block + 4 * i);
  uint32_t v[16] = {cv[0],
                    cv[1],
                    cv[2],
                    cv[3],
                    cv[4],
                    cv[5],
                    cv[6],
                    cv[7],
                    kIv[0],
                    kIv[1],
                    kIv[2],
                    kIv[3],
                    static_cast<uint32_t>(counter),
                    static_cast<uint32_t>(counter >> 32),
                    blockLength,
                    flags};
#pragma GCC unroll 7
  for (const auto& s : kSchedule) {
    Mix(v[0], v[4], v[8], v[12], m[s[0]], m[s[1]]);
    Mix(v[1], v[5], v[9], v[13], m[s[2]], m[s[3]]);
    Mix(v[2], v[6], v[10], v[14], m[s[4]], m[s[5]]);
    Mix(v[3], v[7], v[11], v[15], m[s[6]], m[s[7]]);
    Mix(v[0], v[5], v[10], v[15], m[s[8]], m[s[9]]);
    Mix(v[1], v[6], v[11], v[12], m[s[10]], m[s[11]]);
    Mix(v[2], v[7], v[8], v[13], m[s[12]], m[s[13]]);
    Mix(v[3], v[4], v[9], v[14], m[s[14]], m[s[15]]);
  }
  for (std::size_t i = 0; i < 8; ++i) cv[i] = v[i] ^ v[i + 8];
}

void StoreCv(uint8_t* out, const uint32_t cv[8]) {
  for (std::size_t i = 0; i < 8; ++i) StoreLe(out + 4 * i, cv[i]);
}

void HashManyPortable(const uint8_t* const* inputs, std::size_t count, std::size_t blocks,
                      const uint32_t* key, uint64_t counter, bool incrementCounter, uint8_t flags,
                      uint8_t flagsStart, uint8_t flagsEnd, uint8_t* out) {
  for (std::size_t input = 0; input < count; ++input) {
    uint32_t cv[8];
    std::copy(key, key + 8, cv);
    const uint64_t inputCounter = incrementCounter ? counter + input : counter;
    for (std::size_t block = 0; block < blocks; ++block) {
      uint8_t blockFlags = flags;
      if (block == 0) blockFlags |= flagsStart;
      if (block + 1 == blocks) blockFlags |= flagsEnd;
      Compress(cv, inputs[input] + block * kBlockBytes, kBlockBytes, inputCounter, blockFlags);
    }
    StoreCv(out + 32 * input, cv);
  }
}

// Chaining value of one chunk of at most 1024 bytes; a chunk that is the whole input (`root`)
// yields the digest itself. A short last block is hashed zero-padded with its true length.
void ChunkCv(const uint8_t* data, std::size_t length, uint64_t counter, uint8_t rootFlag,
             uint8_t out[32]) {
  uint32_t cv[8];
  std::copy(kIv.begin(), kIv.end(), cv);
  const std::size_t blocks = std::max<std::size_t>(1, (length + kBlockBytes - 1) / kBlockBytes);
  for (std::size_t block = 0; block < blocks; ++block) {
    const std::size_t offset = block * kBlockBytes;
    const std::size_t blockLength = std::min(kBlockBytes, length - offset);
    uint8_t padded[kBlockBytes] = {};
    if (blockLength > 0) std::memcpy(padded, data + offset, blockLength);
    uint8_t flags = 0;
    if (block == 0) flags |= kChunkStart;
    if (block + 1 == blocks) flags |= kChunkEnd | rootFlag;
    Compress(cv, padded, static_cast<uint32_t>(blockLength), counter, flags);
  }
  StoreCv(out, cv);
}

// Hashes many inputs with the widest kernel that still has enough of them, then narrower ones.
class Engine {
 public:
  explicit Engine(Implementation implementation) {
    if (implementation == Implementation::kAvx512) AddKernel(X86Kernel(Implementation::kAvx512));
    if (implementation != Implementation::kPortable) AddKernel(X86Kernel(Implementation::kAvx2));
  }

  void HashMany(const uint8_t* const* inputs, std::size_t count, std::size_t blocks,
                uint64_t counter, bool incrementCounter, uint8_t flags, uint8_t flagsStart,
                uint8_t flagsEnd, uint8_t* out) const {
    for (std::size_t k = 0; k < m_kernelCount; ++k) {
      const WideKernel& kernel = m_kernels[k];
      while (count >= kernel.lanes) {
        kernel.hashMany(inputs, kernel.lanes, blocks, kIv.data(), counter, incrementCounter, flags,
                        flagsStart, flagsEnd, out);
        inputs += kernel.lanes;
        count -= kernel.lanes;
        out += 32 * kernel.lanes;
        if (incrementCounter) counter += kernel.lanes;
      }
    }
    HashManyPortable(inputs, count, blocks, kIv.data(), counter, incrementCounter, flags,
                     flagsStart, flagsEnd, out);
  }

 private:
  void AddKernel(WideKernel kernel) {
    if (kernel.lanes != 0) m_kernels[m_kernelCount++] = kernel;
  }

  WideKernel m_kernels[2];
  std::size_t m_kernelCount = 0;
};

// Subtrees up to this many chunks are hashed breadth-first from one array of chaining values;
// a 64 KiB piece is one such subtree.
constexpr std::size_t kFlatChunks = 64;

std::size_t ChunkCount(std::size_t length) {
  return std::max<std::size_t>(1, (length + kChunkBytes - 1) / kChunkBytes);
}

// Chaining value of a subtree of at most kFlatChunks chunks that starts at chunk `counter`,
// or the digest when the subtree is the whole input of two chunks or more.
void FlatSubtree(const Engine& engine, const uint8_t* data, std::size_t length, uint64_t counter,
                 uint8_t rootFlag, uint8_t out[32]) {
  uint8_t cvs[kFlatChunks * 32];
  const uint8_t* inputs[kFlatChunks];
  const std::size_t chunks = ChunkCount(length);
  const std::size_t wholeChunks = length / kChunkBytes;
  for (std::size_t i = 0; i < wholeChunks; ++i) inputs[i] = data + i * kChunkBytes;
  engine.HashMany(inputs, wholeChunks, kBlocksPerChunk, counter, true, 0, kChunkStart, kChunkEnd,
                  cvs);
  if (wholeChunks < chunks) {
    ChunkCv(data + wholeChunks * kChunkBytes, length - wholeChunks * kChunkBytes,
            counter + wholeChunks, 0, cvs + 32 * wholeChunks);
  }
  // Pairing neighbours level by level, an odd last node moving up unchanged, builds the same tree
  // as splitting off the largest power of two of chunks on the left.
  std::size_t nodes = chunks;
  while (nodes > 2) {
    const std::size_t pairs = nodes / 2;
    for (std::size_t i = 0; i < pairs; ++i) inputs[i] = cvs + 64 * i;
    engine.HashMany(inputs, pairs, 1, 0, false, kParent, 0, 0, cvs);
    if (nodes % 2 != 0) std::memmove(cvs + 32 * pairs, cvs + 32 * (nodes - 1), 32);
    nodes = pairs + nodes % 2;
  }
  if (nodes == 1) {
    std::memcpy(out, cvs, 32);
    return;
  }
  uint32_t cv[8];
  std::copy(kIv.begin(), kIv.end(), cv);
  Compress(cv, cvs, kBlockBytes, 0, kParent | rootFlag);
  StoreCv(out, cv);
}

void Subtree(const Engine& engine, const uint8_t* data, std::size_t length, uint64_t counter,
             uint8_t rootFlag, uint8_t out[32]) {
  const std::size_t chunks = ChunkCount(length);
  if (chunks <= kFlatChunks) {
    FlatSubtree(engine, data, length, counter, rootFlag, out);
    return;
  }
  const std::size_t leftChunks = std::bit_floor(chunks - 1);
  const std::size_t leftLength = leftChunks * kChunkBytes;
  uint8_t children[64];
  Subtree(engine, data, leftLength, counter, 0, children);
  Subtree(engine, data + leftLength, length - leftLength, counter + leftChunks, 0, children + 32);
  uint32_t cv[8];
  std::copy(kIv.begin(), kIv.end(), cv);
  Compress(cv, children, kBlockBytes, 0, kParent | rootFlag);
  StoreCv(out, cv);
}

}  // namespace

std::vector<Implementation> AvailableImplementations() {
  std::vector<Implementation> implementations = {Implementation::kPortable};
  for (const Implementation wide : {Implementation::kAvx2, Implementation::kAvx512}) {
    if (X86Kernel(wide).lanes != 0) implementations.push_back(wide);
  }
  return implementations;
}

const char* ImplementationName(Implementation implementation) {
  switch (implementation) {
    case Implementation::kPortable:
      return "portable";
    case Implementation::kAvx2:
      return "AVX2";
    case Implementation::kAvx512:
      return "AVX-512";
  }
  return "?";
}

Digest HashWith(Implementation implementation, const uint8_t* data, std::size_t length) {
  Digest digest;
  if (length <= kChunkBytes) {
    ChunkCv(data, length, 0, kRoot, digest.data());
  } else {
    Subtree(Engine(implementation), data, length, 0, kRoot, digest.data());
  }
  return digest;
}

}  // namespace blake3::detail

namespace blake3 {

Digest Hash(const uint8_t* data, std::size_t length) {
  static const detail::Implementation kFastest = detail::AvailableImplementations().back();
  return detail::HashWith(kFastest, data, length);
}

}  // namespace blake3
