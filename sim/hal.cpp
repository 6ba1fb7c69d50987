#include "sim/hal.h"

namespace sim {

namespace {
// The size of the extended power status structure.
constexpr uint32_t kPowerStatusSize = 56;
}  // namespace

void SimHal::OnIoControl(uint32_t code, IoControl answer) { m_controls[code] = std::move(answer); }

bool SimHal::KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                             uint32_t outSize, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  const auto it = m_controls.find(code);
  if (it == m_controls.end()) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  return it->second(in, inSize, out, outSize, returned);
}

bool SimHal::DeviceIoControl(platform::Handle device, uint32_t code, const void* in,
                             uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned) {
  Device* target = m_files.DeviceOf(device);
  if (target == nullptr) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  return target->IoControl(code, in, inSize, out, outSize, returned);
}

uint32_t SimHal::GetPowerStatus(platform::PowerStatus* status, bool /*update*/) {
  switch (m_acLine) {
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
