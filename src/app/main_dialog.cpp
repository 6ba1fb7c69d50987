#include "app/main_dialog.h"

#include <iterator>

#include "log/log.h"
#include "package/file_semaphore.h"
#include "platform/platform.h"
#include "update/run_context.h"
#include "update/update_parts.h"
#include "update/validate_package.h"
#include "update/version_dlg.h"
#include "utils/utils.h"

namespace {

// Dialog template 102: no caption, 183 by 120 dialog units, the whole screen.
constexpr int kDialogWidth = 183;
constexpr int kDialogHeight = 120;
constexpr int kInitialBitmap = 129;

}  // namespace

CVostrelHHTDlg::CVostrelHHTDlg(CRunContext& run)
    : CUpdateDialog(run, kMainDialogTemplate, kDialogWidth, kDialogHeight),
      m_errorLine(*this, kIdcErrorLine, 1, 109, 180, 10, "ERROR DESCRIPTION", false),
      m_picture(*this, kIdcPicture, 0, 0, kDialogWidth, kDialogHeight, kInitialBitmap) {}

bool CVostrelHHTDlg::OnInitDialog() {
  ui::Dialog::OnInitDialog();
  m_hIcon = kIconMain;
  SetIcon(m_hIcon, true);
  SetIcon(m_hIcon, false);
  SetScreen(kScreenLoading);
  m_run.m_utils.SetProgressCtrl(&m_progress);

  auto& kernel = platform::Kern();
  m_run.m_hUserActivity = kernel.CreateEvent(kUserActivityEvent, false, false);
  kernel.SetEvent(m_run.m_hUserActivity);

  for (const UpdatePartRow& part : kUpdateParts) {
    m_run.m_state.*part.marked = 0;
    m_run.m_state.*part.offered = 0;
  }

  CFileSemaphore().DeleteAbortFiles();

  SetTimer(kCheckVersionsTimer, 250);
  return true;
}

void CVostrelHHTDlg::DoDataExchange(bool save) {
  if (save) {
    m_strError = m_errorLine.GetWindowText();
  } else {
    m_errorLine.SetWindowText(m_strError);
  }
}

void CVostrelHHTDlg::OnTimer(uint32_t timerId) { CheckVersions(timerId); }

void CVostrelHHTDlg::CheckVersions(uint32_t timerId) {
  if (timerId == kCheckVersionsTimer) {
    KillTimer(kCheckVersionsTimer);
    // A second timer message may already be queued; the busy flag keeps the body to one run.
    if (!m_run.m_bBusy) {
      auto& kernel = platform::Kern();
      kernel.SetEvent(m_run.m_hUserActivity);
      m_run.m_bBusy = 1;
      const std::atomic<int>& busy = m_run.m_bBusy;
      m_run.m_hKeepAliveThread = kernel.CreateThread([&busy] { return KeepAliveThread(busy); });
      kernel.SetThreadPriority(m_run.m_hKeepAliveThread, platform::kThreadPriorityAboveNormal);

      int screen = kScreenInvalidPackage;
      {
        CValidatePackage validate(m_run.m_settings, m_run.m_state, &m_run.m_files);
        if (validate.IsValidBinFile("install.bin")) {
          screen = kScreenWelcome;
          DecideUpdates();
        }
      }
      kernel.SetEvent(m_run.m_hUserActivity);
      SetScreen(screen);
    }
  }
  ui::Dialog::OnTimer(timerId);
}

bool CVostrelHHTDlg::PreTranslateMessage(const ui::Message& message) {
  if (message.message != ui::kWmKeyUp) return ui::Dialog::PreTranslateMessage(message);
  // The update runs inside a key handler and pumps messages; keys meanwhile are swallowed.
  if (m_run.m_bInKeyHandler) return true;

  static constexpr struct {
    uint32_t key;
    void (CVostrelHHTDlg::*handler)();
  } kKeys[] = {
      {ui::kVkReturn, &CVostrelHHTDlg::OnKeyPlay},
      {ui::kVkShift, &CVostrelHHTDlg::OnKeyVersion},
      {ui::kVkControl, &CVostrelHHTDlg::OnKeyStop},
  };
  for (const auto& entry : kKeys) {
    if (entry.key != message.wParam) continue;
    m_run.m_bInKeyHandler = 1;
    (this->*entry.handler)();
    m_run.m_bInKeyHandler = 0;
    return true;
  }
  return ui::Dialog::PreTranslateMessage(message);
}

