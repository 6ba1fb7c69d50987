#include "sim/hal.h"

#include "sim/terminal.h"

namespace sim {

namespace {
// The size of the extended power status structure.
constexpr uint32_t kPowerStatusSize = 56;
}  // namespace

bool SimHal::KernelIoControl(uint32_t code, const void* /*in*/, uint32_t /*inSize*/,
                             void* /*out*/, uint32_t /*outSize*/, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  if (code == platform::kIoctlHalReboot) {
    if (m_terminal.Config().rebootFails) {
      platform::SetLastError(platform::kErrorGenFailure);
      return false;
    }
    // The terminal restarts: the updater's process ends here and nothing after the call runs.
    m_terminal.Seen().rebooted = true;
    m_terminal.Clock().MarkEnded(kUpdaterProcess);
    throw ProcessEnded{};
  }
  platform::SetLastError(platform::kErrorNotSupported);
  return false;
}

bool SimHal::DeviceIoControl(platform::Handle device, uint32_t code, const void* in,
                             uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned) {
  Device* target = m_terminal.Files().DeviceOf(device);
  if (target == nullptr) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  return target->IoControl(code, in, inSize, out, outSize, returned);
}

uint32_t SimHal::GetPowerStatus(platform::PowerStatus* status, bool /*update*/) {
  switch (m_terminal.Config().acLine) {
    case AcLine::kUnreadable:
      platform::SetLastError(platform::kErrorGenFailure);
      return 0;
    case AcLine::kConnected:
      status->acLineStatus = 1;
      break;
    case AcLine::kDisconnected:
      status->acLineStatus = 0;
      break;
    case AcLine::kUnknown:
      status->acLineStatus = 255;
      break;
  }
  status->batteryFlag = 1;
  status->batteryLifePercent = 100;
  return kPowerStatusSize;
}

}  // namespace sim
