#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "update/device.h"
#include "update/update_dialog.h"
#include "utils/utils.h"

void CUpdateDialog::DecideUpdates() {
  CUpdateSettings& settings = *g_pSettings;
  const struct {
    std::string (CDevice::*installed)();
    const SoftwareDefinition* definition;
    int32_t CUpdateSettings::*selected;
    int32_t CUpdateSettings::*offered;
    int32_t CUpdateSettings::*marked;
    const char* logText;
  } parts[] = {
      {&CDevice::GetVersionBoot, settings.FindOSDefinition("BOOT"), &CUpdateSettings::m_bOSSelected,
       &CUpdateSettings::m_bOfferBoot, &CUpdateSettings::m_bUpdateBoot,
       "CheckVersions: Boot Loader [Cur=%s] [New=%s] - "},
      {&CDevice::GetVersionKernel, settings.FindOSDefinition("KRNL"),
       &CUpdateSettings::m_bOSSelected, &CUpdateSettings::m_bOfferKernel,
       &CUpdateSettings::m_bUpdateKernel, "CheckVersions: Kernel [Cur=%s] [New=%s] - "},
      {&CDevice::GetVersionApps, settings.FindApplicationDefinition(),
       &CUpdateSettings::m_bAppSelected, &CUpdateSettings::m_bOfferApp,
       &CUpdateSettings::m_bUpdateApp, "CheckVersions: Application [Cur=%s] [New=%s] - "},
      {&CDevice::GetVersionGPS, settings.FindGPSDefinition("FIRMWARE"),
       &CUpdateSettings::m_bGPSSelected, &CUpdateSettings::m_bOfferGPS,
       &CUpdateSettings::m_bUpdateGPS, "CheckVersions: GPS [Cur=%s] [New=%s] - "},
  };
  for (const auto& part : parts) {
    settings.*part.marked = 0;
    settings.*part.offered = 0;
    const std::string installed = (g_Device.*part.installed)();
    if (settings.*part.selected != 0 && part.definition != nullptr) {
      settings.*part.offered = 1;
      if (CUtils::IsVersionNewer(installed, part.definition->version)) settings.*part.marked = 1;
      LogAt(2, std::string(part.logText) + (settings.*part.marked ? "" : "no ") + "update required",
            installed, part.definition->version);
    }
    // Reading versions can take a while; the terminal must not suspend meanwhile.
    platform::Kern().SetEvent(g_hUserActivity);
  }
}

bool CUpdateDialog::CheckIfSomethingToDo() {
  const struct {
    const char* text;
    int32_t marked;
  } parts[] = {
      {"CheckIfSomethingToDo: Application - update ", g_pSettings->m_bUpdateApp},
      {"CheckIfSomethingToDo: Boot Loader - update ", g_pSettings->m_bUpdateBoot},
      {"CheckIfSomethingToDo: Kernel - update ", g_pSettings->m_bUpdateKernel},
      {"CheckIfSomethingToDo: GPS - update ", g_pSettings->m_bUpdateGPS},
  };
  bool any = false;
  for (const auto& part : parts) {
    LogAt(2, "%s%sselected", part.text, part.marked ? "" : "not ");
    any = any || part.marked != 0;
  }
  return any;
}
