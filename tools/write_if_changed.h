// The GPS image generator reaches host::WriteIfChanged under this name until it includes
// tools/host_files.h itself.
#pragma once

#include "tools/host_files.h"

namespace tools {

using host::WriteIfChanged;

}  // namespace tools
