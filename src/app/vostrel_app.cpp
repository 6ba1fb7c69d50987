#include "app/vostrel_app.h"

#include "app/main_dialog.h"
#include "flash/image_key.h"
#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "text/text.h"
#include "update/version.h"
#include "utils/utils.h"

namespace {
SettingsObserver g_settingsObserver;

void ReportSettings() {
  if (g_settingsObserver && g_pSettings != nullptr) g_settingsObserver(*g_pSettings);
}
}  // namespace

void SetSettingsObserver(SettingsObserver observer) { g_settingsObserver = std::move(observer); }

bool CVostrelHHTApp::InitInstance() {
  auto& kernel = platform::Kern();
  const platform::Handle launch = kernel.CreateEvent("SD_LAUNCH_EVENT", false, false);
  kernel.SetEvent(launch);
  kernel.CloseHandle(launch);

  InitImageKey();

  CVostrelHHTDlg dialog;

  {
    CLog markers;
    CLog::DeleteFileIfExists("Flash disk2\\detailed.dbg");
    CLog::DeleteFileIfExists("Flash disk2\\progress.dbg");
    CLog::DeleteFileIfExists("Flash disk2\\error.dbg");
    markers.Setup(true, "Flash disk2\\error.dbg", false);
  }
  ReadDebugLevel();

  g_pUtils = new CUtils();
  g_pLog = new CLog();
  g_pLog->Setup(GetDebugLevel() >= 1, "Flash disk2\\Vostrel.log", false);

  LogAt(2, "################# Started VostrelHHT Version %s", kVostrelVersion);
  g_pSettings = new CUpdateSettings();

  LogAt(2, "Command line : '%s'", m_commandLine);
  if (text::EqualsNoCase(m_commandLine, "ACTIVESYNC")) {
    g_pSettings->m_bActiveSync = 1;
    LogAt(2, "We are handheld using active sync");
  }

  dialog.DoModal();

  LogAt(2, "Finished VostrelHHT.");

  ReportSettings();
  delete g_pSettings;
  g_pSettings = nullptr;
  delete g_pLog;
  g_pLog = nullptr;
  delete g_pUtils;
  g_pUtils = nullptr;
  ReleaseImageKey();
  return false;
}

int RunVostrelHHT(std::string_view commandLine) {
  CVostrelHHTApp app{std::string(commandLine)};
  app.InitInstance();
  return 0;
}
