// The cryptographic provider of the Win32 backend: CryptoAPI's "Microsoft Enhanced Cryptographic
// Provider v1.0", with the calls, algorithms and flags of the terminal's provider, for the images'
// DES; SHA-256 from CryptoAPI's AES provider, which alone has it; Ed25519, which CryptoAPI lacks,
// from the host side's own implementation; the trusted keys from the terminal folder.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypto.h"

namespace win32 {

class Win32Crypto final : public platform::Crypto {
 public:
  explicit Win32Crypto(std::vector<std::string> trustedKeys = {});
  ~Win32Crypto() override;
  Win32Crypto(const Win32Crypto&) = delete;
  Win32Crypto& operator=(const Win32Crypto&) = delete;

  platform::KeySetup DeriveDesKey(const uint8_t* material, uint32_t length,
                                  platform::Handle* key) override;
  bool DecryptFinal(platform::Handle key, uint8_t* data, uint32_t* length) override;
  void ReleaseKey(platform::Handle key) override;

  std::vector<std::string> TrustedKeys() override { return m_trustedKeys; }
  std::unique_ptr<platform::Sha256> NewSha256() override;
  bool VerifyEd25519(const uint8_t* key, const uint8_t* message, std::size_t length,
                     const uint8_t* signature) override;

 private:
  std::mutex m_mutex;
  // Each key with its provider context.
  std::map<platform::Handle, uintptr_t> m_contexts;
  const std::vector<std::string> m_trustedKeys;
};

}  // namespace win32
