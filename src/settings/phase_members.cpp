#include "settings/phase_members.h"

#include <algorithm>

#include "settings/settings.h"

std::vector<PhaseItem> PhaseItems(const CUpdateSettings& settings, UpdatePhase phase,
                                  ScriptTokens tokens) {
  std::vector<PhaseItem> items;
  if (phase == UpdatePhase::kApplication) {
    for (const std::string& line : settings.m_commandScript) {
      int command = kScriptUnknown;
      std::string member;
      std::string destination;
      const bool split = ExtractScriptParams(line, tokens, &command, &member, &destination);
      if (!split) {
        items.push_back({false, line});
      } else if (command == kScriptCopy) {
        items.push_back({true, member});
      }
    }
    return items;
  }
  const SoftwareType type = phase == UpdatePhase::kOS ? kSoftwareOS : kSoftwareGPS;
  const int count = std::clamp(settings.m_nDefinitions, 0, CUpdateSettings::kMaxDefinitions);
  for (int i = 0; i < count; ++i) {
    const SoftwareDefinition& definition = settings.m_definitions[i];
    if (definition.type != type) continue;
    std::string file;
    std::string kind;
    int partition = 0;
    const bool valid =
        type == kSoftwareOS
            ? CUpdateSettings::ParseOSCommand(definition.command, &file, &partition, &kind)
            : CUpdateSettings::ParseGPSCommand(definition.command, &file, &kind);
    if (valid) items.push_back({true, file});
  }
  return items;
}
