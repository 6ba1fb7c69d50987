#include "sim/hardware_bus.h"

#include "platform/types.h"
#include "text/text.h"

namespace sim {

void PhysicalBus::Reserve(uintptr_t window, uint32_t size) { m_windows[window] = Window{size}; }

bool PhysicalBus::Map(uintptr_t window, uint32_t physical, uint32_t size) {
  const auto it = m_windows.find(window);
  if (it == m_windows.end() || size == 0 || size > it->second.size) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  it->second.mapped = true;
  it->second.physical = physical;
  return true;
}

bool PhysicalBus::Release(uintptr_t window) {
  if (m_windows.erase(window) == 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  return true;
}

void PhysicalBus::Attach(uint32_t address, uint32_t size, PhysicalDevice* device) {
  if (device == nullptr) {
    m_devices.erase(address);
  } else {
    m_devices[address] = Attached{size, device};
  }
}

PhysicalDevice* PhysicalBus::Route(uintptr_t address, uint32_t* offset) const {
  auto it = m_windows.upper_bound(address);
  if (it == m_windows.begin()) return nullptr;
  --it;
  const uintptr_t inWindow = address - it->first;
  if (!it->second.mapped || inWindow >= it->second.size) return nullptr;
  const uint64_t physical = static_cast<uint64_t>(it->second.physical) + inWindow;
  auto device = m_devices.upper_bound(static_cast<uint32_t>(physical));
  if (device == m_devices.begin()) return nullptr;
  --device;
  if (physical - device->first >= device->second.size) return nullptr;
  *offset = static_cast<uint32_t>(physical - device->first);
  return device->second.device;
}

uint8_t PhysicalBus::Read(uintptr_t address) {
  uint32_t offset = 0;
  PhysicalDevice* device = Route(address, &offset);
  return device == nullptr ? 0xFF : device->ReadRegister(offset);
}

void PhysicalBus::Write(uintptr_t address, uint8_t value) {
  uint32_t offset = 0;
  if (PhysicalDevice* device = Route(address, &offset)) device->WriteRegister(offset, value);
}

void PhysicalBus::ReadBuffer(uintptr_t address, uint8_t* buffer, uint32_t count) {
  uint32_t offset = 0;
  PhysicalDevice* device = Route(address, &offset);
  if (device == nullptr) {
    for (uint32_t i = 0; i < count; ++i) buffer[i] = 0xFF;
    return;
  }
  device->ReadRegisters(offset, buffer, count);
}

void PhysicalBus::WriteBuffer(uintptr_t address, const uint8_t* buffer, uint32_t count) {
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

uint32_t AnswerPowerStatus(AcLine acLine, platform::PowerStatus* status) {
  // The size of the extended power status structure.
  constexpr uint32_t kPowerStatusSize = 56;
  switch (acLine) {
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

}  // namespace sim
