#include "sim/crypto.h"

#include <nettle/des.h>
#include <nettle/eddsa.h>
#include <nettle/sha2.h>

#include "sim/config.h"
#include "sim/image_cipher.h"
#include "sim/security_config.h"

namespace sim {

struct SimCrypto::Key {
  des_ctx des{};
};

namespace {

class NettleSha256 final : public platform::Sha256 {
 public:
  NettleSha256() { sha256_init(&m_context); }
  void Update(const uint8_t* data, std::size_t length) override {
    sha256_update(&m_context, length, data);
  }
  std::array<uint8_t, 32> Finish() override {
    std::array<uint8_t, 32> digest;
    sha256_digest(&m_context, digest.size(), digest.data());
    return digest;
  }

 private:
  sha256_ctx m_context{};
};

}  // namespace

SimCrypto::SimCrypto(const TerminalConfig* config) : m_config(config) {}
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

std::vector<std::string> SimCrypto::TrustedKeys() {
  return m_config != nullptr ? m_config->Get<SecurityConfig>().trustedKeys
                             : std::vector<std::string>{};
}

std::unique_ptr<platform::Sha256> SimCrypto::NewSha256() {
  return std::make_unique<NettleSha256>();
}

bool SimCrypto::VerifyEd25519(const uint8_t* key, const uint8_t* message, std::size_t length,
                              const uint8_t* signature) {
  return ed25519_sha512_verify(key, length, message, signature) == 1;
}

}  // namespace sim
