#include "sim/hal.h"

#include "sim/config_section.h"
#include "text/text.h"

namespace sim {

namespace {

constexpr NamedValue<AcLine> kAcLines[] = {{AcLine::kConnected, "connected"},
                                           {AcLine::kDisconnected, "disconnected"},
                                           {AcLine::kUnknown, "unknown"},
                                           {AcLine::kUnreadable, "unreadable"}};

}  // namespace

const char* AcLineName(AcLine line) { return NameIn(kAcLines, line); }

void ReadSection(ConfigReader& reader, PowerConfig& config) {
  reader.ReadName("ac_line", config.acLine, kAcLines);
}

nlohmann::json SectionJson(const PowerConfig& config) {
  return {{"ac_line", AcLineName(config.acLine)}};
}

void ReadSection(ConfigReader& reader, HalConfig& config) {
  reader.Read("reboot_fails", config.rebootFails, "true or false");
  reader.ReadOptional("boot_version", config.bootVersion,
                      "a version text, or null for a failing query");
  reader.ReadOptional("kernel_version", config.kernelVersion,
                      "a version text, or null for a failing query");
  reader.ReadOptional("key_material", config.keyMaterial,
                      "hexadecimal key material, or null for none");
  if (config.keyMaterial && !KeyMaterialBytes(*config.keyMaterial)) {
    reader.Fail("key_material", "expected 1 to 100 bytes as hexadecimal digits, or null");
  }
}

nlohmann::json SectionJson(const HalConfig& config) {
  return {{"reboot_fails", config.rebootFails},
          {"boot_version", OptionalJson(config.bootVersion)},
          {"kernel_version", OptionalJson(config.kernelVersion)},
          {"key_material", OptionalJson(config.keyMaterial)}};
}

std::optional<std::string> KeyMaterialBytes(const std::string& hex) {
  if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 200) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      const char c = hex[j];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

namespace {
// The size of the extended power status structure.
constexpr uint32_t kPowerStatusSize = 56;
}  // namespace

void SimHal::OnIoControl(uint32_t code, IoControl answer) { m_controls[code] = std::move(answer); }

bool SimHal::KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                             uint32_t outSize, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  const auto it = m_controls.find(code);
  if (it == m_controls.end()) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  return it->second(in, inSize, out, outSize, returned);
}

bool SimHal::DeviceIoControl(platform::Handle device, uint32_t code, const void* in,
                             uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned) {
  Device* target = m_files.DeviceOf(device);
  if (target == nullptr) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  return target->IoControl(code, in, inSize, out, outSize, returned);
}

uint32_t SimHal::GetPowerStatus(platform::PowerStatus* status, bool /*update*/) {
  switch (m_acLine) {
    case AcLine::kUnreadable:
      platform::SetLastError(platform::kErrorGenFailure);
      return 0;
    case AcLine::kConnected:
      status->acLineStatus = 1;
      break;
    case AcLine::kDisconnected:
      status->acLineStatus = 0;
      break;
    case AcLine::kUnknown:
      status->acLineStatus = 255;
      break;
  }
  status->batteryFlag = 1;
  status->batteryLifePercent = 100;
  return kPowerStatusSize;
}

void PhysicalDevice::ReadRegisters(uint32_t offset, uint8_t* buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) buffer[i] = ReadRegister(offset);
}

void PhysicalDevice::WriteRegisters(uint32_t offset, const uint8_t* buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) WriteRegister(offset, buffer[i]);
}

bool SimHal::DeactivateDevice(uint32_t deviceHandle) {
  if (!m_deactivate) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  return m_deactivate(deviceHandle);
}

bool SimHal::GetSystemMemoryDivision(uint32_t* storePages, uint32_t* ramPages, uint32_t* pageSize) {
  if (m_memory == nullptr) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  return m_memory->GetDivision(storePages, ramPages, pageSize);
}

