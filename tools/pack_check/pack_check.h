// "vostrel pack check": everything that would make a package fail on a terminal, found on the
// desktop before it ships. Each checker looks at one thing (the container, the settings lines,
// the definitions, the members they name, the images and GPS files, the script) and names the
// member, the settings line or key, or the script line at fault.
#pragma once

#include <filesystem>

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/report.h"

namespace tools::pack_check {

// Checks the package file; with a terminal, also predicts its decision. A package or terminal
// that cannot be read at all gives one finding.
CheckReport CheckPackage(const std::filesystem::path& package, const CheckOptions& options);

}  // namespace tools::pack_check
