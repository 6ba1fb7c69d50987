// The keys the terminal trusts, in terminal.json ("security"): "trusted_keys", a list of Ed25519
// public keys in PEM. With none the terminal takes packages unsigned, as it always did; with
// any it takes only packages signed by one of them.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace sim {

class ConfigReader;

struct SecurityConfig {
  std::vector<std::string> trustedKeys;

  bool operator==(const SecurityConfig&) const = default;
};

// Refuses a key that is not an Ed25519 public key in PEM, naming its place in the list.
void ReadSection(ConfigReader& reader, SecurityConfig& config);
nlohmann::json SectionJson(const SecurityConfig& config);

}  // namespace sim
