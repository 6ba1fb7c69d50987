#include "update/validate_package.h"

#include <string>

#include "log/log.h"
#include "package/file_virtual.h"
#include "package/signature.h"
#include "platform/platform.h"
#include "settings/run_state.h"
#include "settings/settings.h"
#include "text/text.h"
#include "utils/utils.h"

namespace {

constexpr const char* kSettingsName = "Vostrel.ini";
constexpr const char* kChecksumBypass = "nochecksum.chk";
constexpr const char* kValidateOperation = "CValidatePackage::IsValidBinFile";
constexpr const char* kLoadOperation = "CValidatePackage::LoadAppSettings";
constexpr const char* kSignatureOperation = "CValidatePackage::CheckSignature";

void Report(int32_t number, const std::string& message, const char* operation) {
  LogAppError(number, FormatErrorText(message), operation);
}

}  // namespace

void CValidatePackage::LoadSettings(const std::string& settingsPath) {
  m_settings.Load(ResolveFilePath(settingsPath));
  m_settings.LogSettings();
}

bool CValidatePackage::FoundSettings() {
  const std::string& path = m_state.m_strSettingsPath;
  if (!CUtils::FileExists(path)) {
    Report(1018, text::Sprintf("Cannot find INI [%s]", path), kValidateOperation);
    return false;
  }
  LogAt(2, "CValidatePackage::IsValidBinFile: Found INI @ [%s]", path);
  return true;
}

bool CValidatePackage::CheckSignature() {
  if (m_files == nullptr) return true;
  CFileVirtual package(m_state.m_bActiveSync, m_state.m_strPackagePath);
  std::shared_ptr<const manifest::Manifest> signedManifest;
  if (CheckPackageSignature(package, kSignatureOperation, &signedManifest) == 0) return false;
  m_files->SetManifest(std::move(signedManifest));
  return true;
}

bool CValidatePackage::CheckSettingsFile(bool extracted) {
  if (m_files == nullptr || m_files->Manifest() == nullptr) return true;
  if (CheckFileAgainstManifest(*m_files->Manifest(), kSettingsName, m_state.m_strSettingsPath,
                               kSignatureOperation) != 0) {
    return true;
  }
  // An extracted settings file that is not the signed one must not outlive the refusal.
  if (extracted) platform::Fs().Delete(m_state.m_strSettingsPath);
  return false;
}

bool CValidatePackage::IsValidBinFile(std::string_view packageName) {
  if (m_state.m_bActiveSync) {
    m_state.m_strPackageFolder = "\\";
    m_state.m_strPackagePath = CUtils::PathJoin("\\", packageName);
    if (!CUtils::FileExists(m_state.m_strPackagePath)) {
      Report(1018, text::Sprintf("Cannot find BIN %s", m_state.m_strPackagePath),
             kValidateOperation);
      return false;
    }
    m_state.m_strSettingsPath = CUtils::PathJoin("\\", kSettingsName);
    if (!CUtils::FileExists(m_state.m_strSettingsPath)) {
      Report(1018, text::Sprintf("Cannot find INI %s", m_state.m_strSettingsPath),
             kValidateOperation);
      return false;
    }
    if (!CheckSignature() || !CheckSettingsFile(false)) return false;
    LogAt(2, "CValidatePackage::IsValidBinFile: Found INI file @ %s", m_state.m_strSettingsPath);
    LoadSettings(m_state.m_strSettingsPath);
    return FoundSettings();
  }

  m_state.m_strPackageFolder = CUtils::GetAppDirectory();
  // The update rewrites the terminal's flash volumes, the package's own folder among them; a
  // package there could be destroyed while it is read, so the updater refuses to run from one.
  if (m_state.m_strPackageFolder.find("\\Flash Disk") != std::string::npos) {
    Report(1026, "Cannot run from Flash Disk", kValidateOperation);
    return false;
  }
  m_state.m_strPackagePath = CUtils::PathJoin(m_state.m_strPackageFolder, packageName);
  SetContainerPath(m_state.m_strPackagePath);

  const std::string bypass = CUtils::PathJoin(m_state.m_strPackageFolder, kChecksumBypass);
  if (CUtils::FileExists(bypass)) {
    LogAt(2, "CValidatePackage::IsValidBinFile: Bypassing checksum, found [%s]", bypass);
  } else if (!IsCheckSumValid()) {
    return false;
  }
  if (!CheckSignature()) return false;
  if (!LoadAppSettings(kSettingsName)) return false;
  return FoundSettings();
}

bool CValidatePackage::LoadAppSettings(std::string_view settingsName) {
  SetContainerPath(m_state.m_strPackagePath);
  if (!LoadFileHeaders()) {
    Report(1027, text::Sprintf("Cannot load headers [%s]", m_state.m_strPackagePath),
           kLoadOperation);
    return false;
  }
  if (!ExtractFile(settingsName, "\\", &m_state.m_strSettingsPath)) {
    Report(1017,
           text::Sprintf("Cannot extract [%s to %s]", settingsName, m_state.m_strPackageFolder),
           kLoadOperation);
    return false;
  }
  if (!CheckSettingsFile(true)) return false;
  LogAt(2, "CValidatePackage::LoadAppSettings: Extracted [%s to %s][%s]", settingsName,
        m_state.m_strPackageFolder, m_state.m_strSettingsPath);
  LoadSettings(m_state.m_strSettingsPath);
  return true;
}
