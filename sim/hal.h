// The simulated hardware layer: the kernel I/O controls, stream-device controls and the power
// status.
#pragma once

#include "platform/hal.h"

namespace sim {

class Terminal;

class SimHal final : public platform::HardwareLayer {
 public:
  explicit SimHal(Terminal& terminal) : m_terminal(terminal) {}

  bool KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                       uint32_t outSize, uint32_t* returned) override;
  bool DeviceIoControl(platform::Handle device, uint32_t code, const void* in, uint32_t inSize,
                       void* out, uint32_t outSize, uint32_t* returned) override;
  uint32_t GetPowerStatus(platform::PowerStatus* status, bool update) override;

 private:
  // The version of the kernel (input 1) or the boot loader (input 2).
  bool GetVersion(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                  uint32_t* returned);

  Terminal& m_terminal;
};

}  // namespace sim
