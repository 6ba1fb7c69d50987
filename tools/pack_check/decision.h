// The decision a terminal would take on the package, part by part, without running anything.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "sim/terminal.h"

namespace tools::pack_check {

struct PartDecision {
  std::string part;  // its name in the table of update parts
  std::string installed;
  std::optional<std::string> offered;  // the package's version, when it offers the part
  bool marked = false;
};

// Each part of the update in the order of its table: what is installed, what the settings
// offer, and whether the terminal would mark the part for update.
std::vector<PartDecision> PredictDecision(const CUpdateSettings& settings, sim::Terminal& terminal);

}  // namespace tools::pack_check