uint32_t SimHal::SetSystemMemoryDivision(uint32_t storePages) {
  if (m_memory == nullptr) {
    platform::SetLastError(platform::kErrorNotSupported);
    return platform::kDivisionFailed;
  }
  return m_memory->SetDivision(storePages);
}

uintptr_t SimHal::VirtualAlloc(uint32_t size) {
  if (size == 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return 0;
  }
  const uintptr_t window = m_nextWindow;
  // Windows never overlap: each starts on its own 64 KB boundary past the last.
  m_nextWindow += (static_cast<uintptr_t>(size) + 0xFFFF) & ~static_cast<uintptr_t>(0xFFFF);
  m_windows[window] = Window{size, false, 0};
  return window;
}

bool SimHal::VirtualCopy(uintptr_t window, uint32_t physicalAddress, uint32_t size,
                         uint32_t /*protect*/) {
  const auto it = m_windows.find(window);
  if (it == m_windows.end() || size == 0 || size > it->second.size) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  it->second.mapped = true;
  it->second.physical = physicalAddress;
  return true;
}

bool SimHal::VirtualFree(uintptr_t window) {
  if (m_windows.erase(window) == 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  return true;
}

void SimHal::AttachPhysical(uint32_t address, uint32_t size, PhysicalDevice* device) {
  if (device == nullptr) {
    m_bus.erase(address);
  } else {
    m_bus[address] = Attached{size, device};
  }
}

PhysicalDevice* SimHal::Route(uintptr_t address, uint32_t* offset) const {
  auto it = m_windows.upper_bound(address);
  if (it == m_windows.begin()) return nullptr;
  --it;
  const uintptr_t inWindow = address - it->first;
  if (!it->second.mapped || inWindow >= it->second.size) return nullptr;
  const uint64_t physical = static_cast<uint64_t>(it->second.physical) + inWindow;
  auto device = m_bus.upper_bound(static_cast<uint32_t>(physical));
  if (device == m_bus.begin()) return nullptr;
  --device;
  if (physical - device->first >= device->second.size) return nullptr;
  *offset = static_cast<uint32_t>(physical - device->first);
  return device->second.device;
}

uint8_t SimHal::ReadRegisterUchar(uintptr_t address) {
  uint32_t offset = 0;
  PhysicalDevice* device = Route(address, &offset);
  return device == nullptr ? 0xFF : device->ReadRegister(offset);
}

void SimHal::WriteRegisterUchar(uintptr_t address, uint8_t value) {
  uint32_t offset = 0;
  if (PhysicalDevice* device = Route(address, &offset)) device->WriteRegister(offset, value);
}

void SimHal::ReadRegisterBufferUchar(uintptr_t address, uint8_t* buffer, uint32_t count) {
  uint32_t offset = 0;
  PhysicalDevice* device = Route(address, &offset);
  if (device == nullptr) {
    for (uint32_t i = 0; i < count; ++i) buffer[i] = 0xFF;
    return;
  }
  device->ReadRegisters(offset, buffer, count);
}

void SimHal::WriteRegisterBufferUchar(uintptr_t address, const uint8_t* buffer, uint32_t count) {
  uint32_t offset = 0;
  if (PhysicalDevice* device = Route(address, &offset))
    device->WriteRegisters(offset, buffer, count);
}

bool AnswerUtf16Text(const std::string& text, void* out, uint32_t outSize, uint32_t* returned) {
  const std::u16string units = text::ToUtf16(text);
  const uint32_t bytes = static_cast<uint32_t>((units.size() + 1) * 2);
  if (out == nullptr || outSize < bytes) {
    platform::SetLastError(platform::kErrorInsufficientBuffer);
    return false;
  }
  auto* target = static_cast<uint8_t*>(out);
  for (std::size_t i = 0; i <= units.size(); ++i) {
    const char16_t unit = i < units.size() ? units[i] : u'\0';
    target[2 * i] = static_cast<uint8_t>(unit & 0xFF);
    target[2 * i + 1] = static_cast<uint8_t>(unit >> 8);
  }
  if (returned != nullptr) *returned = bytes;
  return true;
}

}  // namespace sim
