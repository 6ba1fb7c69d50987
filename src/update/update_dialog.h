// The part of the main dialog that carries out an update: the decision, the update sequence,
// the resident shell's shutdown and the housekeeping around it. The program's main dialog
// derives from it and shows the screens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"
#include "ui/controls.h"
#include "ui/dialog.h"
#include "update/screen.h"

inline constexpr int kIdcProgress = 1007;
inline constexpr const char* kUserActivityEvent = "PowerManager/ActivityTimer/UserActivity";

class CRunContext;
struct UpdatePartRow;

class CUpdateDialog : public ui::Dialog {
 public:
  // Works on the run's context, which outlives the dialog.
  CUpdateDialog(CRunContext& run, int templateId, int width, int height);

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

 protected:
  CRunContext& m_run;

 private:
  struct Item;
  struct Walk;
  struct UpdatePhaseRow;
  static const UpdatePhaseRow kPhases[];

  // The phases' ways to pick their items from the definition table and to write one.
  bool PickGpsItem(Item& item, Walk& walk);
  bool PickApplicationItem(Item& item, Walk& walk);
  bool PickOSItem(Item& item, Walk& walk);
  bool WriteGpsItem(const Item& item, const std::string& line);
  bool WriteApplicationItem(const Item& item, const std::string& line);
  bool WriteOSItem(const Item& item, const std::string& line);
  // One item of a phase: stops the shell, writes the item and records what that left.
  void UpdateItem(const UpdatePhaseRow& phase, const Item& item, Walk& walk);
};
