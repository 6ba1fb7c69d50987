#include "win32/crypto.h"

#include <algorithm>
#include <utility>

#include "common/ed25519.h"
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

constexpr wchar_t kAesProvider[] = L"Microsoft Enhanced RSA and AES Cryptographic Provider";
constexpr DWORD kProvRsaAes = 24;
// Hashing needs no key container, so none is opened or made for it.
constexpr DWORD kCryptVerifyContext = 0xf0000000;
constexpr ALG_ID kCalgSha256 = 0x800c;
constexpr DWORD kHpHashVal = 2;

class CryptoApiSha256 final : public platform::Sha256 {
 public:
  CryptoApiSha256(HCRYPTPROV context, HCRYPTHASH hash) : m_context(context), m_hash(hash) {}
  ~CryptoApiSha256() override {
    CryptDestroyHash(m_hash);
    CryptReleaseContext(m_context, 0);
  }
  CryptoApiSha256(const CryptoApiSha256&) = delete;
  CryptoApiSha256& operator=(const CryptoApiSha256&) = delete;

  void Update(const uint8_t* data, std::size_t length) override {
    while (m_ok && length > 0) {
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
      m_ok = CryptHashData(m_hash, data, piece, 0) != FALSE;
      data += piece, length -= piece;
    }
  }
  // A hash that failed on the way gives zeros, as a provider without SHA-256 does: the digest
  // only names a key in the log.
  std::array<uint8_t, 32> Finish() override {
    std::array<uint8_t, 32> digest{};
    DWORD size = digest.size();
    if (!m_ok || !CryptGetHashParam(m_hash, kHpHashVal, digest.data(), &size, 0) ||
        size != digest.size()) {
      digest.fill(0);
    }
    m_ok = false;
    return digest;
  }

 private:
  HCRYPTPROV m_context;
  HCRYPTHASH m_hash;
  bool m_ok = true;
};

}  // namespace

Win32Crypto::Win32Crypto(std::vector<std::string> trustedKeys)
    : m_trustedKeys(std::move(trustedKeys)) {}

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

std::unique_ptr<platform::Sha256> Win32Crypto::NewSha256() {
  HCRYPTPROV context = 0;
  if (!CryptAcquireContextW(&context, nullptr, kAesProvider, kProvRsaAes, kCryptVerifyContext)) {
    return nullptr;
  }
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(context, kCalgSha256, 0, 0, &hash)) {
    CryptReleaseContext(context, 0);
    return nullptr;
  }
  return std::make_unique<CryptoApiSha256>(context, hash);
}

bool Win32Crypto::VerifyEd25519(const uint8_t* key, const uint8_t* message, std::size_t length,
                                const uint8_t* signature) {
  return ed25519::Verify(key, message, length, signature);
}

}  // namespace win32
