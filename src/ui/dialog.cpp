#include "ui/dialog.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "ui/message_queue.h"

namespace ui {

namespace {

// The dialogs shown, bottom first, and the screen they last made.
struct ShownDialogs {
  std::vector<Dialog*> shown;
  std::optional<platform::ScreenFrame> lastFrame;
};

ShownDialogs& Shown() {
  static ShownDialogs state;
  return state;
}

}  // namespace

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

Dialog::Dialog(int templateId, std::string caption, int width, int height, bool centred)
    : m_templateId(templateId),
      m_caption(std::move(caption)),
      m_width(width),
      m_height(height),
      m_centred(centred) {}

Dialog::~Dialog() {
  if (m_shown) {
    PopShownDialog(this);
  } else {
    KillTimersOf(this);
  }
}

int Dialog::DoModal() {
  m_ended = false;
  m_result = 0;
  if (!OnInitDialog()) {
    // A dialog that refuses to start still ends cleanly.
  }
  if (!m_ended) {
    m_shown = true;
    PushShownDialog(this);
    while (!m_ended) {
      Message message;
      GetMessage(&message);
      if (message.target == nullptr) message.target = ActiveDialog();
      if (message.target == nullptr || !Window::IsAlive(message.target)) continue;
      // Pre-translation belongs to the dialog that the message is for (or that holds it).
      Dialog* owner = dynamic_cast<Dialog*>(message.target);
      if (owner == nullptr) owner = this;
      if (!owner->PreTranslateMessage(message)) DispatchMessage(message);
    }
    m_shown = false;
    PopShownDialog(this);
  }
  return m_result;
}

void Dialog::EndDialog(int result) {
  m_result = result;
  m_ended = true;
}

bool Dialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

bool Dialog::PreTranslateMessage(const Message& /*message*/) { return false; }
void Dialog::OnOK() { EndDialog(kIdOk); }
void Dialog::OnCancel() { EndDialog(kIdCancel); }
void Dialog::OnTimer(uint32_t /*timerId*/) {}
void Dialog::DoDataExchange(bool /*save*/) {}

bool Dialog::UpdateData(bool save) {
  DoDataExchange(save);
  return true;
}

uint32_t Dialog::SetTimer(uint32_t timerId, uint32_t elapseMs) {
  return ui::SetTimer(this, timerId, elapseMs);
}

bool Dialog::KillTimer(uint32_t timerId) { return ui::KillTimer(this, timerId); }

void Dialog::SetIcon(int iconId, bool big) { (big ? m_bigIcon : m_smallIcon) = iconId; }

intptr_t Dialog::OnMessage(const Message& message) {
  if (message.message == kWmTimer) {
    OnTimer(static_cast<uint32_t>(message.wParam));
    return 0;
  }
  return Window::OnMessage(message);
}

platform::DialogState Dialog::Describe() const {
  platform::DialogState state;
  state.templateId = m_templateId;
  state.caption = m_caption;
  state.width = m_width;
  state.height = m_height;
  state.centred = m_centred;
  for (const Control* control : m_controls) state.controls.push_back(control->State());
  return state;
}

void Dialog::AddControl(Control* control) { m_controls.push_back(control); }

void Dialog::RemoveControl(Control* control) {
  m_controls.erase(std::remove(m_controls.begin(), m_controls.end(), control), m_controls.end());
}

void Dialog::ControlChanged() {
  if (m_shown) RefreshScreen();
}

intptr_t DispatchMessage(const Message& message) {
  Window* target = message.target != nullptr ? message.target : ActiveDialog();
  if (target == nullptr || !Window::IsAlive(target)) return 0;
  return target->OnMessage(message);
}

void PumpWaitingMessages() {
  Message message;
  while (PeekMessage(&message)) DispatchMessage(message);
}

Dialog* ActiveDialog() {
  auto& shown = Shown().shown;
  return shown.empty() ? nullptr : shown.back();
}

void PushShownDialog(Dialog* dialog) {
  Shown().shown.push_back(dialog);
  RefreshScreen();
}

void PopShownDialog(Dialog* dialog) {
  auto& state = Shown();
  state.shown.erase(std::remove(state.shown.begin(), state.shown.end(), dialog), state.shown.end());
  KillTimersOf(dialog);
  RefreshScreen();
  if (state.shown.empty()) {
    DropWaitingMessages();
    state.lastFrame.reset();
  }
}

void RefreshScreen() {
  auto& state = Shown();
  platform::ScreenFrame frame;
  for (const Dialog* dialog : state.shown) frame.dialogs.push_back(dialog->Describe());
  if (state.lastFrame && *state.lastFrame == frame) return;
  state.lastFrame = frame;
  platform::Ui().Present(frame);
}

}  // namespace ui
