#include "sim/updater_state.h"

#include "app/main_dialog.h"
#include "flash/flash_part.h"
#include "gps/gps_prog.h"
#include "log/log.h"
#include "package/file_virtual.h"
#include "settings/settings.h"
#include "ui/message_queue.h"
#include "update/update_dialog.h"
#include "utils/utils.h"

namespace sim {

void ResetUpdaterState() {
  ResetAppState();
  ResetUpdateState();
  ResetGpsState();
  ResetFlashState();
  ResetPackageState();
  ResetUtilsState();
  ResetSettingsState();
  ResetLogState();
  ui::ResetFramework();
}

}  // namespace sim
