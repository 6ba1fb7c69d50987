// The resident shell's section of terminal.json ("shell"): whether it runs, what it holds and
// how it ends.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

namespace sim {

class ConfigReader;

// What the resident shell does with the window-destroy message.
enum class ShellDestroy { kEnd, kIgnore };
const char* ShellDestroyName(ShellDestroy action);

// The resident shell "tavimon.exe" (terminal.json "shell").
struct ShellConfig {
  // The application version that a fresh terminal's shell reports in the registry.
  std::string applicationVersion = "1.0.0";
  // The shell starts at power on and after a reboot.
  bool running = true;
  // kEnd: it ends endAfterSeconds virtual seconds after the message (0: before the sending
  // call returns).
  ShellDestroy onDestroy = ShellDestroy::kEnd;
  uint32_t endAfterSeconds = 0;
  bool canBeTerminated = true;
  // A further file that the shell holds open without sharing while it runs.
  std::optional<std::string> lockedFile;
  // A file that the shell holds while it runs and that stays locked after it is terminated.
  std::optional<std::string> orphanedLock;

  bool operator==(const ShellConfig&) const = default;
};

void ReadSection(ConfigReader& reader, ShellConfig& config);
nlohmann::json SectionJson(const ShellConfig& config);

}  // namespace sim
