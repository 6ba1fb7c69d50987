#include "tools/pack_check/decision.h"

#include "update/update_parts.h"
#include "utils/utils.h"

namespace tools::pack_check {

std::vector<PartDecision> PredictDecision(const CUpdateSettings& settings,
                                          sim::Terminal& terminal) {
  const sim::InstalledVersions versions = terminal.Versions();
  const struct {
    UpdatePart part;
    const char* name;
    std::string sim::InstalledVersions::*installed;
  } parts[] = {{UpdatePart::kBoot, "boot", &sim::InstalledVersions::boot},
               {UpdatePart::kKernel, "kernel", &sim::InstalledVersions::kernel},
               {UpdatePart::kApplication, "application", &sim::InstalledVersions::application},
               {UpdatePart::kGPS, "gps", &sim::InstalledVersions::gps}};
  std::vector<PartDecision> decisions;
  for (const auto& part : parts) {
    PartDecision decision;
    decision.part = part.name;
    decision.installed = versions.*part.installed;
    if (const SoftwareDefinition* definition = OfferedDefinition(settings, part.part)) {
      decision.offered = definition->version;
      decision.marked = CUtils::IsVersionNewer(decision.installed, definition->version);
    }
    decisions.push_back(decision);
  }
  return decisions;
}

}  // namespace tools::pack_check
