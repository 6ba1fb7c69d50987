// Runs the updater with the terminal in a window: the screen as the updater draws it, the keys
// from the window, a status line with the terminal's clock and the debug output's latest line.
#pragma once

#include <cstddef>
#include <functional>

#include "sim/result.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "sim/window.h"

namespace sim {

// A frame that the updater presented, once the window has drawn it.
struct ShownFrame {
  std::size_t traceLength = 0;  // entries of the terminal's screen trace at that frame
  bool traceChanged = false;    // the frame added one (the frames that --screens saves)
  TraceEntry entry;             // the trace's last entry at that frame
};

struct WindowRunOptions {
  // Called on the window's thread after each frame has been drawn, in the order presented.
  std::function<void(const ShownFrame&)> onShown;
};

struct WindowRun {
  RunOutcome outcome;
  bool closed = false;  // the window was closed during the run, which cut the power
};

// Runs the updater once, as RunUpdater does, on a second host thread, while the calling thread
// (the window's) draws every frame the updater presents and hands the window's keys to the
// terminal as it would get them from its keyboard. Closing the window cuts the power. Keys of
// options.keys are pressed first, as in any run; then the updater waits for the window's.
// The terminal must run on the host clock (ClockMode::kRealtime), at the speed of its clock.
Result<WindowRun> RunInWindow(Terminal& terminal, const RunOptions& options, TerminalWindow& window,
                              const WindowRunOptions& extra = {});

}  // namespace sim
