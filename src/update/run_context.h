// What one run of the updater changes, owned in one place. The application's start-up makes the
// context and its end destroys it, so nothing a run changed outlives the run: not when the
// updater leaves, and not when a reboot cuts the run off. While it lives, g_pUtils, g_pLog and
// g_pSettings point at its utilities, log and settings; the rest reaches the code that works on
// it as parameters.
#pragma once

#include <atomic>
#include <functional>

#include "flash/flash_job.h"
#include "flash/image_key.h"
#include "gps/flash_engine.h"
#include "gps/flash_engine_ops.h"
#include "gps/gps_state.h"
#include "log/log.h"
#include "package/file_virtual.h"
#include "platform/types.h"
#include "settings/run_state.h"
#include "settings/settings.h"
#include "update/device.h"
#include "utils/utils.h"

class CRunContext;

// Called with a run just before its context goes, however the run ended, so that whoever ran
// the updater can report what the run decided and met.
using RunObserver = std::function<void(const CRunContext&)>;

class CRunContext {
 public:
  // Takes the process-wide pointers for its lifetime and gives them back to what they pointed
  // at before (nothing, outside a test that runs the updater inside a context of its own).
  explicit CRunContext(RunObserver observer = {});
  ~CRunContext();
  CRunContext(const CRunContext&) = delete;
  CRunContext& operator=(const CRunContext&) = delete;

  CUtils m_utils;
  CLog m_log;
  CUpdateSettings m_settings;
  CRunState m_state;
  CDevice m_device;
  ImageKey m_imageKey;
  CVirtualFiles m_files{m_state};
  FlashJob m_flash{m_files, m_imageKey};
  GpsProgState m_gps{m_files};
  FlashEngineSession m_engine;
  FlashProgramState m_program;

  // The main dialog's state: the screen shown, the run being active (which the keep-alive
  // thread reads), the guard that swallows keys while a key's handler runs, the user-activity
  // event and the keep-alive thread.
  int m_nScreen = 0;
  std::atomic<int> m_bBusy{0};
  int m_bInKeyHandler = 0;
  platform::Handle m_hUserActivity = platform::kNullHandle;
  platform::Handle m_hKeepAliveThread = platform::kNullHandle;

 private:
  RunObserver m_observer;
  CUtils* m_outerUtils;
  CLog* m_outerLog;
  CUpdateSettings* m_outerSettings;
};
