// The simulated terminal's cryptographic provider: SHA-1 and DES from Nettle, with the key
// derivation that the host tools use to encrypt; SHA-256 and Ed25519 from Nettle, and the keys
// of the terminal's "security" section.
#pragma once

#include <map>
#include <mutex>

#include "platform/crypto.h"

namespace sim {

struct TerminalConfig;

class SimCrypto final : public platform::Crypto {
 public:
  // The trusted keys are read from the configuration at each call, so that a test that changes
  // the terminal's configuration changes them too.
  explicit SimCrypto(const TerminalConfig* config = nullptr);
  ~SimCrypto() override;
  SimCrypto(const SimCrypto&) = delete;
  SimCrypto& operator=(const SimCrypto&) = delete;

  platform::KeySetup DeriveDesKey(const uint8_t* material, uint32_t length,
                                  platform::Handle* key) override;
  // Fails with 87 (invalid parameter) on a length that is not a whole number of blocks and on
  // wrong padding.
  bool DecryptFinal(platform::Handle key, uint8_t* data, uint32_t* length) override;
  void ReleaseKey(platform::Handle key) override;

  std::vector<std::string> TrustedKeys() override;
  std::unique_ptr<platform::Sha256> NewSha256() override;
  bool VerifyEd25519(const uint8_t* key, const uint8_t* message, std::size_t length,
                     const uint8_t* signature) override;

 private:
  const TerminalConfig* m_config;
  struct Key;
  std::mutex m_mutex;
  std::map<platform::Handle, Key> m_keys;
  platform::Handle m_nextKey = 0x500;
};

}  // namespace sim
