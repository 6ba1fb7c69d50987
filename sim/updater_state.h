// The updater's process-wide state between runs in one host process: every module puts its own
// back to its value at program start, as if the terminal had started the program afresh.
#pragma once

namespace sim {

// Releases what a run left behind when it was cut off (a reboot, the end of a simulation) and
// resets every module of the updater, from the top down.
void ResetUpdaterState();

}  // namespace sim
