// The version dialog: installed and offered versions side by side; TAB with F1 to F4 changes
// which offered parts are marked for update.
#pragma once

#include "ui/dialog.h"

class CVersionDlg : public ui::Dialog {
 public:
  CVersionDlg();

 protected:
  bool PreTranslateMessage(const ui::Message& message) override;
};
