#include <string>

#include "flash/flash_part.h"
#include "gps/gps_prog.h"
#include "log/log.h"
#include "package/file_semaphore.h"
#include "package/file_virtual.h"
#include "platform/platform.h"
#include "script/script.h"
#include "settings/settings.h"
#include "text/text.h"
#include "update/update_dialog.h"
#include "utils/utils.h"

namespace {

// "[position] Updating <kind> Version [version], Command[command]", the position counting the
// whole definition table from 1.
std::string ItemText(const char* kind, int index, const SoftwareDefinition& definition) {
  return text::Sprintf("[%d] Updating %s Version [%s], Command[%s]", index + 1, kind,
                       definition.version, definition.command);
}

bool ContainsBinExtension(const std::string& file) {
  return file.find(".bin") != std::string::npos || file.find(".BIN") != std::string::npos;
}

}  // namespace

void CUpdateDialog::ControlVostrel() {
  CUpdateSettings& settings = *g_pSettings;
  CFileVirtual file(settings.m_bActiveSync, settings.m_strPackagePath);
  bool result = true;
  bool shellStopped = true;

  auto& registry = platform::Reg();
  platform::Handle key = platform::kNullHandle;
  if (registry.CreateKey("Update\\Start", &key) == 0) {
    registry.CloseKey(key);
    LogAt(2, "CVostrelHHTDlg::ControlVostrel Set the registry key");
  } else {
    LogAt(1, "CVostrelHHTDlg::ControlVostrel Failed to set the registry key");
  }
  registry.Flush();

  m_progress.SetRange(0, 100);
  const auto startItem = [this] {
    m_progress.SetPos(0);
    m_progress.ShowWindow(true);
  };
  const auto endItem = [this] { m_progress.SetPos(100); };
  const int definitions = settings.m_nDefinitions;

  if (settings.m_bUpdateGPS) {
    SetScreen(kScreenUpdatingGPS);
    file.StartProgressGPS();
    bool bootSet = false;
    bool firmwareSet = false;
    bool combined = false;
    for (int i = 0; i < definitions && result; ++i) {
      const SoftwareDefinition& entry = settings.m_definitions[i];
      std::string gpsFile;
      std::string kind;
      if (entry.type != kSoftwareGPS ||
          !CUpdateSettings::ParseGPSCommand(entry.command, &gpsFile, &kind)) {
        continue;
      }
      if (text::EqualsNoCase(kind, "BOOT")) {
        GPSProgSetBootFile(gpsFile, entry.version);
        bootSet = true;
      }
      if (text::EqualsNoCase(kind, "FIRMWARE")) {
        GPSProgSetFirmwareFile(gpsFile, entry.version);
        firmwareSet = true;
        if (ContainsBinExtension(gpsFile)) combined = true;
      }
      if (!((bootSet && firmwareSet) || (firmwareSet && combined))) continue;
      const std::string item = ItemText("GPS", i, entry);
      if (!CheckTavimonShutdown()) {
        shellStopped = false;
        LogAt(1, "%s - Failed to shutdown shell", item);
        m_bRebootNeeded = 1;
      } else {
        LogAt(2, "%s", item);
        startItem();
        result = GPSProg();
        if (!result) LogAt(1, "%s - Failed to program GPS", item);
        endItem();
      }
    }
  }

  if (result && settings.m_bUpdateApp) {
    SetScreen(kScreenUpdatingApplication);
    file.StartProgressApp();
    for (int i = 0; i < definitions; ++i) {
      const SoftwareDefinition& entry = settings.m_definitions[i];
      if (entry.type != kSoftwareApplication) continue;
      const std::string item = ItemText("Application", i, entry);
      if (!CheckTavimonShutdown()) {
        shellStopped = false;
        LogAt(1, "%s - Failed to shutdown shell", item);
        m_bRebootNeeded = 1;
        continue;
      }
      LogAt(2, "%s", item);
      startItem();
      result = ProcessAppScript();
      if (!result) LogAt(1, "%s - Failed to program Applications", item);
      m_bCleanUserData = 1;
      endItem();
      m_bRebootNeeded = 1;
    }
  }

  if (result && (settings.m_bUpdateBoot || settings.m_bUpdateKernel)) {
    SetScreen(kScreenUpdatingOS);
    file.StartProgressOS();
    for (int i = 0; i < definitions && result; ++i) {
      const SoftwareDefinition& entry = settings.m_definitions[i];
      std::string image;
      std::string kind;
      int partition = 0;
      if (entry.type != kSoftwareOS ||
          !CUpdateSettings::ParseOSCommand(entry.command, &image, &partition, &kind)) {
        continue;
      }
      const bool wanted = (text::EqualsNoCase(kind, "BOOT") && settings.m_bUpdateBoot) ||
                          (text::EqualsNoCase(kind, "KRNL") && settings.m_bUpdateKernel);
      if (!wanted) continue;
      const std::string item = ItemText("OS", i, entry);
      if (!CheckTavimonShutdown()) {
        shellStopped = false;
        LogAt(1, "%s - Failed to shutdown shell", item);
      } else {
        LogAt(2, "%s", item);
        startItem();
        if (!PrepareFlashPart(image, partition, kind)) {
          result = false;
          LogAt(1, "%s - Failed to setup flash part", item);
          endItem();
        } else {
          // The flash volume goes away with the disk driver: nothing of the run stays on it.
          g_pLog->DeleteLogFiles();
          DeleteMatching("\\Flash Disk2", "*.dbg");
          CleanUserData();
          m_bCleanUserData = 0;
          result = RunFlashPart();
          endItem();
        }
      }
      m_bRebootNeeded = 1;
    }
  }

  if (!shellStopped) {
    SetScreen(kScreenRestartRequired);
    SendEndOfRun();
  } else if (!result) {
    SetScreen(kScreenFailed);
  } else {
    g_pLog->DeleteLogFiles();
    DeleteMatching("\\Flash Disk2", "*.dbg");
    SetScreen(kScreenSuccess);
    SendEndOfRun();
  }
}

bool CUpdateDialog::ProcessAppScript() {
  CScript script;
  CFileSemaphore semaphore;
  bool result = true;
  for (const std::string& line : g_pSettings->m_commandScript) {
    if (semaphore.IsAbortRequested()) {
      LogAppError(1041, FormatErrorText(text::Sprintf("Failed[%s] = Aborted", line)),
                  "ProcessAppScript:");
      result = false;
      continue;
    }
    const int answer = script.ProcessOneLine(line);
    if (answer != 0) {
      LogAppError(1030, FormatErrorText(text::Sprintf("Failed[%s] = [%d]", line, answer)),
                  "ProcessAppScript:");
      result = false;
    }
  }
  return result;
}
