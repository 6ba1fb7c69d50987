// Dialogs: a modal loop with message pre-translation, timers and data exchange; their controls;
// the dialogs shown, which receive the messages, and the screen they make.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/gui.h"
#include "ui/window.h"

namespace ui {

class Dialog;

// A control inside a dialog, placed in dialog units.
class Control : public Window {
 public:
  Control(Dialog& parent, int id, platform::ControlKind kind, int x, int y, int width, int height,
          bool visible);
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

// Hands a message to its window, or to the active dialog when it names none.
intptr_t DispatchMessage(const Message& message);
// Removes every waiting message and dispatches it, without pre-translation.
void PumpWaitingMessages();

// The dialog on top, which receives the keys; null when none is shown.
Dialog* ActiveDialog();
// The dialogs shown, bottom first. A dialog that goes takes its timers with it; once the last
// one has gone, so have the messages that waited for it, and the next dialog presents its first
// screen whatever the last one showed: a run leaves nothing behind for the next.
void PushShownDialog(Dialog* dialog);
void PopShownDialog(Dialog* dialog);
// Presents the screen to the platform when what it shows has changed.
void RefreshScreen();

}  // namespace ui
