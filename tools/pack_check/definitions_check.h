// The software definitions of the settings and the kinds that the Update keys select.
#pragma once

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// Reports definitions past the tenth, gaps that end a list, definitions that are not
// type|version|command or whose type letter is none or not their list's, commands that do not
// split as their type needs or name an unknown kind, definitions whose kind no Update key
// selects, a selected kind that offers nothing, an S-record firmware without a boot file, and
// more than one Application definition.
void CheckDefinitions(const CheckedPackage& package, Findings& findings);

}  // namespace tools::pack_check
