// The members that the settings' definitions name.
#pragma once

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// Reports every file that an OS or GPS definition names and the package lacks, matched as the
// terminal matches names. The script's COPY lines are the script's check.
void CheckNamedMembers(const CheckedPackage& package, Findings& findings);

}  // namespace tools::pack_check
