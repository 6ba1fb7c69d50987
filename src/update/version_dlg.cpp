#include "update/version_dlg.h"

#include "ui/message.h"

// PLACEHOLDER: the version dialog is not built yet. It opens empty and any key release
// closes it.
CVersionDlg::CVersionDlg() : ui::Dialog(132, "Version Information", 173, 75, true) {}

bool CVersionDlg::PreTranslateMessage(const ui::Message& message) {
  if (message.message != ui::kWmKeyUp) return ui::Dialog::PreTranslateMessage(message);
  EndDialog(ui::kIdOk);
  return true;
}
