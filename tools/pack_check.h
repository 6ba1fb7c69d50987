// vostrel pack check: everything that would make a package fail on a terminal, found on the
// desktop before it ships. Each finding names the member, the settings line or key, or the
// script line at fault.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tools {

enum class Severity {
  kError,    // the update would fail, or would do something other than what the package says
  kWarning,  // the update would work, but something is ignored or surprising
};

struct Finding {
  Severity severity = Severity::kError;
  std::string where;  // "container", "member 'NK.BIN'", "Vostrel.ini line 12", ...
  std::string message;
};

// One part of the terminal's software as the terminal would decide it.
struct PartDecision {
  std::string part;  // "boot", "kernel", "application", "gps"
  std::string installed;
  std::optional<std::string> offered;  // the package's version, when it offers the part
  bool marked = false;
};

struct CheckOptions {
  // A simulated terminal whose installed versions and hardware the check takes; none: a
  // terminal as "vostrel sim init" makes it, and no decision.
  std::optional<std::filesystem::path> terminal;
  // The hardware key material the terminal would derive the image key from; none: the fixed
  // pass phrase.
  std::optional<std::vector<uint8_t>> keyMaterial;
};

struct CheckReport {
  std::vector<Finding> findings;
  // With a terminal: the decision, part by part.
  std::vector<PartDecision> decision;

  // 0 sound, 1 would fail, 2 would work with warnings.
  int ExitCode() const;
  nlohmann::json ToJson() const;
};

// Checks the package file. A package that cannot be read at all gives one finding.
CheckReport CheckPackage(const std::filesystem::path& package, const CheckOptions& options);

}  // namespace tools
