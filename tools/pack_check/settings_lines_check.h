// The settings file line by line, as the terminal's reader takes it.
#pragma once

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// Reports lines, section names and values longer than the terminal reads, "[" lines without
// "]", keys outside any section, keys that end in a blank, sections and keys the updater never
// reads, and repeated keys. The script's own section is left to the script's check.
void CheckSettingsLines(const CheckedPackage& package, Findings& findings);

}  // namespace tools::pack_check