const CVostrelHHTDlg::KeyRow CVostrelHHTDlg::kKeyTable[] = {
    {kScreenLoading, nullptr, nullptr},
    {kScreenInvalidPackage, &CVostrelHHTDlg::PlainLeave, &CVostrelHHTDlg::PlainLeave},
    {kScreenWelcome, &CVostrelHHTDlg::StartUpdate, &CVostrelHHTDlg::PlainLeave},
    {kScreenNoCharger, &CVostrelHHTDlg::StartUpdate, &CVostrelHHTDlg::PlainLeave},
    {kScreenNothingToUpdate, &CVostrelHHTDlg::PlainLeave, &CVostrelHHTDlg::PlainLeave},
    {kScreenUpdatingOS, nullptr, nullptr},
    {kScreenUpdatingApplication, nullptr, nullptr},
    {kScreenSuccess, &CVostrelHHTDlg::RestartLeave, &CVostrelHHTDlg::RestartLeave},
    {kScreenFailed, &CVostrelHHTDlg::EndOfRunAndRestart, &CVostrelHHTDlg::StartUpdate},
    {kScreenUpdatingGPS, nullptr, nullptr},
    {kScreenRestartRequired, &CVostrelHHTDlg::RestartLeave, &CVostrelHHTDlg::RestartLeave},
};

namespace {

template <typename Row>
const Row* FindRow(const Row* begin, const Row* end, int screen) {
  for (const Row* row = begin; row != end; ++row) {
    if (row->screen == screen) return row;
  }
  return nullptr;
}

}  // namespace

void CVostrelHHTDlg::OnKeyPlay() {
  const KeyRow* row = FindRow(std::begin(kKeyTable), std::end(kKeyTable), m_run.m_nScreen);
  if (row != nullptr && row->play != nullptr) (this->*row->play)();
}

void CVostrelHHTDlg::OnKeyStop() {
  const KeyRow* row = FindRow(std::begin(kKeyTable), std::end(kKeyTable), m_run.m_nScreen);
  if (row != nullptr && row->stop != nullptr) (this->*row->stop)();
}

void CVostrelHHTDlg::OnKeyVersion() {
  CVersionDlg dialog(m_run);
  dialog.DoModal();
}

void CVostrelHHTDlg::StartUpdate() {
  if (IsReadyToUpdate()) ControlVostrel();
}

void CVostrelHHTDlg::EndOfRunAndRestart() {
  SendEndOfRun();
  RestartLeave();
}

bool CVostrelHHTDlg::IsReadyToUpdate() {
  if (!CheckIfSomethingToDo()) {
    SetScreen(kScreenNothingToUpdate);
    return false;
  }
  if (m_run.m_device.GetPowerState() != 0) return true;
  SetScreen(kScreenNoCharger);
  return false;
}

void CVostrelHHTDlg::PlainLeave() {
  DeleteTempFiles();
  SendEndOfRun();
  m_run.m_bBusy = 0;
  m_run.m_utils.Wait(500);
  ui::Dialog::OnCancel();
}

void CVostrelHHTDlg::RestartLeave() {
  DeleteTempFiles();
  if (m_bRebootNeeded) RebootStep();
  m_run.m_bBusy = 0;
  m_run.m_utils.Wait(500);
  if (!platform::Kern().CreateProcess(kRerunnerPath, "")) RebootStep();
  ui::Dialog::OnCancel();
}

void CVostrelHHTDlg::RebootStep() {
  if (m_bCleanUserData) CleanUserData();
  m_run.m_bBusy = 0;
  m_run.m_utils.Wait(500);
  m_run.m_device.Reboot();
}

uint32_t KeepAliveThread(const std::atomic<int>& busy) {
  auto& kernel = platform::Kern();
  const platform::Handle event = kernel.CreateEvent(kUserActivityEvent, false, false);
  if (event == platform::kNullHandle) return 1;
  uint32_t result = 0;
  while (busy) {
    kernel.SetEvent(event);
    bool cleared = false;
    for (int i = 0; i < 20 && !cleared; ++i) {
      kernel.Sleep(100);
      cleared = !busy;
    }
    if (cleared) break;
  }
  kernel.CloseHandle(event);
  return result;
}
