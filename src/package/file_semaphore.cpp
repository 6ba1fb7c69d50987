#include "package/file_semaphore.h"

#include "platform/platform.h"
#include "script/utils.h"

namespace {
constexpr const char* kAbortMarker = "abort.me";
constexpr const char* kLookingMarker = "looking.no";
}  // namespace

// PLACEHOLDER: the desktop channel is not built yet; no exchange can succeed.
int CFileSemaphore::HHTProcessCommand(CFileCommand& /*command*/) { return 0; }

void CFileSemaphore::DeleteAbortFiles() {
  for (const char* marker : {kAbortMarker, kLookingMarker}) {
    const std::string path = CUtils::PathJoin("\\", marker);
    if (CUtils::FileExists(path)) platform::Fs().Delete(path);
  }
}

int CFileSemaphore::IsAbortRequested() {
  return CUtils::FileExists(CUtils::PathJoin("\\", kAbortMarker)) ? 1 : 0;
}
