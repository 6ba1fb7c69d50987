// The simulated terminal's cryptographic provider: SHA-1 and DES from Nettle, with the key
// derivation that the host tools use to encrypt.
#pragma once

#include <map>
#include <mutex>

#include "platform/crypto.h"

namespace sim {

class SimCrypto final : public platform::Crypto {
 public:
  SimCrypto();
  ~SimCrypto() override;
  SimCrypto(const SimCrypto&) = delete;
  SimCrypto& operator=(const SimCrypto&) = delete;

  platform::KeySetup DeriveDesKey(const uint8_t* material, uint32_t length,
                                  platform::Handle* key) override;
  // Fails with 87 (invalid parameter) on a length that is not a whole number of blocks and on
  // wrong padding.
  bool DecryptFinal(platform::Handle key, uint8_t* data, uint32_t* length) override;
  void ReleaseKey(platform::Handle key) override;

 private:
  struct Key;
  std::mutex m_mutex;
  std::map<platform::Handle, Key> m_keys;
  platform::Handle m_nextKey = 0x500;
};

}  // namespace sim
