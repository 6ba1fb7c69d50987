#include "sim/disk_driver.h"

#include <string>
#include <utility>

#include "platform/types.h"

namespace sim {

namespace {

constexpr const char* kActive = "Drivers\\Active";
constexpr const char* kDiskEntry = "Drivers\\Active\\02";

// The other drivers the terminal lists, before and after the disk.
constexpr struct {
  const char* key;
  const char* name;
  uint32_t handle;
} kOtherDrivers[] = {
    {"01", "COM1:", 0x000A1D20}, {"03", "COM6:", 0x000B7C60}, {"04", "GPS1:", 0x000D0A80}};

}  // namespace

DiskDriver::DiskDriver(const FlashConfig& config, RegistryWriter& registry, VolumeSwitch volumes,
                       HardwareBus& hal)
    : m_config(config), m_registry(registry), m_volumes(std::move(volumes)) {
  hal.OnDeactivate([this](uint32_t handle) { return Deactivate(handle); });
}

void DiskDriver::PowerOn() {
  m_unloaded = false;
  m_volumes({});
  for (const auto& driver : kOtherDrivers) {
    const std::string key = std::string(kActive) + "\\" + driver.key;
    m_registry.SetString(key, "Name", driver.name);
    m_registry.SetDword(key, "Hnd", driver.handle);
  }
  if (m_config.diskDriverListed) {
    m_registry.SetString(kDiskEntry, "Name", "DSK1:");
    m_registry.SetDword(kDiskEntry, "Hnd", m_config.diskDriverHandle);
  } else {
    m_registry.DeleteValue(kDiskEntry, "Name");
    m_registry.DeleteValue(kDiskEntry, "Hnd");
  }
}

bool DiskDriver::Deactivate(uint32_t handle) {
  if (m_config.deactivateFails) {
    platform::SetLastError(platform::kErrorGenFailure);
    return false;
  }
  if (m_unloaded || !m_config.diskDriverListed || handle != m_config.diskDriverHandle ||
      handle == 0) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  m_unloaded = true;
  m_volumes(m_config.diskFolders);
  m_registry.DeleteValue(kDiskEntry, "Name");
  m_registry.DeleteValue(kDiskEntry, "Hnd");
  return true;
}

}  // namespace sim
