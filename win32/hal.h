// The hardware layer of the terminal on Win32. A desktop has none of the terminal's own hardware,
// so the terminal's device models (sim/) answer: the kernel I/O controls (the flash chip's
// version query, the reboot, the key material), DeactivateDevice (the disk driver), the memory
// division (the RAM model) and the registers behind a mapped device window (the flash chip).
// The window itself is address space that Windows reserves; the charger is the terminal's.
#pragma once

#include <functional>
#include <map>
#include <mutex>

#include "platform/hal.h"
#include "sim/hal_config.h"
#include "sim/hardware_bus.h"
#include "sim/memory.h"
#include "win32/files.h"

namespace win32 {

class Win32Hal final : public platform::HardwareLayer, public sim::HardwareBus {
 public:
  Win32Hal(Win32FileSystem& files, const sim::AcLine& acLine, sim::SimMemory& memory)
      : m_files(files), m_acLine(acLine), m_memory(memory) {}
  ~Win32Hal() override;

  void OnIoControl(uint32_t code, IoControl answer) override;
  void OnDeactivate(std::function<bool(uint32_t handle)> answer) override;
  void AttachPhysical(uint32_t address, uint32_t size, sim::PhysicalDevice* device) override;

  bool KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t* returned) override;
  bool DeviceIoControl(platform::Handle device, uint32_t code, const void* in, uint32_t inSize,
                       void* out, uint32_t outSize, uint32_t* returned) override;
  uint32_t GetPowerStatus(platform::PowerStatus* status, bool update) override;
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

 private:
  Win32FileSystem& m_files;
  const sim::AcLine& m_acLine;
  sim::SimMemory& m_memory;
  std::mutex m_mutex;
  std::map<uint32_t, IoControl> m_controls;
  std::function<bool(uint32_t)> m_deactivate;
  sim::PhysicalBus m_bus;
};

}  // namespace win32
