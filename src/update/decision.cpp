#include "app/main_dialog.h"
#include "log/log.h"
#include "update/settings.h"

// PLACEHOLDER: the update decision is not built yet; nothing is offered or marked.
void CVostrelHHTDlg::DecideUpdates() {}

bool CVostrelHHTDlg::CheckIfSomethingToDo() {
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
