// The simulated hardware layer: kernel I/O controls, I/O controls of stream devices and the
// power status. The terminal's parts answer the kernel controls that concern them (the reboot,
// the version query, ...); a control that nobody answers fails with error 50.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "platform/hal.h"
#include "sim/config.h"
#include "sim/file_system.h"

namespace sim {

class SimHal final : public platform::HardwareLayer {
 public:
  // Answers one kernel I/O control: false with the last error set on failure.
  using IoControl = std::function<bool(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                       uint32_t* returned)>;

  // Device controls go to the devices of the file system; the power status is the charger's.
  SimHal(SimFileSystem& files, const AcLine& acLine) : m_files(files), m_acLine(acLine) {}

  // Makes a part answer a kernel I/O control; a later answer for the same code replaces it.
  void OnIoControl(uint32_t code, IoControl answer);

  bool KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t* returned) override;
  bool DeviceIoControl(platform::Handle device, uint32_t code, const void* in, uint32_t inSize,
                       void* out, uint32_t outSize, uint32_t* returned) override;
  uint32_t GetPowerStatus(platform::PowerStatus* status, bool update) override;

 private:
  SimFileSystem& m_files;
  const AcLine& m_acLine;
  std::map<uint32_t, IoControl> m_controls;
};

}  // namespace sim
