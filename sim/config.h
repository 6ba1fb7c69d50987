// terminal.json: the simulated terminal's hardware and behaviour. Every key has a default; a
// file that cannot be parsed, a key of the wrong type and an unknown key are refused with a
// message that names the key. The top level holds the program's path and the folders of a
// fresh terminal; every other key is the section of a part, which owns its defaults, reads and
// writes it in a file of its own (sim/config_section.h). The Win32 backend reads the same file
// without the simulator's parts, so the sections are listed here, apart from the parts
// (sim/part_kinds.h).
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/config_section.h"
#include "sim/result.h"

namespace sim {

// Every section of terminal.json, at its defaults.
ConfigSections DefaultSections();

struct TerminalConfig {
  // The program's own path on the terminal; the package lies beside it.
  std::string programPath = "\\Storage Card\\VostrelHHT.exe";
  // Folders that exist on a fresh terminal.
  std::vector<std::string> folders = {"\\Flash Disk", "\\Flash Disk2", "\\Storage Card"};
  ConfigSections sections = DefaultSections();

  // A part's section by its type: Get<GpsConfig>().
  template <typename Config>
  Config& Get() {
    return sections.Get<Config>();
  }
  template <typename Config>
  const Config& Get() const {
    return sections.Get<Config>();
  }

  bool operator==(const TerminalConfig&) const = default;
};

// Reads terminal.json; missing keys keep their defaults.
Result<TerminalConfig> LoadConfig(const std::filesystem::path& file);
Result<TerminalConfig> ParseConfig(const nlohmann::json& json);
nlohmann::json ConfigToJson(const TerminalConfig& config);
Status SaveConfig(const std::filesystem::path& file, const TerminalConfig& config);

}  // namespace sim
