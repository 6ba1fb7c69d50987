#include "sim/hal_config.h"

#include "sim/config_section.h"

namespace sim {

namespace {

constexpr NamedValue<AcLine> kAcLines[] = {{AcLine::kConnected, "connected"},
                                           {AcLine::kDisconnected, "disconnected"},
                                           {AcLine::kUnknown, "unknown"},
                                           {AcLine::kUnreadable, "unreadable"}};

}  // namespace

const char* AcLineName(AcLine line) { return NameIn(kAcLines, line); }

void ReadSection(ConfigReader& reader, PowerConfig& config) {
  reader.ReadName("ac_line", config.acLine, kAcLines);
}

nlohmann::json SectionJson(const PowerConfig& config) {
  return {{"ac_line", AcLineName(config.acLine)}};
}

void ReadSection(ConfigReader& reader, HalConfig& config) {
  reader.Read("reboot_fails", config.rebootFails, "true or false");
  reader.ReadOptional("boot_version", config.bootVersion,
                      "a version text, or null for a failing query");
  reader.ReadOptional("kernel_version", config.kernelVersion,
                      "a version text, or null for a failing query");
  reader.ReadOptional("key_material", config.keyMaterial,
                      "hexadecimal key material, or null for none");
  if (config.keyMaterial && !KeyMaterialBytes(*config.keyMaterial)) {
    reader.Fail("key_material", "expected 1 to 100 bytes as hexadecimal digits, or null");
  }
}

nlohmann::json SectionJson(const HalConfig& config) {
  return {{"reboot_fails", config.rebootFails},
          {"boot_version", OptionalJson(config.bootVersion)},
          {"kernel_version", OptionalJson(config.kernelVersion)},
          {"key_material", OptionalJson(config.keyMaterial)}};
}

std::optional<std::string> KeyMaterialBytes(const std::string& hex) {
  if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 200) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      const char c = hex[j];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

}  // namespace sim
