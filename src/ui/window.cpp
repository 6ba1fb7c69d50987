#include "ui/window.h"

#include <set>

#include "ui/dialog.h"

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

Control::Control(Dialog& parent, int id, platform::ControlKind kind, int x, int y, int width,
                 int height, bool visible)
    : m_parent(parent) {
  m_state.id = id;
  m_state.kind = kind;
  m_state.x = x;
  m_state.y = y;
  m_state.width = width;
  m_state.height = height;
  m_state.visible = visible;
  m_parent.AddControl(this);
}

Control::~Control() { m_parent.RemoveControl(this); }

void Control::ShowWindow(bool visible) {
  if (m_state.visible == visible) return;
  m_state.visible = visible;
  Changed();
}

void Control::InvalidateRect(bool /*erase*/) { Changed(); }

void Control::Changed() { m_parent.ControlChanged(); }

}  // namespace ui
