// The version dialog: installed and offered versions side by side. TAB held with F1 to F4 flips
// whether the boot loader, kernel, application or GPS firmware is marked for update, for parts
// that the package offers; any other key closes it.
#pragma once

#include <cstdint>
#include <string>

#include "ui/controls.h"
#include "ui/dialog.h"

inline constexpr int kVersionDialogTemplate = 132;
inline constexpr int kIdcVersionList = 1002;
inline constexpr int kIdcVersionText = 1009;

class CRunContext;

class CVersionDlg : public ui::Dialog {
 public:
  // Shows the run's versions and flips its marks.
  explicit CVersionDlg(CRunContext& run);

  ui::ListView m_list;
  std::string m_strVersion;
  uint8_t m_toggled = 0;

 protected:
  bool OnInitDialog() override;
  bool PreTranslateMessage(const ui::Message& message) override;
  void DoDataExchange(bool save) override;

 private:
  // Writes "Yes" or "No" into the fourth column of every row from the marks.
  void FillUpdateColumn();

  CRunContext& m_run;
  ui::StaticText m_versionText;
  ui::Button m_ok;
};
