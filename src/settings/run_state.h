// What a run finds and decides beside the settings it loads: the run mode, where the package
// and its settings file are, and which parts of the terminal's software the package offers and
// which are marked for update. The run's context owns it; the decision sets the marks, the
// version dialog flips them and the update sequence reads them.
#pragma once

#include <cstdint>
#include <string>

struct CRunState {
  // 1 in desktop mode: the package stays on the desktop and is read through the channel.
  int32_t m_bActiveSync = 0;
  std::string m_strPackageFolder;
  std::string m_strPackagePath;
  std::string m_strSettingsPath;
  int32_t m_bUpdateBoot = 0;
  int32_t m_bUpdateKernel = 0;
  int32_t m_bUpdateApp = 0;
  int32_t m_bUpdateGPS = 0;
  int32_t m_bOfferBoot = 0;
  int32_t m_bOfferKernel = 0;
  int32_t m_bOfferApp = 0;
  int32_t m_bOfferGPS = 0;
};
