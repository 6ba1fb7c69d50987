#include "flash/image_key.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "flash/image_format.h"
#include "platform/platform.h"

namespace {

// The key state: made once, kept until the updater ends. The provider's key holds its context.
struct ImageKey {
  platform::Handle key = platform::kNullHandle;
  std::array<uint8_t, image_format::kMaxKeyMaterial> material{};
};

ImageKey g_imageKey;

constexpr int8_t kNotBase64 = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kNotBase64;
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

void InitImageKey() {
  uint32_t returned = 0;
  uint32_t length = 0;
  if (platform::Hal().KernelIoControl(
          platform::kIoctlHalGetKeyMaterial, nullptr, 0, g_imageKey.material.data(),
          static_cast<uint32_t>(g_imageKey.material.size()), &returned)) {
    length = returned < g_imageKey.material.size()
                 ? returned
                 : static_cast<uint32_t>(g_imageKey.material.size());
  } else {
    std::memcpy(g_imageKey.material.data(), image_format::kPassPhrase,
                sizeof image_format::kPassPhrase);
    length = sizeof image_format::kPassPhrase - 1;
  }
  DeriveImageKey(g_imageKey.material.data(), length);
}

int DeriveImageKey(const uint8_t* material, uint32_t length) {
  if (g_imageKey.key != platform::kNullHandle) return 0;
  if (material == nullptr && length != 0) return -2;
  platform::Handle key = platform::kNullHandle;
  switch (platform::Crypt().DeriveDesKey(material, length, &key)) {
    case platform::KeySetup::kReady:
      g_imageKey.key = key;
      return 0;
    case platform::KeySetup::kNoProvider:
      return -1;
    case platform::KeySetup::kFailed:
      break;
  }
  return -2;
}

void ReleaseImageKey() {
  if (g_imageKey.key != platform::kNullHandle) platform::Crypt().ReleaseKey(g_imageKey.key);
  g_imageKey = ImageKey{};
}

int DecryptImageChunk(uint8_t** buffer, uint32_t length, uint32_t* decodedLength) {
  if (g_imageKey.key == platform::kNullHandle) return -3;
  *decodedLength = length;
  uint8_t* bytes = *buffer;
  if (bytes == nullptr || length == 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return -6;
  }
  if (!platform::Crypt().DecryptFinal(g_imageKey.key, bytes, decodedLength)) return -6;
  const uint32_t textLength = *decodedLength;
  const std::size_t size = std::max<std::size_t>(textLength, (textLength + 3) / 4 * 3 + 1);
  auto* decoded = static_cast<uint8_t*>(platform::Kern().LocalAlloc(platform::kLmemFixed, size));
  if (decoded == nullptr) return -7;
  Base64Decode(bytes, textLength, decoded, decodedLength);
  platform::Kern().LocalFree(bytes);
  *buffer = decoded;
  return 1;
}

void Base64Decode(const uint8_t* text, std::size_t textLength, uint8_t* output,
                  uint32_t* outLength) {
  std::size_t at = 0;
  while (at < textLength && (text[at] == ' ' || text[at] == '\t')) ++at;
  std::size_t end = at;
  while (end < textLength && kDecode[text[end]] != kNotBase64) ++end;
  uint32_t out = 0;
  uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = at; i < end; ++i) {
    bits = bits << 6 | static_cast<uint32_t>(kDecode[text[i]]);
    held += 6;
    if (held >= 8) {
      held -= 8;
      output[out++] = static_cast<uint8_t>(bits >> held);
    }
  }
  output[out] = 0;
  *outLength = out;
}
