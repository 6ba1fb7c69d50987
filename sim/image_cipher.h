// The encryption of image members as the host tools do it, with Nettle's SHA-1 and DES: the key
// derived from key material, and whole encrypted chunk streams (see flash/image_format.h) made
// and read back. The simulated terminal's provider derives its key the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "flash/image_format.h"

namespace image_format {

// The 8-byte DES key derived from key material: the first 8 bytes of its SHA-1 hash.
void DeriveDesKey(const uint8_t* material, std::size_t length, uint8_t key[8]);

// The whole encrypted chunk stream of a plain member.
std::string EncryptImage(std::string_view plain, std::string_view keyMaterial,
                         std::size_t chunkPlainBytes = kChunkPlainBytes);

// The plain bytes of an encrypted chunk stream; false with a reason when a chunk is cut short,
// does not decrypt, or is not base64 text. With largestChunk, also the length of its largest
// chunk (what the terminal holds at once while it decrypts).
bool DecryptImage(std::string_view encrypted, std::string_view keyMaterial, std::string* plain,
                  std::string* why, uint32_t* largestChunk = nullptr);

}  // namespace image_format
