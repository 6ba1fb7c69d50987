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

// Results of SetSystemMemoryDivision.
enum MemoryDivision : uint32_t {
  kDivisionChanged = 0,
  kDivisionMustReboot = 1,
  kDivisionRebootPending = 2,
  kDivisionFailed = 3,
};

// VirtualCopy's protection for a device window: read-write, uncached, physical address.
inline constexpr uint32_t kPageReadWrite = 0x04;
inline constexpr uint32_t kPageNoCache = 0x200;
inline constexpr uint32_t kPagePhysical = 0x400;

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

  // Unloads the driver instance whose device handle "\Drivers\Active" lists ("Hnd"). False on
  // failure, with the last error set; on success the driver's devices and volumes are gone
  // until the terminal restarts.
  virtual bool DeactivateDevice(uint32_t deviceHandle) = 0;

  // The division of the RAM between the object store and program memory, in pages. False when
  // it cannot be read.
  virtual bool GetSystemMemoryDivision(uint32_t* storePages, uint32_t* ramPages,
                                       uint32_t* pageSize) = 0;
  // Gives the object store this many pages. Returns one of the MemoryDivision results; after
  // kDivisionFailed the last error says why.
  virtual uint32_t SetSystemMemoryDivision(uint32_t storePages) = 0;

  // The physical window of a memory-mapped device. VirtualAlloc reserves `size` bytes of
  // address space without access (0 on failure); VirtualCopy maps `size` bytes of physical
  // memory from `physicalAddress` into it with the protection flags (false on failure, with
  // the last error set); VirtualFree releases the reservation.
  virtual uintptr_t VirtualAlloc(uint32_t size) = 0;
  virtual bool VirtualCopy(uintptr_t window, uint32_t physicalAddress, uint32_t size,
                           uint32_t protect) = 0;
  virtual bool VirtualFree(uintptr_t window) = 0;

  // Register access inside a mapped window, as the device kit's READ_REGISTER_UCHAR and
  // WRITE_REGISTER_UCHAR and their buffer forms do: the buffer forms read or write the same
  // register `count` times. An address outside every mapped window reads 0xFF and ignores
  // writes, as an unconnected bus does.
  virtual uint8_t ReadRegisterUchar(uintptr_t address) = 0;
  virtual void WriteRegisterUchar(uintptr_t address, uint8_t value) = 0;
  virtual void ReadRegisterBufferUchar(uintptr_t address, uint8_t* buffer, uint32_t count) = 0;
  virtual void WriteRegisterBufferUchar(uintptr_t address, const uint8_t* buffer,
                                        uint32_t count) = 0;
};

}  // namespace platform
