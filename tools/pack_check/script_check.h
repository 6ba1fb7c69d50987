// The application script, line by line, as the terminal's interpreter takes it.
#pragma once

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// Reports a script whose header or start line is missing, lines over the interpreter's limits,
// words that are no command, COPY and REN without their two parameters, copies of members the
// package lacks, DEL and RMDIR patterns that reach the updater's own folder and, with a
// terminal, copies into a folder that neither the terminal nor an earlier MKDIR line has.
void CheckScript(const CheckedPackage& package, Findings& findings);

}  // namespace tools::pack_check
