// The cryptographic provider of the Win32 backend: CryptoAPI's "Microsoft Enhanced Cryptographic
// Provider v1.0", with the calls, algorithms and flags of the terminal's provider.
#pragma once

#include <map>
#include <mutex>

#include "platform/crypto.h"

namespace win32 {

class Win32Crypto final : public platform::Crypto {
 public:
  Win32Crypto() = default;
  ~Win32Crypto() override;
  Win32Crypto(const Win32Crypto&) = delete;
  Win32Crypto& operator=(const Win32Crypto&) = delete;

  platform::KeySetup DeriveDesKey(const uint8_t* material, uint32_t length,
                                  platform::Handle* key) override;
  bool DecryptFinal(platform::Handle key, uint8_t* data, uint32_t* length) override;
  void ReleaseKey(platform::Handle key) override;

 private:
  std::mutex m_mutex;
  // Each key with its provider context.
  std::map<platform::Handle, uintptr_t> m_contexts;
};

}  // namespace win32
