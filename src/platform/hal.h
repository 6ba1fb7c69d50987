// The hardware layer: kernel I/O controls of the hardware abstraction layer, I/O controls of
// stream devices, and the power status.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform {

// Kernel I/O controls that the updater uses.
inline constexpr uint32_t kIoctlHalGetVersion = 0x01011F44;  // input 1 kernel, 2 boot loader
inline constexpr uint32_t kIoctlHalReboot = 0x0101003C;
inline constexpr uint32_t kIoctlHalGetKeyMaterial = 0x01012008;

// The power status, extended form.
struct PowerStatus {
  uint8_t acLineStatus = 0;  // 0 offline, 1 online, 255 unknown
  uint8_t batteryFlag = 0;
  uint8_t batteryLifePercent = 0;
};

class HardwareLayer {
 public:
  virtual ~HardwareLayer() = default;

  // A kernel I/O control of the hardware abstraction layer. False on failure, with the last
  // error set. A successful reboot control does not return: the program ends there.
  virtual bool KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                               uint32_t outSize, uint32_t* returned) = 0;
  // An I/O control of a stream device opened with FileSystem::Open.
  virtual bool DeviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize,
                               void* out, uint32_t outSize, uint32_t* returned) = 0;
  // Reads the power status (update = ask the battery driver afresh). Returns the number of
  // bytes of the extended status filled, 0 when it cannot be read.
  virtual uint32_t GetPowerStatus(PowerStatus* status, bool update) = 0;
};

}  // namespace platform
