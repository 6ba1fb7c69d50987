#include "tools/pack_check/decision.h"

#include "sim/part_versions.h"
#include "update/update_parts.h"
#include "utils/utils.h"

namespace tools::pack_check {

std::vector<PartDecision> PredictDecision(const CUpdateSettings& settings,
                                          sim::Terminal& terminal) {
  const sim::InstalledVersions versions = terminal.Versions();
  std::vector<PartDecision> decisions;
  for (const UpdatePartRow& row : kUpdateParts) {
    PartDecision decision;
    decision.part = row.name;
    decision.installed = sim::VersionOf(versions, row.part);
    if (const SoftwareDefinition* definition = OfferedDefinition(settings, row.part)) {
      decision.offered = definition->version;
      decision.marked = CUtils::IsVersionNewer(decision.installed, definition->version);
    }
    decisions.push_back(decision);
  }
  return decisions;
}

}  // namespace tools::pack_check
