#include "app/vostrel_app.h"

#include "app/main_dialog.h"
#include "flash/image_key.h"
#include "log/log.h"
#include "platform/platform.h"
#include "text/text.h"
#include "update/run_context.h"
#include "update/version.h"

bool CVostrelHHTApp::InitInstance() {
  // Everything the run changes lives here and goes with it; the key is released with it.
  CRunContext run(m_observer);
  auto& kernel = platform::Kern();
  const platform::Handle launch = kernel.CreateEvent("SD_LAUNCH_EVENT", false, false);
  kernel.SetEvent(launch);
  kernel.CloseHandle(launch);

  InitImageKey(run.m_imageKey);

  CVostrelHHTDlg dialog(run);

  {
    CLog markers;
    CLog::DeleteFileIfExists("Flash disk2\\detailed.dbg");
    CLog::DeleteFileIfExists("Flash disk2\\progress.dbg");
    CLog::DeleteFileIfExists("Flash disk2\\error.dbg");
    markers.Setup(true, "Flash disk2\\error.dbg", false);
  }
  ReadDebugLevel();

  run.m_log.Setup(GetDebugLevel() >= 1, "Flash disk2\\Vostrel.log", false);

  LogAt(2, "################# Started VostrelHHT Version %s", kVostrelVersion);

  LogAt(2, "Command line : '%s'", m_commandLine);
  if (text::EqualsNoCase(m_commandLine, "ACTIVESYNC")) {
    run.m_state.m_bActiveSync = 1;
    LogAt(2, "We are handheld using active sync");
  }

  dialog.DoModal();

  LogAt(2, "Finished VostrelHHT.");
  return false;
}

int RunVostrelHHT(std::string_view commandLine, RunObserver observer) {
  CVostrelHHTApp app{std::string(commandLine), std::move(observer)};
  app.InitInstance();
  return 0;
}
