#include "sim/security_config.h"

#include "package/manifest.h"
#include "sim/config_section.h"

namespace sim {

void ReadSection(ConfigReader& reader, SecurityConfig& config) {
  reader.Read("trusted_keys", config.trustedKeys, "a list of public keys in PEM");
  for (std::size_t i = 0; i < config.trustedKeys.size(); ++i) {
    manifest::PublicKey key;
    std::string error;
    if (!manifest::ParsePublicKeyPem(config.trustedKeys[i], &key, &error)) {
      reader.Fail("trusted_keys", "key " + std::to_string(i + 1) + ": " + error);
    }
  }
}

nlohmann::json SectionJson(const SecurityConfig& config) {
  return {{"trusted_keys", config.trustedKeys}};
}

}  // namespace sim
