#include "update/update_parts.h"

const UpdatePartRow& PartRow(UpdatePart part) {
  for (const UpdatePartRow& row : kUpdateParts) {
    if (row.part == part) return row;
  }
  return kUpdateParts[0];
}

const SoftwareDefinition* OfferedDefinition(const CUpdateSettings& settings, UpdatePart part) {
  const UpdatePartRow& row = PartRow(part);
  if (settings.*row.selected == 0) return nullptr;
  switch (row.type) {
    case kSoftwareOS:
      return settings.FindOSDefinition(row.kind);
    case kSoftwareGPS:
      return settings.FindGPSDefinition(row.kind);
    case kSoftwareApplication:
      return settings.FindApplicationDefinition();
    default:
      return nullptr;
  }
}
