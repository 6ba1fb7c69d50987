// The simulated hardware layer: kernel I/O controls, I/O controls of stream devices and the
// power status. The terminal's parts answer the kernel controls that concern them (the reboot,
// the version query, ...); a control that nobody answers fails with error 50.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/hal.h"
#include "sim/file_system.h"
#include "sim/hal_config.h"
#include "sim/hardware_bus.h"
#include "sim/memory.h"

namespace sim {

class SimHal final : public platform::HardwareLayer, public HardwareBus {
 public:
  // Device controls go to the devices of the file system; the power status is the charger's.
  SimHal(SimFileSystem& files, const AcLine& acLine) : m_files(files), m_acLine(acLine) {}

  // Makes a part answer a kernel I/O control; a later answer for the same code replaces it.
  void OnIoControl(uint32_t code, IoControl answer) override;

  bool KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t* returned) override;
  bool DeviceIoControl(platform::Handle device, uint32_t code, const void* in, uint32_t inSize,
                       void* out, uint32_t outSize, uint32_t* returned) override;
  uint32_t GetPowerStatus(platform::PowerStatus* status, bool update) override;

  // The RAM whose division the memory calls read and set.
  void SetMemory(SimMemory* memory) { m_memory = memory; }
  // Makes a part answer DeactivateDevice (the disk driver); without one the call fails (50).
  void OnDeactivate(std::function<bool(uint32_t handle)> answer) override {
    m_deactivate = std::move(answer);
  }
  // Puts a device on the physical bus at [address, address + size); null removes it.
  void AttachPhysical(uint32_t address, uint32_t size, PhysicalDevice* device) override;

  bool DeactivateDevice(uint32_t deviceHandle) override;
  bool GetSystemMemoryDivision(uint32_t* storePages, uint32_t* ramPages,
                               uint32_t* pageSize) override;
  uint32_t SetSystemMemoryDivision(uint32_t storePages) override;
  uintptr_t VirtualAlloc(uint32_t size) override;
  bool VirtualCopy(uintptr_t window, uint32_t physicalAddress, uint32_t size,
                   uint32_t protect) override;
  bool VirtualFree(uintptr_t window) override;
  uint8_t ReadRegisterUchar(uintptr_t address) override;
  void WriteRegisterUchar(uintptr_t address, uint8_t value) override;
  void ReadRegisterBufferUchar(uintptr_t address, uint8_t* buffer, uint32_t count) override;
  void WriteRegisterBufferUchar(uintptr_t address, const uint8_t* buffer, uint32_t count) override;

  // Windows reserved and not freed, for leak checks.
  std::size_t WindowCount() const { return m_bus.WindowCount(); }

 private:
  SimMemory* m_memory = nullptr;
  std::function<bool(uint32_t)> m_deactivate;
  PhysicalBus m_bus;
  uintptr_t m_nextWindow = 0x30000000;
  SimFileSystem& m_files;
  const AcLine& m_acLine;
  std::map<uint32_t, IoControl> m_controls;
};

}  // namespace sim
