// What the simulated terminal saw happen: counts of signals, starts and restarts that a run
// reports and tests check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Observations {
  int launchSignals = 0;                    // "SD_LAUNCH_EVENT" signalled
  int userActivitySignals = 0;              // the power manager's user-activity event signalled
  std::vector<uint64_t> userActivityTimes;  // when, in milliseconds since the start
  int rerunnerStopSignals = 0;              // "RERUNNER_STOP" signalled
  bool rebooted = false;
  bool powerCut = false;  // the power went during the run
  int rerunnerStarts = 0;
  int shellStarts = 0;  // the resident shell started, at power on or again later
  int restarts = 0;     // the terminal booted again after a reboot
  std::vector<std::string> startedPrograms;
};

}  // namespace sim
