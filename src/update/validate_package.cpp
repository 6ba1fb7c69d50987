#include "update/validate_package.h"

#include <string>

#include "log/log.h"
#include "settings/settings.h"
#include "text/text.h"
#include "utils/utils.h"

namespace {

constexpr const char* kSettingsName = "Vostrel.ini";
constexpr const char* kChecksumBypass = "nochecksum.chk";
constexpr const char* kValidateOperation = "CValidatePackage::IsValidBinFile";
constexpr const char* kLoadOperation = "CValidatePackage::LoadAppSettings";

void Report(int32_t number, const std::string& message, const char* operation) {
  LogAppError(number, FormatErrorText(message), operation);
}

void LoadSettings(const std::string& settingsPath) {
  g_pSettings->Load(ResolveFilePath(settingsPath));
  g_pSettings->LogSettings();
}

// The last step of both modes: the settings file must be where the settings say.
bool FoundSettings() {
  const std::string& path = g_pSettings->m_strSettingsPath;
  if (!CUtils::FileExists(path)) {
    Report(1018, text::Sprintf("Cannot find INI [%s]", path), kValidateOperation);
    return false;
  }
  LogAt(2, "CValidatePackage::IsValidBinFile: Found INI @ [%s]", path);
  return true;
}

}  // namespace

bool CValidatePackage::IsValidBinFile(std::string_view packageName) {
  CUpdateSettings& settings = *g_pSettings;
  if (settings.m_bActiveSync) {
    settings.m_strPackageFolder = "\\";
    settings.m_strPackagePath = CUtils::PathJoin("\\", packageName);
    if (!CUtils::FileExists(settings.m_strPackagePath)) {
      Report(1018, text::Sprintf("Cannot find BIN %s", settings.m_strPackagePath),
             kValidateOperation);
      return false;
    }
    settings.m_strSettingsPath = CUtils::PathJoin("\\", kSettingsName);
    if (!CUtils::FileExists(settings.m_strSettingsPath)) {
      Report(1018, text::Sprintf("Cannot find INI %s", settings.m_strSettingsPath),
             kValidateOperation);
      return false;
    }
    LogAt(2, "CValidatePackage::IsValidBinFile: Found INI file @ %s", settings.m_strSettingsPath);
    LoadSettings(settings.m_strSettingsPath);
    return FoundSettings();
  }

  settings.m_strPackageFolder = CUtils::GetAppDirectory();
  // The update rewrites the terminal's flash volumes, the package's own folder among them; a
  // package there could be destroyed while it is read, so the updater refuses to run from one.
  if (settings.m_strPackageFolder.find("\\Flash Disk") != std::string::npos) {
    Report(1026, "Cannot run from Flash Disk", kValidateOperation);
    return false;
  }
  settings.m_strPackagePath = CUtils::PathJoin(settings.m_strPackageFolder, packageName);
  SetContainerPath(settings.m_strPackagePath);

  const std::string bypass = CUtils::PathJoin(settings.m_strPackageFolder, kChecksumBypass);
  if (CUtils::FileExists(bypass)) {
    LogAt(2, "CValidatePackage::IsValidBinFile: Bypassing checksum, found [%s]", bypass);
  } else if (!IsCheckSumValid()) {
    return false;
  }
  if (!LoadAppSettings(kSettingsName)) return false;
  return FoundSettings();
}

bool CValidatePackage::LoadAppSettings(std::string_view settingsName) {
  CUpdateSettings& settings = *g_pSettings;
  SetContainerPath(settings.m_strPackagePath);
  if (!LoadFileHeaders()) {
    Report(1027, text::Sprintf("Cannot load headers [%s]", settings.m_strPackagePath),
           kLoadOperation);
    return false;
  }
  if (!ExtractFile(settingsName, "\\", &settings.m_strSettingsPath)) {
    Report(1017,
           text::Sprintf("Cannot extract [%s to %s]", settingsName, settings.m_strPackageFolder),
           kLoadOperation);
    return false;
  }
  LogAt(2, "CValidatePackage::LoadAppSettings: Extracted [%s to %s][%s]", settingsName,
        settings.m_strPackageFolder, settings.m_strSettingsPath);
  LoadSettings(settings.m_strSettingsPath);
  return true;
}
