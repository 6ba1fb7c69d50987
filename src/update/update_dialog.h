// The part of the main dialog that carries out an update: the decision, the update sequence,
// the resident shell's shutdown and the housekeeping around it. The program's main dialog
// derives from it and shows the screens.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/types.h"
#include "ui/controls.h"
#include "ui/dialog.h"

// Screen numbers; the main dialog has the picture of each.
enum Screen : int {
  kScreenLoading = 1,
  kScreenInvalidPackage = 2,
  kScreenWelcome = 3,
  kScreenNoCharger = 4,
  kScreenNothingToUpdate = 5,
  kScreenUpdatingOS = 6,
  kScreenUpdatingApplication = 7,
  kScreenSuccess = 8,
  kScreenFailed = 9,
  kScreenUpdatingGPS = 10,
  kScreenRestartRequired = 11,
};

inline constexpr int kIdcProgress = 1007;
inline constexpr const char* kUserActivityEvent = "PowerManager/ActivityTimer/UserActivity";

// The user-activity event, created by the main dialog when it starts and signalled while the
// run reads versions, so that the terminal does not suspend.
extern platform::Handle g_hUserActivity;

class CUpdateDialog : public ui::Dialog {
 public:
  CUpdateDialog(int templateId, int width, int height);

  // Shows a screen and records its number; the main dialog draws it.
  virtual void SetScreen(int screen) = 0;

  // The update sequence; ends on the completed, failed or restart-required screen.
  void ControlVostrel();
  // Runs every line of the command script; false when a line failed or was aborted.
  bool ProcessAppScript();
  // Decides, part by part, what the package offers and what must be updated.
  void DecideUpdates();
  // True when any part is marked for update.
  bool CheckIfSomethingToDo();

  // Stops the rerunner and the resident shell; true when its files are free.
  bool CheckTavimonShutdown();
  uint32_t GetTavimonProcessID();
  bool RemoveFonts(std::string_view folder, bool recursive);
  bool CheckFilesUnlocked(std::string_view folder, std::string_view pattern, bool recursive);
  bool DeleteMatching(std::string_view folder, std::string_view pattern);
  void CleanUserData();
  void DeleteTempFiles();
  // In desktop mode tells the desktop that the run has ended; then deletes the markers.
  void SendEndOfRun();

  ui::ProgressCtrl m_progress;
  int32_t m_bRebootNeeded = 0;
  int32_t m_bCleanUserData = 0;
};

// Puts the module's process-wide state back to its value at program start.
void ResetUpdateState();
