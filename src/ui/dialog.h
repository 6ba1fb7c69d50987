// Dialogs: a modal loop with message pre-translation, timers and data exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/gui.h"
#include "ui/window.h"

namespace ui {

class Control;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

class Dialog : public Window {
 public:
  Dialog(int templateId, std::string caption, int width, int height, bool centred);
  ~Dialog() override;

  // Shows the dialog and runs its modal loop until EndDialog; returns EndDialog's result.
  int DoModal();
  // Ends the modal loop once the current message is handled.
  void EndDialog(int result);

  // Called before the dialog is shown. The framework's version exchanges data into the
  // controls and returns true.
  virtual bool OnInitDialog();
  // Sees every message of the modal loop before it is dispatched; true swallows it.
  virtual bool PreTranslateMessage(const Message& message);
  virtual void OnOK();
  virtual void OnCancel();
  virtual void OnTimer(uint32_t timerId);
  // Moves data between members and controls: save = controls to members.
  virtual void DoDataExchange(bool save);
  bool UpdateData(bool save);

  uint32_t SetTimer(uint32_t timerId, uint32_t elapseMs);
  bool KillTimer(uint32_t timerId);
  void SetIcon(int iconId, bool big);

  intptr_t OnMessage(const Message& message) override;

  int TemplateId() const { return m_templateId; }
  // True once EndDialog was called (the modal loop ends after the current message).
  bool HasEnded() const { return m_ended; }
  bool IsShown() const { return m_shown; }
  // What the dialog shows now.
  platform::DialogState Describe() const;

  // For controls: registration and change notices.
  void AddControl(Control* control);
  void RemoveControl(Control* control);
  void ControlChanged();

 private:
  int m_templateId;
  std::string m_caption;
  int m_width;
  int m_height;
  bool m_centred;
  std::vector<Control*> m_controls;
  bool m_shown = false;
  bool m_ended = false;
  int m_result = 0;
  int m_bigIcon = 0;
  int m_smallIcon = 0;
};

}  // namespace ui
