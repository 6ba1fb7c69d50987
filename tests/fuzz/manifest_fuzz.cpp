// Reads a signature member and its manifest, and keys, from any bytes: the readers must stay
// inside them and stop, and a manifest they take must be exactly the one its items write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "package/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  std::string error;
  manifest::SignedParts parts;
  if (manifest::SplitMember(bytes, &parts, &error)) {
    if (parts.manifestText.size() + manifest::kTrailerSize != size) std::abort();
    const std::string_view text(reinterpret_cast<const char*>(parts.manifestText.data()),
                                parts.manifestText.size());
    manifest::Manifest read;
    if (manifest::ParseManifest(text, &read, &error) && manifest::FormatManifest(read) != text) {
      std::abort();
    }
  }
  // The whole input as a manifest and as keys.
  const std::string_view whole(reinterpret_cast<const char*>(data), size);
  manifest::Manifest read;
  if (manifest::ParseManifest(whole, &read, &error) && manifest::FormatManifest(read) != whole) {
    std::abort();
  }
  manifest::PublicKey key;
  if (manifest::ParsePublicKeyPem(whole, &key, &error) &&
      manifest::ParsePublicKeyPem(manifest::PublicKeyPem(key), &key, &error) == false) {
    std::abort();
  }
  manifest::PrivateKey seed;
  (void)manifest::ParsePrivateKeyPem(whole, &seed, &error);
  return 0;
}
