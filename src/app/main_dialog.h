// The main dialog: owns the whole run. A one-shot timer validates the package and decides what
// to update; from then on every step is started by a key release.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"
#include "ui/controls.h"
#include "ui/dialog.h"
#include "update/update_dialog.h"

inline constexpr int kMainDialogTemplate = 102;
inline constexpr int kIdcPicture = 1001;
inline constexpr int kIdcErrorLine = 1008;
inline constexpr int kIconMain = 128;
inline constexpr uint32_t kCheckVersionsTimer = 1;

inline constexpr const char* kRerunnerPath = "\\Flash Disk2\\rerunner.exe";

class CVostrelHHTDlg : public CUpdateDialog {
 public:
  explicit CVostrelHHTDlg(CRunContext& run);

  // Shows a screen and records its number as the run's screen.
  void SetScreen(int screen) override;
  // Something to do and a charger connected; otherwise shows screen 5 or 4.
  bool IsReadyToUpdate();
  // The first timer tick: validation, installed versions and the decision.
  void CheckVersions(uint32_t timerId);

  ui::StaticText m_errorLine;
  ui::PictureCtrl m_picture;
  std::string m_strError;
  int m_hIcon = 0;

 protected:
  bool OnInitDialog() override;
  bool PreTranslateMessage(const ui::Message& message) override;
  // PLAY and STOP arrive as the keys that would end a dialog; they must not.
  void OnOK() override {}
  void OnCancel() override {}
  void DoDataExchange(bool save) override;
  void OnTimer(uint32_t timerId) override;

 private:
  using Handler = void (CVostrelHHTDlg::*)();
  // What PLAY and STOP do on a screen; null does nothing.
  struct KeyRow {
    int screen;
    Handler play;
    Handler stop;
  };
  static const KeyRow kKeyTable[];

  void OnKeyPlay();
  void OnKeyStop();
  void OnKeyVersion();
  void StartUpdate();
  void EndOfRunAndRestart();
  void PlainLeave();
  void RestartLeave();
  void RebootStep();
};

// Signals the user activity event every 2 seconds while the run is busy.
uint32_t KeepAliveThread(const std::atomic<int>& busy);
