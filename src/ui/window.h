// Windows of the dialog framework: what messages are dispatched to (dialogs and their controls).
#pragma once

#include <cstdint>

#include "ui/message.h"

namespace ui {

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

}  // namespace ui
