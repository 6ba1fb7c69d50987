// The container: its header part, its checksum, and every member's entry.
#pragma once

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// Reports a header part the terminal cannot load, a checksum that fails, member data outside
// the container, names longer than the terminal takes and members that an earlier one hides.
// False when the header part does not load, so that nothing else can be checked.
bool CheckContainer(const PackageFile& package, Findings& findings);

}  // namespace tools::pack_check
