#include "sim/config.h"

#include <fstream>
#include <sstream>

#include "sim/clock_config.h"
#include "sim/desktop_config.h"
#include "sim/flash_config.h"
#include "sim/gps_config.h"
#include "sim/gps_driver.h"
#include "sim/hal_config.h"
#include "sim/memory.h"
#include "sim/security_config.h"
#include "sim/shell_config.h"
#include "sim/state_file.h"

namespace sim {

using nlohmann::json;

namespace {

template <typename Config>
std::unique_ptr<ConfigSection> Section(const char* key) {
  return std::make_unique<SectionOf<Config>>(key);
}

}  // namespace

ConfigSections DefaultSections() {
  std::vector<std::unique_ptr<ConfigSection>> sections;
  // In the order they are read; each type's owner reads and writes it.
  sections.push_back(Section<ClockConfig>("clock"));
  sections.push_back(Section<PowerConfig>("power"));
  sections.push_back(Section<HalConfig>("hal"));
  sections.push_back(Section<GpsDriverConfig>("gps_driver"));
  sections.push_back(Section<GpsConfig>("gps"));
  sections.push_back(Section<DesktopConfig>("desktop"));
  sections.push_back(Section<ShellConfig>("shell"));
  sections.push_back(Section<FlashConfig>("flash"));
  sections.push_back(Section<MemoryConfig>("memory"));
  sections.push_back(Section<SecurityConfig>("security"));
  return ConfigSections(std::move(sections));
}

namespace {

// A terminal path from terminal.json names a place inside the terminal: a "." or ".." component
// would let the simulator's host path leave the terminal's folder.
bool StaysInside(std::string_view terminalPath) {
  std::size_t start = 0;
  while (start <= terminalPath.size()) {
    std::size_t end = terminalPath.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = terminalPath.size();
    const std::string_view part = terminalPath.substr(start, end - start);
    if (part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

Result<TerminalConfig> ParseConfig(const json& root) {
  TerminalConfig config;
  try {
    ConfigReader top(root, "");
    top.Read("program", config.programPath, "a terminal path (text)");
    if (config.programPath.empty() || config.programPath.front() != '\\' ||
        config.programPath.back() == '\\') {
      top.Fail("program",
               "expected the full terminal path of the program, such as "
               "\"\\\\Storage Card\\\\VostrelHHT.exe\"");
    }
    if (!StaysInside(config.programPath)) {
      top.Fail("program", "\"" + config.programPath +
                              "\" leaves the terminal's file system (\".\" or \"..\" in it)");
    }
    top.Read("folders", config.folders, "a list of terminal paths");
    for (const std::string& folder : config.folders) {
      if (!StaysInside(folder)) {
        top.Fail("folders",
                 "\"" + folder + "\" leaves the terminal's file system (\".\" or \"..\" in it)");
      }
    }
    for (const auto& section : config.sections.All()) {
      if (const json* object = top.Find(section->Key())) {
        ConfigReader reader(*object, section->Key());
        section->Read(reader);
        reader.CheckUnknown();
      }
    }
    top.CheckUnknown();
  } catch (const ConfigError& error) {
    return Result<TerminalConfig>::Failure(error.what());
  }
  return config;
}

Result<TerminalConfig> LoadConfig(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Result<TerminalConfig>::Failure(file.string() + ": cannot be read");
  std::stringstream buffer;
  buffer << in.rdbuf();
  json root;
  try {
    root = json::parse(buffer.str());
  } catch (const json::parse_error& error) {
    return Result<TerminalConfig>::Failure(file.string() + ": not valid JSON (" + error.what() +
                                           ")");
  }
  auto config = ParseConfig(root);
  if (!config) return Result<TerminalConfig>::Failure(file.string() + ": key " + config.error());
  return config;
}

json ConfigToJson(const TerminalConfig& config) {
  json root;
  root["program"] = config.programPath;
  root["folders"] = config.folders;
  for (const auto& section : config.sections.All()) root[section->Key()] = section->Write();
  return root;
}

Status SaveConfig(const std::filesystem::path& file, const TerminalConfig& config) {
  return ReplaceFile(file, ConfigToJson(config).dump(2) + "\n");
}

}  // namespace sim
