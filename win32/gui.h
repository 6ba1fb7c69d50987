// The terminal's screen and keys as a Win32 window: the updater's dialogs drawn with GDI from the
// display list that the simulator's pictures are drawn from, keys from the window's messages,
// other programs' windows found and sent messages through Windows. A run may press its keys
// itself (as "vostrel sim run --keys" does); they reach the updater as messages of the window,
// as a person's keys do.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/gui.h"
#include "sim/keys.h"
#include "sim/screen_trace.h"

namespace win32 {

// The run ends where the updater waited for a key when none of the run's keys was left: the
// terminal stays on its screen.
struct KeysRanOut {};

class Win32Gui final : public platform::Gui {
 public:
  struct Options {
    // Keys that the run presses; none: the updater waits for the window's own keys.
    std::optional<std::vector<sim::KeyPress>> keys;
    // Where a picture of the screen, as the display shows it, is saved at each change of the
    // screen trace ("0001-screen01.bmp", ...); empty: none.
    std::filesystem::path screenshots;
    // The folder of DejaVuSans.ttf and DejaVuSans-Bold.ttf, the simulator's fonts.
    std::wstring fontDir;
    // The host path of a terminal path (for the fonts that programs unload).
    std::function<bool(std::string_view terminalPath, std::wstring* host)> hostPath;
  };

  explicit Win32Gui(Options options);
  ~Win32Gui() override;
  Win32Gui(const Win32Gui&) = delete;
  Win32Gui& operator=(const Win32Gui&) = delete;

  // Opens the window. False with a message when it cannot be made.
  bool Open(std::string* why);

  bool WaitKey(uint32_t timeoutMs, platform::KeyEvent* event) override;
  bool PollKey(platform::KeyEvent* event) override;
  uint16_t GetAsyncKeyState(uint32_t virtualKey) override;
  platform::Handle FindWindow(std::string_view className, std::string_view title) override;
  intptr_t SendMessage(platform::Handle window, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) override;
  // Unloads the font here and in the program that loaded it: Windows keeps a font that a program
  // added with AddFontResource for that program alone, where the terminal's font table is the
  // system's.
  bool RemoveFontResource(std::string_view path) override;
  void Present(const platform::ScreenFrame& frame) override;

  const std::vector<sim::TraceEntry>& Trace() const { return m_trace; }
  // Pictures saved so far, and the first failure to save one.
  const std::vector<std::filesystem::path>& Screenshots() const { return m_shots; }
  const std::string& ScreenshotError() const { return m_shotError; }

  // For the window procedure.
  void OnKey(bool down, uint32_t virtualKey);
  void Paint(void* dc);

 private:
  // Runs the window's messages until a key event is queued or the deadline passes.
  void PumpUntil(std::chrono::steady_clock::time_point deadline);
  void PostKeys(const sim::KeyPress& press);
  bool Deliver(platform::KeyEvent* event);
  void PressDueKeys();
  void SaveScreenshot();

  Options m_options;
  void* m_window = nullptr;  // HWND
  std::chrono::steady_clock::time_point m_start;
  std::deque<sim::KeyPress> m_plain;
  std::vector<sim::KeyPress> m_timed;  // by time
  std::deque<platform::KeyEvent> m_pending;
  std::map<uint32_t, std::pair<bool, bool>> m_keyState;  // key -> (down, pressed since query)
  platform::ScreenFrame m_frame;
  std::vector<sim::TraceEntry> m_trace;
  std::vector<std::filesystem::path> m_shots;
  std::string m_shotError;
  std::vector<std::wstring> m_fonts;
  std::vector<uint32_t> m_painted;  // the last frame painted, 0x00RRGGBB
};

}  // namespace win32
