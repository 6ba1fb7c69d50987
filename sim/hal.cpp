#include "sim/hal.h"

#include "text/text.h"

namespace sim {

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
  return AnswerPowerStatus(m_acLine, status);
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
  m_bus.Reserve(window, size);
  return window;
}

bool SimHal::VirtualCopy(uintptr_t window, uint32_t physicalAddress, uint32_t size,
                         uint32_t /*protect*/) {
  return m_bus.Map(window, physicalAddress, size);
}

bool SimHal::VirtualFree(uintptr_t window) { return m_bus.Release(window); }

void SimHal::AttachPhysical(uint32_t address, uint32_t size, PhysicalDevice* device) {
  m_bus.Attach(address, size, device);
}

uint8_t SimHal::ReadRegisterUchar(uintptr_t address) { return m_bus.Read(address); }

void SimHal::WriteRegisterUchar(uintptr_t address, uint8_t value) { m_bus.Write(address, value); }

void SimHal::ReadRegisterBufferUchar(uintptr_t address, uint8_t* buffer, uint32_t count) {
  m_bus.ReadBuffer(address, buffer, count);
}

void SimHal::WriteRegisterBufferUchar(uintptr_t address, const uint8_t* buffer, uint32_t count) {
  m_bus.WriteBuffer(address, buffer, count);
}

}  // namespace sim
