// What a completed update with the demo's package must have left on a terminal, checked against
// the package's own inputs: each binary partition equal to its image as the writer places it,
// the GPS chip's flash equal to the firmware, every file the script installs equal to its
// member.
#pragma once

#include <string>
#include <vector>

#include "sim/terminal.h"
#include "tools/demo_package.h"

namespace tools {

struct DemoCheck {
  std::string what;    // "partition BOOT", "GPS flash", the installed file's path
  bool holds = false;  // it equals what the package puts there
  std::string detail;  // what was compared, or where it first differs
};

// Compares the terminal's partitions, GPS flash and installed files with the package's inputs.
// The terminal must not be installed elsewhere; it is installed while the script's destinations
// are worked out (their date tokens come from the terminal's clock).
std::vector<DemoCheck> CheckDemoUpdate(sim::Terminal& terminal, const DemoPackage& package);

}  // namespace tools
