#include "ui/dialog.h"

#include <algorithm>
#include <utility>

#include "ui/message_queue.h"

namespace ui {

Dialog::Dialog(int templateId, std::string caption, int width, int height, bool centred)
    : m_templateId(templateId),
      m_caption(std::move(caption)),
      m_width(width),
      m_height(height),
      m_centred(centred) {}

Dialog::~Dialog() {
  if (m_shown) PopShownDialog(this);
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

}  // namespace ui
