#include "ui/window.h"

#include <set>

namespace ui {

namespace {
std::set<const Window*>& LiveWindows() {
  static std::set<const Window*> windows;
  return windows;
}
}  // namespace

Window::Window() { LiveWindows().insert(this); }
Window::~Window() { LiveWindows().erase(this); }

intptr_t Window::OnMessage(const Message& /*message*/) { return 0; }

bool Window::IsAlive(const Window* window) { return LiveWindows().contains(window); }

}  // namespace ui
