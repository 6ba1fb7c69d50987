#include "win32/crypto.h"

#include "win32/win_api.h"

namespace win32 {

namespace {

constexpr wchar_t kProvider[] = L"Microsoft Enhanced Cryptographic Provider v1.0";
constexpr DWORD kProvRsaFull = 1;
constexpr DWORD kCryptNewKeyset = 0x8;
constexpr ALG_ID kCalgSha1 = 0x8004;
constexpr ALG_ID kCalgDes = 0x6601;
constexpr DWORD kCryptNoSalt = 0x10;
constexpr DWORD kKpMode = 4;
constexpr DWORD kCryptModeEcb = 2;

}  // namespace

Win32Crypto::~Win32Crypto() {
  for (const auto& [key, context] : m_contexts) {
    CryptDestroyKey(static_cast<HCRYPTKEY>(key));
    CryptReleaseContext(static_cast<HCRYPTPROV>(context), 0);
  }
}

platform::KeySetup Win32Crypto::DeriveDesKey(const uint8_t* material, uint32_t length,
                                             platform::Handle* key) {
  HCRYPTPROV context = 0;
  // A user without the default key container gets a new one.
  if (!CryptAcquireContextW(&context, nullptr, kProvider, kProvRsaFull, 0) &&
      !CryptAcquireContextW(&context, nullptr, kProvider, kProvRsaFull, kCryptNewKeyset)) {
    platform::SetLastError(::GetLastError());
    return platform::KeySetup::kNoProvider;
  }
  HCRYPTHASH hash = 0;
  HCRYPTKEY derived = 0;
  bool ok = CryptCreateHash(context, kCalgSha1, 0, 0, &hash) &&
            CryptHashData(hash, material, length, 0) &&
            CryptDeriveKey(context, kCalgDes, hash, kCryptNoSalt, &derived);
  const DWORD error = ::GetLastError();
  if (hash != 0) CryptDestroyHash(hash);
  if (ok) {
    DWORD mode = kCryptModeEcb;
    ok = CryptSetKeyParam(derived, kKpMode, reinterpret_cast<BYTE*>(&mode), 0);
    if (!ok) {
      platform::SetLastError(::GetLastError());
      CryptDestroyKey(derived);
    }
  } else {
    platform::SetLastError(error);
  }
  if (!ok) {
    CryptReleaseContext(context, 0);
    return platform::KeySetup::kFailed;
  }
  std::lock_guard lock(m_mutex);
  *key = static_cast<platform::Handle>(derived);
  m_contexts[*key] = context;
  return platform::KeySetup::kReady;
}

bool Win32Crypto::DecryptFinal(platform::Handle key, uint8_t* data, uint32_t* length) {
  DWORD size = *length;
  if (!CryptDecrypt(static_cast<HCRYPTKEY>(key), 0, TRUE, 0, data, &size)) {
    platform::SetLastError(::GetLastError());
    return false;
  }
  *length = size;
  return true;
}

void Win32Crypto::ReleaseKey(platform::Handle key) {
  std::lock_guard lock(m_mutex);
  const auto found = m_contexts.find(key);
  if (found == m_contexts.end()) return;
  CryptDestroyKey(static_cast<HCRYPTKEY>(key));
  CryptReleaseContext(static_cast<HCRYPTPROV>(found->second), 0);
  m_contexts.erase(found);
}

}  // namespace win32
