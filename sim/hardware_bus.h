// What the terminal's own hardware models attach to, whichever backend serves the platform: the
// hardware layer's kernel I/O controls, DeactivateDevice, the physical bus behind mapped device
// windows, the registry keys that drivers list themselves under, and the volumes of the disk
// driver. The simulated terminal implements them over its own services; the Win32 backend over
// Windows' registry and file system.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hal.h"
#include "sim/hal_config.h"

namespace sim {

// A device on the physical bus, reached through a window that the program maps: its registers
// at offsets from the physical address it was attached at.
class PhysicalDevice {
 public:
  virtual ~PhysicalDevice() = default;
  virtual uint8_t ReadRegister(uint32_t offset) = 0;
  virtual void WriteRegister(uint32_t offset, uint8_t value) = 0;
  // The buffer forms: the same register `count` times.
  virtual void ReadRegisters(uint32_t offset, uint8_t* buffer, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) buffer[i] = ReadRegister(offset);
  }
  virtual void WriteRegisters(uint32_t offset, const uint8_t* buffer, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) WriteRegister(offset, buffer[i]);
  }
};

// The program's device windows and the devices on the physical bus behind them: register access
// at an address of a mapped window reaches the device attached at the physical address it maps.
class PhysicalBus {
 public:
  // A window of `size` bytes of address space at `window`, not yet mapped.
  void Reserve(uintptr_t window, uint32_t size);
  // Maps the window onto physical memory from `physical`; false (error 87) for an unknown window
  // or a size of 0 or beyond the window's.
  bool Map(uintptr_t window, uint32_t physical, uint32_t size);
  // False (error 87) for an unknown window.
  bool Release(uintptr_t window);
  // Puts a device on the bus at [address, address + size); null removes it.
  void Attach(uint32_t address, uint32_t size, PhysicalDevice* device);

  // Register access; an address outside every mapped window reads 0xFF and ignores writes, as an
  // unconnected bus does.
  uint8_t Read(uintptr_t address);
  void Write(uintptr_t address, uint8_t value);
  void ReadBuffer(uintptr_t address, uint8_t* buffer, uint32_t count);
  void WriteBuffer(uintptr_t address, const uint8_t* buffer, uint32_t count);

  std::size_t WindowCount() const { return m_windows.size(); }

 private:
  struct Window {
    uint32_t size = 0;
    bool mapped = false;
    uint32_t physical = 0;
  };
  struct Attached {
    uint32_t size = 0;
    PhysicalDevice* device = nullptr;
  };
  // The device and its register offset behind a mapped address, or null.
  PhysicalDevice* Route(uintptr_t address, uint32_t* offset) const;

  std::map<uintptr_t, Window> m_windows;
  std::map<uint32_t, Attached> m_devices;
};

class HardwareBus {
 public:
  // Answers one kernel I/O control: false with the last error set on failure.
  using IoControl = std::function<bool(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                       uint32_t* returned)>;

  virtual ~HardwareBus() = default;
  // Makes a part answer a kernel I/O control; a later answer for the same code replaces it.
  virtual void OnIoControl(uint32_t code, IoControl answer) = 0;
  // Makes a part answer DeactivateDevice (the disk driver); without one the call fails (50).
  virtual void OnDeactivate(std::function<bool(uint32_t handle)> answer) = 0;
  // Puts a device on the physical bus at [address, address + size); null removes it.
  virtual void AttachPhysical(uint32_t address, uint32_t size, PhysicalDevice* device) = 0;
};

// The registry as drivers write their entries: keys by path below HKEY_LOCAL_MACHINE.
class RegistryWriter {
 public:
  virtual ~RegistryWriter() = default;
  virtual void SetString(std::string_view path, std::string_view name, std::string_view value) = 0;
  virtual void SetDword(std::string_view path, std::string_view name, uint32_t value) = 0;
  virtual void DeleteValue(std::string_view path, std::string_view name) = 0;
};

// Writes `text` to a control's output as a zero-terminated little-endian UTF-16 text, as the
// hardware layer answers its version query; false with the last error set when it does not fit.
bool AnswerUtf16Text(const std::string& text, void* out, uint32_t outSize, uint32_t* returned);

// The charger's state as the extended power status gives it: the bytes filled, or 0 (error 31)
// when the charger cannot be read.
uint32_t AnswerPowerStatus(AcLine acLine, platform::PowerStatus* status);

// Takes the volumes whose folders are listed ("\Flash Disk2") away, or (an empty list) gives
// every volume back.
using VolumeSwitch = std::function<void(const std::vector<std::string>& unmounted)>;

}  // namespace sim
