// Runs the updater on a simulated terminal, as if the terminal had started it, and reports
// what happened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sim/keys.h"
#include "sim/result.h"
#include "sim/terminal.h"
#include "update/update_parts.h"

namespace sim {

class SimDesktop;

struct RunOptions {
  std::string commandLine;
  std::vector<KeyPress> keys;
  // The desktop that serves a desktop-mode run (made with SimDesktop::Open): the run begins it
  // with the updater, stops it when the updater has ended and reports what it did.
  SimDesktop* desktop = nullptr;
  // The power goes once this write step of the run is done (see sim/write_steps.h); the run
  // then ends as a power cut and the terminal starts again, as far as its partitions let it.
  std::optional<uint64_t> powerCutAfterStep;
};

enum class RunEnd {
  kLeft,        // the updater closed its dialog and ended
  kRebooted,    // the updater rebooted the terminal
  kPowerCut,    // the power went during the run; the terminal started again
  kKeysRanOut,  // it waited for a key when none was left; the terminal stays on its screen
  kNotStarted,  // the terminal does not start (or only in its boot loader): nothing ran
};

// One of the four parts of the terminal's software as a run saw it.
struct PartOutcome {
  std::string installedBefore;
  std::string installedAfter;
  std::optional<std::string> offeredVersion;  // the package's version, when offered
  bool offered = false;
  bool marked = false;
};

struct RunOutcome {
  RunEnd end = RunEnd::kLeft;
  std::vector<int> screens;
  int finalScreen = 0;
  bool rebooted = false;
  bool rerunnerStarted = false;
  int userActivitySignals = 0;
  int exitCode = 4;
  uint64_t virtualMilliseconds = 0;
  std::vector<TraceEntry> trace;
  // In the order of the updater's parts: boot loader, kernel, application, GPS firmware.
  PartOutcome parts[kUpdatePartCount];
  int32_t lastError = 0;
  std::string lastErrorText;
  std::string lastErrorFunction;
  // The GPS chip's last programming in the run, when there was one (see GpsChip::Session).
  nlohmann::json gpsProgramming;
  // What the desktop did, when one served the run: its exchanges and events, in order.
  bool desktopServed = false;
  std::vector<std::string> desktopLog;
  // Every write step of the run, in order, up to the one after which the power went.
  std::vector<WriteStep> writeSteps;
  // How the terminal started after the run (after its restart, when it restarted).
  BootState bootAfter = BootState::kStarts;
  // State files of the terminal that could not be kept (a full disk): the run then fails,
  // whatever the updater showed.
  std::vector<std::string> fileErrors;
};

// The exit code of a run on a terminal that does not start.
inline constexpr int kExitNotStarted = 5;
// The exit code of a run after which a state file of the terminal could not be kept: the run
// failed, as an update that failed does.
inline constexpr int kExitFileLost = 1;

// Leaves a read-only marker for the level and removes the others.
Status PlaceDebugMarker(Terminal& terminal, int level);

// Places an update package on the terminal as a terminal-mode run finds it: "install.bin"
// beside the program, as a hard link to the package where the file system allows (the terminal
// never writes through it), else as a copy.
Status PlacePackage(Terminal& terminal, const std::filesystem::path& package);

// Runs the updater once. The terminal must not be installed elsewhere.
RunOutcome RunUpdater(Terminal& terminal, const RunOptions& options);

nlohmann::json ReportJson(Terminal& terminal, const RunOutcome& outcome);
const char* RunEndName(RunEnd end);

}  // namespace sim
