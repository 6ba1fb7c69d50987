// The hardware layer's sections of terminal.json: the charger ("power") and the layer's own
// answers ("hal"), whichever backend serves the hardware layer.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

namespace sim {

class ConfigReader;

// The charger, as the power status reports it.
enum class AcLine { kConnected, kDisconnected, kUnknown, kUnreadable };
const char* AcLineName(AcLine line);

struct PowerConfig {
  AcLine acLine = AcLine::kConnected;

  bool operator==(const PowerConfig&) const = default;
};

void ReadSection(ConfigReader& reader, PowerConfig& config);
nlohmann::json SectionJson(const PowerConfig& config);

struct HalConfig {
  // The reboot control fails instead of restarting the terminal.
  bool rebootFails = false;
  // The installed images' versions that the version query reports; none: the query fails.
  std::optional<std::string> bootVersion = "1.0.2";
  std::optional<std::string> kernelVersion = "1.0.5";
  // The key material that control 0x01012008 answers, as hexadecimal text (up to 100 bytes);
  // none: the control fails and the updater takes its pass phrase.
  std::optional<std::string> keyMaterial;

  bool operator==(const HalConfig&) const = default;
};

void ReadSection(ConfigReader& reader, HalConfig& config);
nlohmann::json SectionJson(const HalConfig& config);

// The bytes of hexadecimal key material ("0a1B..."), or none when the text is not an even
// number of hexadecimal digits standing for 1 to 100 bytes.
std::optional<std::string> KeyMaterialBytes(const std::string& hex);

}  // namespace sim
