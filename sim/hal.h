// The simulated hardware layer: kernel I/O controls, I/O controls of stream devices and the
// power status. The terminal's parts answer the kernel controls that concern them (the reboot,
// the version query, ...); a control that nobody answers fails with error 50.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "platform/hal.h"
#include "sim/file_system.h"
#include "sim/memory.h"

namespace sim {

class ConfigReader;

// The charger, as the power status reports it (terminal.json "power").
enum class AcLine { kConnected, kDisconnected, kUnknown, kUnreadable };
const char* AcLineName(AcLine line);

struct PowerConfig {
  AcLine acLine = AcLine::kConnected;

  bool operator==(const PowerConfig&) const = default;
};

void ReadSection(ConfigReader& reader, PowerConfig& config);
nlohmann::json SectionJson(const PowerConfig& config);

// The hardware layer's own answers (terminal.json "hal").
struct HalConfig {
  // The reboot control fails instead of restarting the terminal.
  bool rebootFails = false;
  // The installed images' versions that the version query reports; none: the query fails.
  std::optional<std::string> bootVersion = "1.0.2";
  std::optional<std::string> kernelVersion = "1.0.5";
  // The key material that control 0x01012008 answers, as hexadecimal text (up to 100 bytes);
  // none: the control fails and the updater takes its pass phrase.
  std::optional<std::string> keyMaterial;

  bool operator==(const HalConfig&) const = default;
};

void ReadSection(ConfigReader& reader, HalConfig& config);
nlohmann::json SectionJson(const HalConfig& config);

// The bytes of hexadecimal key material ("0a1B..."), or none when the text is not an even
// number of hexadecimal digits standing for 1 to 100 bytes.
std::optional<std::string> KeyMaterialBytes(const std::string& hex);

// A device on the physical bus, reached through a window that the program maps: its registers
// at offsets from the physical address it was attached at.
class PhysicalDevice {
 public:
  virtual ~PhysicalDevice() = default;
  virtual uint8_t ReadRegister(uint32_t offset) = 0;
  virtual void WriteRegister(uint32_t offset, uint8_t value) = 0;
  // The buffer forms: the same register `count` times.
  virtual void ReadRegisters(uint32_t offset, uint8_t* buffer, uint32_t count);
  virtual void WriteRegisters(uint32_t offset, const uint8_t* buffer, uint32_t count);
};

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

  // The RAM whose division the memory calls read and set.
  void SetMemory(SimMemory* memory) { m_memory = memory; }
  // Makes a part answer DeactivateDevice (the disk driver); without one the call fails (50).
  void OnDeactivate(std::function<bool(uint32_t handle)> answer) {
    m_deactivate = std::move(answer);
  }
  // Puts a device on the physical bus at [address, address + size); null removes it.
  void AttachPhysical(uint32_t address, uint32_t size, PhysicalDevice* device);

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

  SimMemory* m_memory = nullptr;
  std::function<bool(uint32_t)> m_deactivate;
  std::map<uintptr_t, Window> m_windows;
  std::map<uint32_t, Attached> m_bus;
  uintptr_t m_nextWindow = 0x30000000;
  SimFileSystem& m_files;
  const AcLine& m_acLine;
  std::map<uint32_t, IoControl> m_controls;
};

// Writes `text` to a control's output as a zero-terminated little-endian UTF-16 text, as the
// hardware layer answers its version query; false with the last error set when it does not fit.
bool AnswerUtf16Text(const std::string& text, void* out, uint32_t outSize, uint32_t* returned);

}  // namespace sim
