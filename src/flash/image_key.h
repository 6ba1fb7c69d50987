// Image decryption: the key that decrypts encrypted image members, derived once when the
// updater starts, and the decryption of one chunk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "flash/image_format.h"
#include "platform/types.h"

// The key of a run: made once when the updater starts, kept until it ends. The provider's key
// holds its context: no key without one.
struct ImageKey {
  platform::Handle key = platform::kNullHandle;
  std::array<uint8_t, image_format::kMaxKeyMaterial> material{};
};

// Obtains the key material from the hardware layer (control 0x01012008) or, when that fails,
// takes the fixed pass phrase, and derives the key. Failures show later as failed image loads.
void InitImageKey(ImageKey& imageKey);

// Derives the DES key from SHA-1 of the material (its first 8 bytes; parity bits not checked).
// 0 on success and when a key exists already (which it keeps); -1 when no key context could
// be had; -2 when hashing or derivation failed.
int DeriveImageKey(ImageKey& imageKey, const uint8_t* material, uint32_t length);

// Destroys the key; safe to call when there is none.
void ReleaseImageKey(ImageKey& imageKey);

// Decrypts a chunk of `length` bytes in place (DES, ECB, PKCS#5 padding removed) and decodes
// its base64 text into a new buffer from the program's heap, which replaces *buffer (the old
// one is freed); *decodedLength is the number of decoded bytes. 1 on success; -3 without a
// key; -6 when the length is not a multiple of 8 or the padding is wrong; -7 when the decoded
// bytes cannot be allocated (*buffer is then kept).
int DecryptImageChunk(const ImageKey& imageKey, uint8_t** buffer, uint32_t length,
                      uint32_t* decodedLength);
