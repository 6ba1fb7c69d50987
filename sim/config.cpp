#include "sim/config.h"

#include <fstream>
#include <sstream>

#include "sim/part_kinds.h"

namespace sim {

using nlohmann::json;

ConfigSections DefaultSections() {
  std::vector<std::unique_ptr<ConfigSection>> sections;
  for (const PartKind& kind : PartKinds()) {
    if (kind.section != nullptr) sections.push_back(kind.defaults(kind.section));
  }
  return ConfigSections(std::move(sections));
}

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
    top.Read("folders", config.folders, "a list of terminal paths");
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
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) return Status::Failure(file.string() + ": cannot be written");
  out << ConfigToJson(config).dump(2) << "\n";
  if (!out) return Status::Failure(file.string() + ": cannot be written");
  return {};
}

}  // namespace sim
