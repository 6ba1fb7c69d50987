#include "app/screens.h"

#include <iterator>

#include "app/main_dialog.h"
#include "text/text.h"
#include "update/run_context.h"

namespace {

constexpr ScreenInfo kScreens[] = {
    {kScreenLoading, "ScreenLoading", 144},
    {kScreenInvalidPackage, "ScreenInvalidPackage", 134},
    {kScreenWelcome, "ScreenWelcome", 129},
    {kScreenNoCharger, "ScreenNoCharger", 130},
    {kScreenNothingToUpdate, "ScreenNothingToUpdate", 143},
    {kScreenUpdatingOS, "ScreenUpdatingOS", 135},
    {kScreenUpdatingApplication, "ScreenUpdatingApplication", 136},
    {kScreenSuccess, "ScreenSuccess", 132},
    {kScreenFailed, "ScreenFailed", 133},
    {kScreenUpdatingGPS, "ScreenUpdatingGPS", 141},
    {kScreenRestartRequired, "ScreenRestartRequired", 142},
};

}  // namespace

const ScreenInfo* FindScreen(int screen) {
  for (const ScreenInfo& info : kScreens) {
    if (info.screen == screen) return &info;
  }
  return nullptr;
}

const ScreenInfo* ScreensBegin() { return std::begin(kScreens); }
const ScreenInfo* ScreensEnd() { return std::end(kScreens); }

void CVostrelHHTDlg::SetScreen(int screen) {
  m_run.m_nScreen = screen;
  m_errorLine.ShowWindow(false);
  m_progress.ShowWindow(false);
  const ScreenInfo* info = FindScreen(screen);
  if (screen == kScreenFailed) {
    const AppError& error = m_run.m_utils.LastError();
    m_strError = text::Sprintf("(%ld)%s (%s)", error.m_nLastError, error.m_strLastError,
                               error.m_strLastErrorFunction);
    m_errorLine.ShowWindow(true);
    UpdateData(false);
  }
  if (info == nullptr) return;
  // The control hands back the bitmap it showed before; releasing it keeps one alive at most.
  delete m_picture.SetBitmap(new ui::Bitmap(info->bitmap));
  m_progress.InvalidateRect(true);
}
