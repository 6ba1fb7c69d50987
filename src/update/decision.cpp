#include <iterator>

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "update/device.h"
#include "update/run_context.h"
#include "update/update_dialog.h"
#include "update/update_parts.h"
#include "utils/utils.h"

void CUpdateDialog::DecideUpdates() {
  const CUpdateSettings& settings = m_run.m_settings;
  CRunState& state = m_run.m_state;
  for (const UpdatePartRow& part : kUpdateParts) {
    state.*part.marked = 0;
    state.*part.offered = 0;
    const std::string installed = (m_run.m_device.*part.installed)();
    if (const SoftwareDefinition* definition = OfferedDefinition(settings, part.part)) {
      state.*part.offered = 1;
      if (CUtils::IsVersionNewer(installed, definition->version)) state.*part.marked = 1;
      LogAt(2,
            std::string(part.decisionLog) + (state.*part.marked ? "" : "no ") + "update required",
            installed, definition->version);
    }
    // Reading versions can take a while; the terminal must not suspend meanwhile.
    platform::Kern().SetEvent(m_run.m_hUserActivity);
  }
}

bool CUpdateDialog::CheckIfSomethingToDo() {
  // The log names the application first.
  static constexpr UpdatePart kLogOrder[] = {UpdatePart::kApplication, UpdatePart::kBoot,
                                             UpdatePart::kKernel, UpdatePart::kGPS};
  static_assert(std::size(kLogOrder) == kUpdatePartCount);
  bool any = false;
  for (const UpdatePart part : kLogOrder) {
    const UpdatePartRow& row = PartRow(part);
    const bool marked = m_run.m_state.*row.marked != 0;
    LogAt(2, "%s%sselected", row.pendingLog, marked ? "" : "not ");
    any = any || marked;
  }
  return any;
}
