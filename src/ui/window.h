// Windows of the dialog framework: dialogs and their controls.
#pragma once

#include <cstdint>

#include "platform/gui.h"
#include "ui/message.h"

namespace ui {

class Dialog;

class Window {
 public:
  Window();
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Handles a dispatched message; returns the message's result.
  virtual intptr_t OnMessage(const Message& message);

  // True while the window exists (messages to a destroyed window are dropped).
  static bool IsAlive(const Window* window);
};

// A control inside a dialog, placed in dialog units.
class Control : public Window {
 public:
  Control(Dialog& parent, int id, platform::ControlKind kind, int x, int y, int width,
          int height, bool visible);
  ~Control() override;

  int Id() const { return m_state.id; }
  bool IsVisible() const { return m_state.visible; }
  void ShowWindow(bool visible);
  // Marks the control's area for repainting (erase: paint the background first).
  void InvalidateRect(bool erase);
  const platform::ControlState& State() const { return m_state; }

 protected:
  platform::ControlState& MutableState() { return m_state; }
  // Tells the display that what the control shows has changed.
  void Changed();

 private:
  Dialog& m_parent;
  platform::ControlState m_state;
};

}  // namespace ui
