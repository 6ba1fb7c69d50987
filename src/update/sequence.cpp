#include "app/main_dialog.h"

// PLACEHOLDER: the update sequence is not built yet; an update ends on the failed screen.
void CVostrelHHTDlg::ControlVostrel() { SetScreen(kScreenFailed); }

// PLACEHOLDER: the script runner is not built yet.
bool CVostrelHHTDlg::ProcessAppScript() { return false; }
