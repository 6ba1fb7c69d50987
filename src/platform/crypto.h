// The terminal's cryptographic provider, as the image decryption uses it: a DES key derived from
// the SHA-1 hash of key material, and the decryption of one message with it in ECB mode.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

// How a key set-up ended.
enum class KeySetup {
  kReady,       // the key exists
  kNoProvider,  // no provider context could be had
  kFailed,      // hashing, derivation or the mode setting failed; nothing is left open
};

class Crypto {
 public:
  virtual ~Crypto() = default;

  // Acquires a provider context, hashes the material with SHA-1, derives a DES key from the hash
  // without salt and sets it to ECB mode. On kReady *key holds the key, which keeps its context
  // until ReleaseKey.
  virtual KeySetup DeriveDesKey(const uint8_t* material, uint32_t length, Handle* key) = 0;
  // Decrypts `*length` bytes in place as the whole (final) message, the padding of its last
  // block removed; *length becomes the plaintext's length. False with the last error set when the
  // length is not a whole number of blocks or the padding is wrong.
  virtual bool DecryptFinal(Handle key, uint8_t* data, uint32_t* length) = 0;
  // Destroys the key and releases its context.
  virtual void ReleaseKey(Handle key) = 0;
};

}  // namespace platform
