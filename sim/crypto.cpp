#include "sim/crypto.h"

#include <nettle/des.h>

#include "sim/image_cipher.h"

namespace sim {

struct SimCrypto::Key {
  des_ctx des{};
};

SimCrypto::SimCrypto() = default;
SimCrypto::~SimCrypto() = default;

platform::KeySetup SimCrypto::DeriveDesKey(const uint8_t* material, uint32_t length,
                                           platform::Handle* key) {
  uint8_t bytes[8];
  image_format::DeriveDesKey(material, length, bytes);
  std::lock_guard lock(m_mutex);
  const platform::Handle handle = m_nextKey++;
  // A weak key is still a key: the terminal's provider takes it as it comes.
  des_set_key(&m_keys[handle].des, bytes);
  *key = handle;
  return platform::KeySetup::kReady;
}

bool SimCrypto::DecryptFinal(platform::Handle key, uint8_t* data, uint32_t* length) {
  std::lock_guard lock(m_mutex);
  const auto found = m_keys.find(key);
  if (found == m_keys.end()) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  const uint32_t size = *length;
  if (size == 0 || size % DES_BLOCK_SIZE != 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  des_decrypt(&found->second.des, size, data, data);
  const uint8_t pad = data[size - 1];
  bool padded = pad >= 1 && pad <= DES_BLOCK_SIZE;
  for (uint32_t i = 0; padded && i < pad; ++i) padded = data[size - 1 - i] == pad;
  if (!padded) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  *length = size - pad;
  return true;
}

void SimCrypto::ReleaseKey(platform::Handle key) {
  std::lock_guard lock(m_mutex);
  m_keys.erase(key);
}

}  // namespace sim
