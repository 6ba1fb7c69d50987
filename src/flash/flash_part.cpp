#include "flash/flash_part.h"

#include "flash/image_key.h"
#include "log/log.h"

// PLACEHOLDER: the flash partition writer is not built yet. No disk driver is found, so a
// package that updates the boot loader or the kernel ends on the failed screen and nothing is
// written.
bool PrepareFlashPart(std::string_view /*file*/, int /*partition*/,
                      std::string_view /*signature*/) {
  DebugAt(1, "PrepareFlashPart: flash writing is not available in this build\r\n");
  return false;
}
bool RunFlashPart() { return false; }

void ResetFlashState() { ReleaseImageKey(); }
