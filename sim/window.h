// The terminal in a window: its face with the 320 by 240 screen, a status line and the keys,
// which work from the host's keyboard and by clicking them. The window is drawn by the renderer
// module (SDL2), so that only commands that open one load it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/display.h"
#include "sim/result.h"

namespace sim {

// A rectangle of the face, in face pixels (the window's pixels at scale 1).
struct FaceRect {
  int x = 0, y = 0, w = 0, h = 0;
  constexpr bool Contains(int px, int py) const {
    return px >= x && py >= y && px < x + w && py < y + h;
  }
};

struct FaceKey {
  const char* label;     // as printed on the key
  uint32_t virtualKey;   // what the terminal's keyboard sends
  const char* keyboard;  // the host key that presses it, as the face shows it
  // The same by SDL key name; a second name or null.
  const char* keyNames[2];
  FaceRect rect;
  // A click holds the key down until the next click: TAB stays held while F1 to F4 are clicked.
  bool latching;
};

inline constexpr int kFaceWidth = 400;
inline constexpr int kFaceHeight = 460;
inline constexpr FaceRect kFaceScreen = {40, 36, kScreenWidth, kScreenHeight};
inline constexpr FaceRect kFaceBezel = {30, 26, kScreenWidth + 20, kScreenHeight + 20};
// Two lines under the screen: the terminal's clock, and the debug output's latest line.
inline constexpr FaceRect kFaceStatus = {30, 290, kScreenWidth + 20, 36};
// Under the keys of the version dialog: how they are used.
inline constexpr FaceRect kFaceHint = {30, 432, kScreenWidth + 20, 18};

inline constexpr FaceKey kFaceKeys[] = {
    {"PLAY", 13, "Enter", {"Return", "Keypad Enter"}, {40, 338, 96, 46}, false},
    {"STOP", 17, "Esc", {"Escape", nullptr}, {152, 338, 96, 46}, false},
    {"<<", 16, "Backspace", {"Backspace", nullptr}, {264, 338, 96, 46}, false},
    {"TAB", 9, "Tab", {"Tab", nullptr}, {40, 394, 56, 34}, true},
    {"F1", 112, "F1", {"F1", nullptr}, {106, 394, 56, 34}, false},
    {"F2", 113, "F2", {"F2", nullptr}, {172, 394, 56, 34}, false},
    {"F3", 114, "F3", {"F3", nullptr}, {238, 394, 56, 34}, false},
    {"F4", 115, "F4", {"F4", nullptr}, {304, 394, 56, 34}, false},
};

inline constexpr const char* kFaceHintText =
    "version dialog (<<): hold TAB, press F1 boot, F2 kernel, F3 application, F4 GPS";

// The key under a point of the face, or null.
constexpr const FaceKey* FaceKeyAt(int x, int y) {
  for (const FaceKey& key : kFaceKeys) {
    if (key.rect.Contains(x, y)) return &key;
  }
  return nullptr;
}

// What the user did in the window.
struct WindowInput {
  enum class Kind { kKeyDown, kKeyUp, kClose };
  Kind kind = Kind::kClose;
  uint32_t virtualKey = 0;  // the terminal's key, for kKeyDown and kKeyUp
  bool operator==(const WindowInput&) const = default;
};

struct WindowOptions {
  std::string title = "VostrelHHT terminal";
  int scale = 2;  // window pixels per face pixel
};

// True when a window can be shown: DISPLAY or WAYLAND_DISPLAY names a display, or
// SDL_VIDEODRIVER names a video driver explicitly (such as "offscreen", which needs none).
bool HaveDisplay();

// The window. It belongs to the thread that opened it: every call must come from that thread.
class TerminalWindow {
 public:
  // Opens the window, drawn blank with the face; fails with a message that names what is
  // missing (the renderer module, a font, the video driver).
  static Result<std::unique_ptr<TerminalWindow>> Open(const WindowOptions& options);
  virtual ~TerminalWindow() = default;

  virtual int Scale() const = 0;

  // Waits up to timeoutMs for the user and returns what was done since the last call, in order:
  // keys pressed and released on the keyboard or the face (a key already down is not pressed
  // again, a held key's repeats are dropped), and the window's closing.
  virtual std::vector<WindowInput> Poll(uint32_t timeoutMs) = 0;

  // Draws the terminal's screen, each pixel as a block of Scale() by Scale() pixels.
  virtual void ShowScreen(const ScreenImage& screen) = 0;
  // Draws the two status lines; a text too long for the line is cut.
  virtual void ShowStatus(const std::string& first, const std::string& second) = 0;
  // Puts what was drawn since the last call on the display.
  virtual void Present() = 0;

  // The screen as the window holds it: one pixel per block. Fails when a block's pixels
  // differ, so the whole scaled screen is compared.
  virtual Result<ScreenImage> ReadScreen() = 0;
  // Saves the whole window as a PNG picture.
  virtual Status SavePng(const std::filesystem::path& file) = 0;

  // Input put into the window's queue as the user makes it (for tests and demonstrations): a
  // host key by SDL key name ("Return", "Tab", "F3"), a mouse button at a window pixel, and the
  // window manager's close.
  virtual Status PushKey(std::string_view keyName, bool down) = 0;
  virtual void PushMouse(int x, int y, bool down) = 0;
  virtual void PushClose() = 0;
};

}  // namespace sim
