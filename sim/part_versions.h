// The installed versions the terminal reports, read part by part as the updater's table of
// update parts names them, so that host code can walk that table instead of the four fields.
#pragma once

#include <string>
#include <utility>

#include "sim/terminal.h"
#include "update/update_parts.h"

namespace sim {

inline const std::string& VersionOf(const InstalledVersions& versions, UpdatePart part) {
  // No default: the warning for an unhandled enumerator stops the build until a new kind of
  // update item has its version here.
  switch (part) {
    case UpdatePart::kBoot:
      return versions.boot;
    case UpdatePart::kKernel:
      return versions.kernel;
    case UpdatePart::kApplication:
      return versions.application;
    case UpdatePart::kGPS:
      return versions.gps;
  }
  return versions.boot;
}

inline std::string& VersionOf(InstalledVersions& versions, UpdatePart part) {
  return const_cast<std::string&>(VersionOf(std::as_const(versions), part));
}

}  // namespace sim
