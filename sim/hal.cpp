#include "sim/hal.h"

#include <cstring>
#include <optional>
#include <string>

#include "log/text.h"
#include "sim/terminal.h"

namespace sim {

namespace {
// The size of the extended power status structure.
constexpr uint32_t kPowerStatusSize = 56;
constexpr uint32_t kQueryKernel = 1;
constexpr uint32_t kQueryBoot = 2;
}  // namespace

bool SimHal::KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                             uint32_t outSize, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  if (code == platform::kIoctlHalGetVersion) return GetVersion(in, inSize, out, outSize, returned);
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

bool SimHal::GetVersion(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                        uint32_t* returned) {
  uint32_t which = 0;
  if (in == nullptr || inSize < sizeof which) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  std::memcpy(&which, in, sizeof which);
  const TerminalConfig& config = m_terminal.Config();
  const std::optional<std::string>& version =
      which == kQueryKernel ? config.kernelVersion
                            : (which == kQueryBoot ? config.bootVersion : std::nullopt);
  if (!version) {
    platform::SetLastError(which == kQueryKernel || which == kQueryBoot
                               ? platform::kErrorGenFailure
                               : platform::kErrorInvalidParameter);
    return false;
  }
  // A zero-terminated UTF-16 string.
  const std::u16string units = text::ToUtf16(*version);
  const uint32_t bytes = static_cast<uint32_t>((units.size() + 1) * 2);
  if (out == nullptr || outSize < bytes) {
    platform::SetLastError(platform::kErrorInsufficientBuffer);
    return false;
  }
  auto* target = static_cast<uint8_t*>(out);
  for (std::size_t i = 0; i <= units.size(); ++i) {
    const char16_t unit = i < units.size() ? units[i] : u'\0';
    target[2 * i] = static_cast<uint8_t>(unit & 0xFF);
    target[2 * i + 1] = static_cast<uint8_t>(unit >> 8);
  }
  if (returned != nullptr) *returned = bytes;
  return true;
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
