// A simulated terminal for fuzz targets that call the updater: made once per process in a
// temporary folder, installed as the platform, with a small RAM so that lengths taken from the
// input fail their allocations quickly.
#pragma once

#include "sim/terminal.h"

namespace fuzz_support {

// The terminal, made on first use. `withChip` false leaves the physical bus empty for a
// device of the fuzz target's own.
sim::Terminal& FuzzTerminal(bool withChip);

}  // namespace fuzz_support
