#include "update/device.h"

#include "log/log.h"
#include "platform/platform.h"

CDevice g_Device;

int CDevice::GetPowerState() {
  platform::PowerStatus status;
  if (platform::Hal().GetPowerStatus(&status, true) == 0) {
    LogAt(1, "Warning: Unable to get power state");
    return 0;
  }
  return status.acLineStatus;
}

bool CDevice::Reboot() {
  if (!platform::Hal().KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0,
                                       nullptr)) {
    LogAt(1, "<KTest> IOCTL_HAL_REBOOT failed");
    return false;
  }
  return true;
}
