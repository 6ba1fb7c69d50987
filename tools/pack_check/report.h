// What "vostrel pack check" found, as its exit code, as text and as JSON.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/pack_check/decision.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

struct CheckReport {
  Findings findings;
  // With a terminal: the decision, part by part.
  std::vector<PartDecision> decision;

  // 0 sound, 1 would fail, 2 would work with warnings.
  int ExitCode() const;
  nlohmann::json ToJson() const;
  // Prints the findings one a line, the decision under "The terminal TERMINAL would decide:",
  // and a closing line with the counts and the verdict.
  void Print(std::FILE* out, const std::string& terminal) const;
};

}  // namespace tools::pack_check
