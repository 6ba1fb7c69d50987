#include "update/decision.h"

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "update/device.h"
#include "update/update_dialog.h"
#include "utils/utils.h"

const SoftwareDefinition* OfferedDefinition(const CUpdateSettings& settings, UpdatePart part) {
  switch (part) {
    case UpdatePart::kBoot:
      return settings.m_bOSSelected != 0 ? settings.FindOSDefinition("BOOT") : nullptr;
    case UpdatePart::kKernel:
      return settings.m_bOSSelected != 0 ? settings.FindOSDefinition("KRNL") : nullptr;
    case UpdatePart::kApplication:
      return settings.m_bAppSelected != 0 ? settings.FindApplicationDefinition() : nullptr;
    case UpdatePart::kGPS:
      return settings.m_bGPSSelected != 0 ? settings.FindGPSDefinition("FIRMWARE") : nullptr;
  }
  return nullptr;
}

void CUpdateDialog::DecideUpdates() {
  CUpdateSettings& settings = *g_pSettings;
  const struct {
    UpdatePart part;
    std::string (CDevice::*installed)();
    int32_t CUpdateSettings::*offered;
    int32_t CUpdateSettings::*marked;
    const char* logText;
  } parts[] = {
      {UpdatePart::kBoot, &CDevice::GetVersionBoot, &CUpdateSettings::m_bOfferBoot,
       &CUpdateSettings::m_bUpdateBoot, "CheckVersions: Boot Loader [Cur=%s] [New=%s] - "},
      {UpdatePart::kKernel, &CDevice::GetVersionKernel, &CUpdateSettings::m_bOfferKernel,
       &CUpdateSettings::m_bUpdateKernel, "CheckVersions: Kernel [Cur=%s] [New=%s] - "},
      {UpdatePart::kApplication, &CDevice::GetVersionApps, &CUpdateSettings::m_bOfferApp,
       &CUpdateSettings::m_bUpdateApp, "CheckVersions: Application [Cur=%s] [New=%s] - "},
      {UpdatePart::kGPS, &CDevice::GetVersionGPS, &CUpdateSettings::m_bOfferGPS,
       &CUpdateSettings::m_bUpdateGPS, "CheckVersions: GPS [Cur=%s] [New=%s] - "},
  };
  for (const auto& part : parts) {
    settings.*part.marked = 0;
    settings.*part.offered = 0;
    const std::string installed = (g_Device.*part.installed)();
    if (const SoftwareDefinition* definition = OfferedDefinition(settings, part.part)) {
      settings.*part.offered = 1;
      if (CUtils::IsVersionNewer(installed, definition->version)) settings.*part.marked = 1;
      LogAt(2, std::string(part.logText) + (settings.*part.marked ? "" : "no ") + "update required",
            installed, definition->version);
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
