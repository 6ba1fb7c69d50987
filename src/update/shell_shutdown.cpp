#include "app/main_dialog.h"

// PLACEHOLDER: shell shutdown and housekeeping are not built yet. The shell never counts as
// stopped; nothing is deleted or set aside.
bool CVostrelHHTDlg::CheckTavimonShutdown() { return false; }
uint32_t CVostrelHHTDlg::GetTavimonProcessID() { return 0; }
bool CVostrelHHTDlg::RemoveFonts(std::string_view /*folder*/, bool /*recursive*/) { return true; }
bool CVostrelHHTDlg::CheckFilesUnlocked(std::string_view /*folder*/, std::string_view /*pattern*/,
                                        bool /*recursive*/) {
  return true;
}
bool CVostrelHHTDlg::DeleteMatching(std::string_view /*folder*/, std::string_view /*pattern*/) {
  return true;
}
void CVostrelHHTDlg::CleanUserData() {}
void CVostrelHHTDlg::DeleteTempFiles() {}
