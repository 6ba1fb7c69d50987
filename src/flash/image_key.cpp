#include "flash/image_key.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "flash/image_format.h"
#include "platform/platform.h"

void InitImageKey(ImageKey& imageKey) {
  uint32_t returned = 0;
  uint32_t length = 0;
  if (platform::Hal().KernelIoControl(platform::kIoctlHalGetKeyMaterial, nullptr, 0,
                                      imageKey.material.data(),
                                      static_cast<uint32_t>(imageKey.material.size()), &returned)) {
    length = returned < imageKey.material.size() ? returned
                                                 : static_cast<uint32_t>(imageKey.material.size());
  } else {
    std::memcpy(imageKey.material.data(), image_format::kPassPhrase,
                sizeof image_format::kPassPhrase);
    length = sizeof image_format::kPassPhrase - 1;
  }
  DeriveImageKey(imageKey, imageKey.material.data(), length);
}

int DeriveImageKey(ImageKey& imageKey, const uint8_t* material, uint32_t length) {
  if (imageKey.key != platform::kNullHandle) return 0;
  if (material == nullptr && length != 0) return -2;
  platform::Handle key = platform::kNullHandle;
  switch (platform::Crypt().DeriveDesKey(material, length, &key)) {
    case platform::KeySetup::kReady:
      imageKey.key = key;
      return 0;
    case platform::KeySetup::kNoProvider:
      return -1;
    case platform::KeySetup::kFailed:
      break;
  }
  return -2;
}

void ReleaseImageKey(ImageKey& imageKey) {
  if (imageKey.key != platform::kNullHandle) platform::Crypt().ReleaseKey(imageKey.key);
  imageKey = ImageKey{};
}

int DecryptImageChunk(const ImageKey& imageKey, uint8_t** buffer, uint32_t length,
                      uint32_t* decodedLength) {
  if (imageKey.key == platform::kNullHandle) return -3;
  *decodedLength = length;
  uint8_t* bytes = *buffer;
  if (bytes == nullptr || length == 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return -6;
  }
  if (!platform::Crypt().DecryptFinal(imageKey.key, bytes, decodedLength)) return -6;
  const uint32_t textLength = *decodedLength;
  const std::size_t size = std::max<std::size_t>(textLength, (textLength + 3) / 4 * 3 + 1);
  auto* decoded = static_cast<uint8_t*>(platform::Kern().LocalAlloc(platform::kLmemFixed, size));
  if (decoded == nullptr) return -7;
  Base64Decode(bytes, textLength, decoded, decodedLength);
  platform::Kern().LocalFree(bytes);
  *buffer = decoded;
  return 1;
}
