#include "update/update_dialog.h"

#include "package/file_semaphore.h"
#include "update/run_context.h"

namespace {
// The progress bar of the main dialog's template, in dialog units.
constexpr int kProgressX = 48;
constexpr int kProgressY = 85;
constexpr int kProgressWidth = 86;
constexpr int kProgressHeight = 10;
}  // namespace

CUpdateDialog::CUpdateDialog(CRunContext& run, int templateId, int width, int height)
    : ui::Dialog(templateId, "", width, height, false),
      m_progress(*this, kIdcProgress, kProgressX, kProgressY, kProgressWidth, kProgressHeight,
                 true),
      m_run(run) {}

void CUpdateDialog::SendEndOfRun() {
  CFileSemaphore semaphore;
  if (m_run.m_state.m_bActiveSync) {
    CFileCommand command;
    command.m_bRequest = 1;
    command.m_nCommand = kCommandFinished;
    semaphore.HHTProcessCommand(command);
  }
  semaphore.DeleteAbortFiles();
}
