// Ed25519 signature verification (pure Ed25519, no context) with the SHA-512 it is built on, in
// portable C++: the Win32 backend has no provider with Ed25519, and the check of a signed package
// reads only public data, so nothing here needs to run in constant time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ed25519 {

// A SHA-512 computation fed front to back.
class Sha512 {
 public:
  Sha512();
  void Update(const uint8_t* data, std::size_t length);
  // The digest of everything fed; the computation cannot be fed after it.
  std::array<uint8_t, 64> Finish();

 private:
  void Compress(const uint8_t* block);

  std::array<uint64_t, 8> m_state;
  std::array<uint8_t, 128> m_block{};
  std::size_t m_filled = 0;
  uint64_t m_total = 0;  // bytes fed; a message of 2^61 bytes or more is beyond any package
};

// True when signature (R || S) is key's signature of the message. False when S is not below the
// group order, when the key is not the canonical encoding of a curve point, or when R is not the
// encoding of [S]B - [k]A.
bool Verify(const uint8_t key[32], const uint8_t* message, std::size_t length,
            const uint8_t signature[64]);

}  // namespace ed25519
