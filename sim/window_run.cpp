#include "sim/window_run.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "sim/clock_config.h"
#include "sim/display.h"
#include "text/text.h"

namespace sim {

namespace {

// How long the window waits for the user before it looks at the run again.
constexpr uint32_t kFrameMilliseconds = 15;

// What the run's thread hands to the window's.
struct Handover {
  struct Frame {
    ScreenImage image;
    ShownFrame shown;
  };
  std::mutex lock;
  std::deque<Frame> frames;
  std::string debugLine;
  bool done = false;
};

std::string ClockLine(Terminal& terminal) {
  const uint64_t now = terminal.Now();
  const std::string speed =
      terminal.Clock().Speed() == 1 ? "" : text::Sprintf("  (x%u)", terminal.Clock().Speed());
  return text::Sprintf("%s  +%.1f s%s", FormatLocalTime(terminal.Kernel().GetLocalTime()),
                       static_cast<double>(now) / 1000.0, speed);
}

}  // namespace

Result<WindowRun> RunInWindow(Terminal& terminal, const RunOptions& options, TerminalWindow& window,
                              const WindowRunOptions& extra) {
  using R = Result<WindowRun>;
  if (terminal.Clock().Mode() != ClockMode::kRealtime) {
    return R::Failure("a run in a window needs the terminal on the host clock");
  }
  auto display = Display::Open();
  if (!display) return R::Failure(display.error());
  const std::unique_ptr<Display> renderer = std::move(*display);

  SimGui& gui = terminal.Gui();
  Scheduler& clock = terminal.Clock();
  Handover handover;
  std::size_t traceLength = gui.Trace().size();
  const int sink = gui.AddFrameSink([&](uint64_t, const platform::ScreenFrame& frame) {
    // On the run's thread: drawn here, by the code that draws the PNG pictures.
    Handover::Frame drawn{renderer->Render(frame), {}};
    const std::vector<TraceEntry>& trace = gui.Trace();
    drawn.shown = {trace.size(), trace.size() != traceLength,
                   trace.empty() ? TraceEntry{} : trace.back()};
    traceLength = trace.size();
    std::lock_guard lock(handover.lock);
    handover.frames.push_back(std::move(drawn));
  });
  terminal.Debug().SetLineSink([&handover](const std::string& line) {
    if (line.empty()) return;
    std::lock_guard lock(handover.lock);
    handover.debugLine = line;
  });
  gui.SetInteractive(true);

  // What the window posts acts only during this run: a key or a close that reaches the clock
  // after the run has ended must not reach the next one.
  const auto live = std::make_shared<std::atomic<bool>>(true);
  WindowRun result;
  std::thread run([&] {
    result.outcome = RunUpdater(terminal, options);
    live->store(false);
    clock.DetachMainThread();
    std::lock_guard lock(handover.lock);
    handover.done = true;
  });

  bool backlog = false;
  for (;;) {
    for (const WindowInput& input : window.Poll(backlog ? 0 : kFrameMilliseconds)) {
      if (input.kind == WindowInput::Kind::kClose) {
        if (result.closed) continue;
        result.closed = true;
        clock.Post([live, &terminal] {
          if (!live->load()) return;
          terminal.CutPower();
          terminal.Clock().WakeThreadsOf(kUpdaterProcess);
        });
        continue;
      }
      const platform::KeyEvent event{input.kind == WindowInput::Kind::kKeyDown
                                         ? platform::KeyEvent::Kind::kDown
                                         : platform::KeyEvent::Kind::kUp,
                                     input.virtualKey};
      clock.Post([live, &gui, event] {
        if (live->load()) gui.Press(event);
      });
    }
    std::deque<Handover::Frame> frames;
    std::string debugLine;
    bool done = false;
    {
      std::lock_guard lock(handover.lock);
      frames.swap(handover.frames);
      debugLine = handover.debugLine;
      done = handover.done;
    }
    for (const Handover::Frame& frame : frames) {
      window.ShowScreen(frame.image);
      if (extra.onShown) extra.onShown(frame.shown);
    }
    backlog = !frames.empty();
    window.ShowStatus(ClockLine(terminal), debugLine);
    window.Present();
    // Every frame presented before the run ended has been taken with `done`.
    if (done) break;
  }
  run.join();

  gui.SetInteractive(false);
  terminal.Debug().SetLineSink(nullptr);
  gui.RemoveFrameSink(sink);
  return result;
}

}  // namespace sim
