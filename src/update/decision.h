// The update decision's rules, part by part: which definition of the package offers a part.
#pragma once

#include "settings/settings.h"

// The four parts of the terminal's software, in the order the decision takes them.
enum class UpdatePart { kBoot, kKernel, kApplication, kGPS };
inline constexpr UpdatePart kUpdateParts[] = {UpdatePart::kBoot, UpdatePart::kKernel,
                                              UpdatePart::kApplication, UpdatePart::kGPS};

// The definition that offers the part: the first OS definition of kind BOOT or KRNL, the first
// Application definition, the first GPS definition of kind FIRMWARE, when the Update keys select
// its kind; null when the package does not offer the part.
const SoftwareDefinition* OfferedDefinition(const CUpdateSettings& settings, UpdatePart part);
