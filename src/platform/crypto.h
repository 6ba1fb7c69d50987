// The terminal's cryptographic provider, as the image decryption uses it: a DES key derived from
// the SHA-1 hash of key material, and the decryption of one message with it in ECB mode. Beside
// it, what the check of signed packages needs: the keys the terminal trusts, Ed25519
// verification, and SHA-256 to name a key in the log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// How a key set-up ended.
enum class KeySetup {
  kReady,       // the key exists
  kNoProvider,  // no provider context could be had
  kFailed,      // hashing, derivation or the mode setting failed; nothing is left open
};

// A SHA-256 computation fed front to back.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(const uint8_t* data, std::size_t length) = 0;
  // The digest of everything fed; the computation cannot be fed after it.
  virtual std::array<uint8_t, 32> Finish() = 0;
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

  // The public keys (PEM texts) whose signatures the terminal requires on a package. None, the
  // default of a backend that keeps no keys, leaves packages unchecked as they always were.
  virtual std::vector<std::string> TrustedKeys() { return {}; }
  // A fresh SHA-256 computation; null when the provider has none (it is asked only when a key
  // is trusted).
  virtual std::unique_ptr<Sha256> NewSha256() { return nullptr; }
  // True when signature is key's Ed25519 signature of the message.
  virtual bool VerifyEd25519(const uint8_t* key, const uint8_t* message, std::size_t length,
                             const uint8_t* signature) {
    (void)key, (void)message, (void)length, (void)signature;
    return false;
  }
};

}  // namespace platform
