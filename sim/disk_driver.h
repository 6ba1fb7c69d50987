// The operating system's disk driver for the flash disk: the instance "DSK1:" that
// "\Drivers\Active" lists with its device handle "Hnd", and the FAT volumes it holds. Once
// DeactivateDevice unloads it, its volumes are gone until the terminal restarts.
#pragma once

#include <cstdint>

#include "sim/flash_config.h"
#include "sim/hardware_bus.h"
#include "sim/part.h"

namespace sim {

class DiskDriver final : public TerminalPart {
 public:
  // Answers DeactivateDevice on the hardware layer; lists itself in the registry; mounts and
  // unmounts its volumes through `volumes`.
  DiskDriver(const FlashConfig& config, RegistryWriter& registry, VolumeSwitch volumes,
             HardwareBus& hal);

  // Lists the drivers under "\Drivers\Active" and mounts the volumes.
  void PowerOn() override;

  bool Deactivate(uint32_t handle);
  bool Unloaded() const { return m_unloaded; }

 private:
  const FlashConfig& m_config;
  RegistryWriter& m_registry;
  VolumeSwitch m_volumes;
  bool m_unloaded = false;
};

}  // namespace sim
