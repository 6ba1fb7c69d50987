// BLAKE3 digests against b3sum, and every vector kernel of this processor against the portable
// code at unaligned addresses.
#include "hash/blake3.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hash/blake3_detail.h"

namespace {

using blake3::detail::Implementation;

std::string Hex(const blake3::Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::vector<uint8_t> Pattern(std::size_t length) {
  std::vector<uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  return bytes;
}

// The lengths fall on and beside every edge of the algorithm: the 64-byte block, the 1 KiB
// chunk, subtrees of 2, 3 and 4 chunks, the breadth-first subtree of 64 chunks and one chunk
// past it, and a large odd length whose tree is deep and lopsided. Made with
//   python3 -c "import sys; sys.stdout.buffer.write(bytes(i % 251 for i in range(1000003)))" >p
//   head -c N p | b3sum --no-names        (b3sum 1.2.0)
TEST(Blake3Test, MatchesB3sumAtEveryBoundaryInEveryImplementation) {
  const struct {
    std::size_t length;
    const char* digest;
  } kCases[] = {
      {0, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
      {1, "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213"},
      {63, "e9bc37a594daad83be9470df7f7b3798297c3d834ce80ba85d6e207627b7db7b"},
      {64, "4eed7141ea4a5cd4b788606bd23f46e212af9cacebacdc7d1f4c6dc7f2511b98"},
      {65, "de1e5fa0be70df6d2be8fffd0e99ceaa8eb6e8c93a63f2d8d1c30ecb6b263dee"},
      {1023, "10108970eeda3eb932baac1428c7a2163b0e924c9a9e25b35bba72b28f70bd11"},
      {1024, "42214739f095a406f3fc83deb889744ac00df831c10daa55189b5d121c855af7"},
      {1025, "d00278ae47eb27b34faecf67b4fe263f82d5412916c1ffd97c8cb7fb814b8444"},
      {2048, "e776b6028c7cd22a4d0ba182a8bf62205d2ef576467e838ed6f2529b85fba24a"},
      {2049, "5f4d72f40d7a5f82b15ca2b2e44b1de3c2ef86c426c95c1af0b6879522563030"},
      {3072, "b98cb0ff3623be03326b373de6b9095218513e64f1ee2edd2525c7ad1e5cffd2"},
      {3073, "7124b49501012f81cc7f11ca069ec9226cecb8a2c850cfe644e327d22d3e1cd3"},
      {4096, "015094013f57a5277b59d8475c0501042c0b642e531b0a1c8f58d2163229e969"},
      {4097, "9b4052b38f1c5fc8b1f9ff7ac7b27cd242487b3d890d15c96a1c25b8aa0fb995"},
      {8192, "aae792484c8efe4f19e2ca7d371d8c467ffb10748d8a5a1ae579948f718a2a63"},
      {8193, "bab6c09cb8ce8cf459261398d2e7aef35700bf488116ceb94a36d0f5f1b7bc3b"},
      {16384, "f875d6646de28985646f34ee13be9a576fd515f76b5b0a26bb324735041ddde4"},
      {31744, "62b6960e1a44bcc1eb1a611a8d6235b6b4b78f32e7abc4fb4c6cdcce94895c47"},
      {65535, "de7d0f4c044c56f56e0c5f7ab247be9491c4520e8688f0f0d25406f46fdfbd03"},
      {65536, "68d647e619a930e7b1082f74f334b0c65a315725569bdc123f0ee11881717bfe"},
      {66561, "c0dafa3c0ad175a596c908dd503c069c2230b1b1f8bcfa7c80762d1f6b735be0"},
      {102400, "bc3e3d41a1146b069abffad3c0d44860cf664390afce4d9661f7902e7943e085"},
      {1000003, "cd5a3272e01b1a2f47bb4565d8d202db0f95704d32550a2da61a0fd363d4c90d"},
  };
  const std::vector<uint8_t> input = Pattern(1000003);
  for (const Implementation implementation : blake3::detail::AvailableImplementations()) {
    SCOPED_TRACE(blake3::detail::ImplementationName(implementation));
    for (const auto& c : kCases) {
      SCOPED_TRACE(c.length);
      EXPECT_EQ(Hex(blake3::detail::HashWith(implementation, input.data(), c.length)), c.digest);
    }
  }
  EXPECT_EQ(Hex(blake3::Hash(nullptr, 0)), kCases[0].digest);
  EXPECT_EQ(Hex(blake3::Hash(input.data(), 65536)), kCases[19].digest);
}

// Lengths cluster around whole chunks so that every kernel width meets full batches, a last
// partial batch and a short tail; the inputs start at every offset within a vector.
TEST(Blake3Test, VectorKernelsEqualPortableAtRandomLengthsAndOffsets) {
  const std::vector<Implementation> implementations = blake3::detail::AvailableImplementations();
  if (implementations.size() == 1) GTEST_SKIP() << "no vector unit on this processor";
  std::mt19937 random(20240522);
  std::vector<uint8_t> buffer(200 * 1024 + 64);
  for (uint8_t& byte : buffer) byte = static_cast<uint8_t>(random());
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t chunks = random() % 200;
    const std::size_t length = chunks * 1024 + (trial % 3 == 0 ? random() % 1024 : 0);
    const std::size_t offset = random() % 64;
    SCOPED_TRACE(testing::Message() << "length " << length << " offset " << offset);
    const uint8_t* data = buffer.data() + offset;
    const blake3::Digest expected =
        blake3::detail::HashWith(Implementation::kPortable, data, length);
    for (std::size_t i = 1; i < implementations.size(); ++i) {
      SCOPED_TRACE(blake3::detail::ImplementationName(implementations[i]));
      EXPECT_EQ(Hex(blake3::detail::HashWith(implementations[i], data, length)), Hex(expected));
    }
  }
}

}  // namespace
