// The simulated window system: the keys a run presses, other programs' windows, fonts, and
// the screen, whose every change is recorded in the screen trace.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/gui.h"
#include "sim/file_system.h"
#include "sim/keys.h"
#include "sim/processes.h"
#include "sim/scheduler.h"
#include "sim/screen_trace.h"

namespace sim {

class SimGui final : public platform::Gui {
 public:
  // Keys are pressed on the clock; windows belong to processes; a font holds its file open.
  SimGui(Scheduler& clock, ProcessTable& processes, SimFileSystem& files)
      : m_clock(clock), m_processes(processes), m_files(files) {}

  // The keys of the run, in order; timed ones are pressed at their time.
  void SetKeys(const std::vector<KeyPress>& keys);
  // True once the updater waited for a key when none was left.
  bool KeysExhausted() const { return m_exhausted; }
  std::size_t KeysLeft() const { return m_plain.size() + m_timed.size(); }
  // Interactive (in real time): keys also come from outside the simulation (Press), and the
  // updater waiting for a key when none of the run's is left waits for one instead of ending
  // the run.
  void SetInteractive(bool interactive) { m_interactive = interactive; }
  // A key event from outside the simulation (a window), delivered after those already pending;
  // to be called on the simulation's side (in an action given to Scheduler::Post).
  void Press(const platform::KeyEvent& event);

  bool WaitKey(uint32_t timeoutMs, platform::KeyEvent* event) override;
  bool PollKey(platform::KeyEvent* event) override;
  uint16_t GetAsyncKeyState(uint32_t virtualKey) override;
  platform::Handle FindWindow(std::string_view className, std::string_view title) override;
  intptr_t SendMessage(platform::Handle window, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) override;
  bool RemoveFontResource(std::string_view path) override;
  void Present(const platform::ScreenFrame& frame) override;

  // A font that a program loaded from a file it holds open with `handle`.
  void LoadFont(ProcessId owner, const std::string& path, platform::Handle handle);
  // Drops the fonts of a program that has ended (its handles closed with it).
  void ForgetFontsOf(ProcessId owner);
  std::size_t LoadedFontCount() const { return m_fonts.size(); }
  std::vector<std::string> RemovedFonts() const { return m_removedFonts; }

  const std::vector<TraceEntry>& Trace() const { return m_trace; }
  const platform::ScreenFrame& LastFrame() const { return m_lastFrame; }
  // The screens shown, in order, each change of screen once.
  std::vector<int> Screens() const;
  // Called with every frame presented (to draw it, for example), after the trace took it in,
  // with the virtual time. Sinks are called in the order they were added.
  using FrameSink = std::function<void(uint64_t, const platform::ScreenFrame&)>;
  int AddFrameSink(FrameSink sink);
  void RemoveFrameSink(int id);

 private:
  void Expand(const KeyPress& press);
  bool Deliver(platform::KeyEvent* event);

  Scheduler& m_clock;
  ProcessTable& m_processes;
  SimFileSystem& m_files;
  std::deque<KeyPress> m_plain;
  std::vector<KeyPress> m_timed;  // by time
  std::deque<platform::KeyEvent> m_pending;
  std::map<uint32_t, std::pair<bool, bool>> m_keyState;  // key -> (down, pressed since query)
  bool m_exhausted = false;
  bool m_interactive = false;
  struct Font {
    ProcessId owner;
    std::string path;
    platform::Handle handle;
  };
  std::vector<Font> m_fonts;
  std::vector<std::string> m_removedFonts;
  std::vector<TraceEntry> m_trace;
  platform::ScreenFrame m_lastFrame;
  std::vector<std::pair<int, FrameSink>> m_sinks;
  int m_nextSink = 1;
};

}  // namespace sim
