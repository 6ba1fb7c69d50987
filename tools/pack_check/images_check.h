// The images and firmware files of the kinds that the package selects.
#pragma once

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// Checks each boot loader and kernel image and each GPS file that a definition of a selected
// kind names, once per file, in the order of the definitions; the other kinds are never offered.
void CheckImages(const CheckedPackage& package, Findings& findings);

}  // namespace tools::pack_check
