#include "sim/shell_config.h"

#include "sim/config_section.h"

namespace sim {

namespace {

constexpr NamedValue<ShellDestroy> kDestroyActions[] = {{ShellDestroy::kEnd, "end"},
                                                        {ShellDestroy::kIgnore, "ignore"}};

// A terminal path such as "\Flash Disk2\data.bin", or null.
void ReadTerminalPath(ConfigReader& reader, const char* key, std::optional<std::string>& path) {
  reader.ReadOptional(key, path, "a terminal path, or null for none");
  if (path && (path->empty() || path->front() != '\\')) {
    reader.Fail(key, "expected a full terminal path beginning with a backslash, or null");
  }
}

}  // namespace

const char* ShellDestroyName(ShellDestroy action) { return NameIn(kDestroyActions, action); }

void ReadSection(ConfigReader& reader, ShellConfig& config) {
  reader.Read("application_version", config.applicationVersion, "a version text");
  reader.Read("running", config.running, "true or false");
  reader.ReadName("on_destroy", config.onDestroy, kDestroyActions);
  reader.Read("end_after_seconds", config.endAfterSeconds, "a number of seconds");
  reader.Read("can_be_terminated", config.canBeTerminated, "true or false");
  ReadTerminalPath(reader, "locked_file", config.lockedFile);
  ReadTerminalPath(reader, "orphaned_lock", config.orphanedLock);
}

nlohmann::json SectionJson(const ShellConfig& config) {
  return {{"application_version", config.applicationVersion},
          {"running", config.running},
          {"on_destroy", ShellDestroyName(config.onDestroy)},
          {"end_after_seconds", config.endAfterSeconds},
          {"can_be_terminated", config.canBeTerminated},
          {"locked_file", OptionalJson(config.lockedFile)},
          {"orphaned_lock", OptionalJson(config.orphanedLock)}};
}

}  // namespace sim
