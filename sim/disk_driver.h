// The operating system's disk driver for the flash disk: the instance "DSK1:" that
// "\Drivers\Active" lists with its device handle "Hnd", and the FAT volumes it holds. Once
// DeactivateDevice unloads it, its volumes are gone until the terminal restarts.
#pragma once

#include <cstdint>

#include "sim/file_system.h"
#include "sim/flash_config.h"
#include "sim/hal.h"
#include "sim/part.h"
#include "sim/registry.h"

namespace sim {

class DiskDriver final : public TerminalPart {
 public:
  // Answers DeactivateDevice on the hardware layer.
  DiskDriver(const FlashConfig& config, SimRegistry& registry, SimFileSystem& files, SimHal& hal);

  // Lists the drivers under "\Drivers\Active" and mounts the volumes.
  void PowerOn() override;

  bool Deactivate(uint32_t handle);
  bool Unloaded() const { return m_unloaded; }

 private:
  const FlashConfig& m_config;
  SimRegistry& m_registry;
  SimFileSystem& m_files;
  bool m_unloaded = false;
};

}  // namespace sim
