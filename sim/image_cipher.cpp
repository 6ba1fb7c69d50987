#include "sim/image_cipher.h"

#include <nettle/des.h>
#include <nettle/sha1.h>

#include <algorithm>
#include <cstring>

namespace image_format {

namespace {

void PutLe32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

void DeriveDesKey(const uint8_t* material, std::size_t length, uint8_t key[8]) {
  sha1_ctx hash;
  sha1_init(&hash);
  sha1_update(&hash, length, material);
  uint8_t digest[SHA1_DIGEST_SIZE];
  sha1_digest(&hash, sizeof digest, digest);
  std::memcpy(key, digest, 8);
}

std::string EncryptImage(std::string_view plain, std::string_view keyMaterial,
                         std::size_t chunkPlainBytes) {
  uint8_t key[8];
  DeriveDesKey(reinterpret_cast<const uint8_t*>(keyMaterial.data()),
               std::min(keyMaterial.size(), kMaxKeyMaterial), key);
  des_ctx des;
  des_set_key(&des, key);
  std::string out;
  out.reserve(plain.size() / 3 * 4 + plain.size() / chunkPlainBytes * 16 + 64);
  std::size_t at = 0;
  do {
    const std::size_t take = std::min(chunkPlainBytes, plain.size() - at);
    std::string text = Base64Encode(plain.substr(at, take));
    const std::size_t pad = 8 - text.size() % 8;
    text.append(pad, static_cast<char>(pad));
    auto* bytes = reinterpret_cast<uint8_t*>(text.data());
    des_encrypt(&des, text.size(), bytes, bytes);
    PutLe32(out, static_cast<uint32_t>(text.size()));
    out += text;
    at += take;
  } while (at < plain.size());
  return out;
}

bool DecryptImage(std::string_view encrypted, std::string_view keyMaterial, std::string* plain,
                  std::string* why, uint32_t* largestChunk) {
  uint8_t key[8];
  DeriveDesKey(reinterpret_cast<const uint8_t*>(keyMaterial.data()),
               std::min(keyMaterial.size(), kMaxKeyMaterial), key);
  des_ctx des;
  des_set_key(&des, key);
  plain->clear();
  if (largestChunk != nullptr) *largestChunk = 0;
  std::size_t at = 0;
  std::string text;
  while (at < encrypted.size()) {
    if (encrypted.size() - at < 4) {
      *why = "a chunk length is cut short at byte " + std::to_string(at);
      return false;
    }
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
      length |= static_cast<uint32_t>(static_cast<uint8_t>(encrypted[at + i])) << (8 * i);
    at += 4;
    if (length > encrypted.size() - at) {
      *why = "the chunk at byte " + std::to_string(at - 4) + " is cut short";
      return false;
    }
    if (length == 0 || length % 8 != 0) {
      *why = "the chunk at byte " + std::to_string(at - 4) + " is not a whole number of blocks";
      return false;
    }
    if (largestChunk != nullptr) *largestChunk = std::max(*largestChunk, length);
    text.assign(encrypted.substr(at, length));
    auto* bytes = reinterpret_cast<uint8_t*>(text.data());
    des_decrypt(&des, length, bytes, bytes);
    const uint8_t pad = bytes[length - 1];
    bool padded = pad >= 1 && pad <= 8;
    for (uint32_t i = 0; padded && i < pad; ++i) padded = bytes[length - 1 - i] == pad;
    if (!padded) {
      *why = "the chunk at byte " + std::to_string(at - 4) +
             " does not decrypt with this key material";
      return false;
    }
    text.resize(length - pad);
    std::string decoded(text.size() / 4 * 3 + 3, '\0');
    uint32_t decodedLength = 0;
    Base64Decode(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                 reinterpret_cast<uint8_t*>(decoded.data()), &decodedLength);
    plain->append(decoded.data(), decodedLength);
    at += length;
  }
  return true;
}

}  // namespace image_format
