// The terminal's window system as the updater meets it: the keys, other programs' windows,
// font resources, and the display on which the updater's dialogs are shown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace platform {

// A key event of the terminal's keyboard.
struct KeyEvent {
  enum class Kind { kDown, kUp };
  Kind kind = Kind::kUp;
  uint32_t virtualKey = 0;
};

// What a control of the updater's dialogs shows, as the display needs it.
enum class ControlKind { kPicture, kProgressBar, kStaticText, kListView, kButton };

struct ControlState {
  int id = 0;
  ControlKind kind = ControlKind::kStaticText;
  bool visible = true;
  int x = 0, y = 0, width = 0, height = 0;  // dialog units
  std::string text;
  int bitmap = 0;                                  // picture: the bitmap resource shown, 0 for none
  int rangeMin = 0, rangeMax = 100, position = 0;  // progress bar
  uint32_t textColour = 0, backColour = 0xFFFFFF;  // list view
  std::vector<std::string> columns;                // list view headings
  std::vector<int> columnWidths;                   // pixels
  std::vector<std::vector<std::string>> rows;      // list view cells
  bool operator==(const ControlState&) const = default;
};

struct DialogState {
  int templateId = 0;
  std::string caption;
  int width = 0, height = 0;  // dialog units
  bool centred = false;
  std::vector<ControlState> controls;
  bool operator==(const DialogState&) const = default;
};

// The whole screen: the updater's open dialogs, bottom first.
struct ScreenFrame {
  std::vector<DialogState> dialogs;
  bool operator==(const ScreenFrame&) const = default;
};

class Gui {
 public:
  virtual ~Gui() = default;

  // Waits until the user presses or releases a key, or until timeoutMs passes (kInfinite:
  // no limit). True with the event, false on time-out.
  virtual bool WaitKey(uint32_t timeoutMs, KeyEvent* event) = 0;
  // A key event that is already due, without waiting.
  virtual bool PollKey(KeyEvent* event) = 0;
  // The asynchronous key state: bit 0 set when the key was pressed since the previous query,
  // bit 15 while it is down.
  virtual uint16_t GetAsyncKeyState(uint32_t virtualKey) = 0;

  // Another program's top-level window by class (and title, when not empty); kNullHandle
  // when there is none.
  virtual Handle FindWindow(std::string_view className, std::string_view title) = 0;
  virtual intptr_t SendMessage(Handle window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) = 0;

  // Unloads a font resource that a program loaded from the file.
  virtual bool RemoveFontResource(std::string_view path) = 0;

  // Shows the updater's dialogs as they are now.
  virtual void Present(const ScreenFrame& frame) = 0;
};

}  // namespace platform
