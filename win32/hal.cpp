#include "win32/hal.h"

#include "win32/win_api.h"

namespace win32 {

Win32Hal::~Win32Hal() = default;

void Win32Hal::OnIoControl(uint32_t code, IoControl answer) {
  std::lock_guard lock(m_mutex);
  m_controls[code] = std::move(answer);
}

void Win32Hal::OnDeactivate(std::function<bool(uint32_t handle)> answer) {
  std::lock_guard lock(m_mutex);
  m_deactivate = std::move(answer);
}

void Win32Hal::AttachPhysical(uint32_t address, uint32_t size, sim::PhysicalDevice* device) {
  std::lock_guard lock(m_mutex);
  m_bus.Attach(address, size, device);
}

bool Win32Hal::KernelIoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                               uint32_t outSize, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  IoControl answer;
  {
    std::lock_guard lock(m_mutex);
    const auto found = m_controls.find(code);
    if (found != m_controls.end()) answer = found->second;
  }
  if (!answer) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  return answer(in, inSize, out, outSize, returned);
}

bool Win32Hal::DeviceIoControl(platform::Handle device, uint32_t code, const void* in,
                               uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned) {
  sim::Device* target = m_files.DeviceOf(device);
  if (target == nullptr) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  return target->IoControl(code, in, inSize, out, outSize, returned);
}

uint32_t Win32Hal::GetPowerStatus(platform::PowerStatus* status, bool /*update*/) {
  // The desktop's own power supply is not the terminal's charger.
  return sim::AnswerPowerStatus(m_acLine, status);
}

bool Win32Hal::DeactivateDevice(uint32_t deviceHandle) {
  std::function<bool(uint32_t)> answer;
  {
    std::lock_guard lock(m_mutex);
    answer = m_deactivate;
  }
  if (!answer) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  return answer(deviceHandle);
}

bool Win32Hal::GetSystemMemoryDivision(uint32_t* storePages, uint32_t* ramPages,
                                       uint32_t* pageSize) {
  return m_memory.GetDivision(storePages, ramPages, pageSize);
}

uint32_t Win32Hal::SetSystemMemoryDivision(uint32_t storePages) {
  return m_memory.SetDivision(storePages);
}

uintptr_t Win32Hal::VirtualAlloc(uint32_t size) {
  // Address space of Windows' own, without access: only the bus reaches what it maps.
  void* window = ::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
  if (window == nullptr) {
    platform::SetLastError(::GetLastError());
    return 0;
  }
  std::lock_guard lock(m_mutex);
  m_bus.Reserve(reinterpret_cast<uintptr_t>(window), size);
  return reinterpret_cast<uintptr_t>(window);
}

bool Win32Hal::VirtualCopy(uintptr_t window, uint32_t physicalAddress, uint32_t size,
                           uint32_t protect) {
  // Physical memory is the terminal's: only a physical mapping of a reserved window makes sense.
  if ((protect & platform::kPagePhysical) == 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  std::lock_guard lock(m_mutex);
  return m_bus.Map(window, physicalAddress, size);
}

bool Win32Hal::VirtualFree(uintptr_t window) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_bus.Release(window)) return false;
  }
  if (!::VirtualFree(reinterpret_cast<void*>(window), 0, MEM_RELEASE)) {
    platform::SetLastError(::GetLastError());
    return false;
  }
  return true;
}

uint8_t Win32Hal::ReadRegisterUchar(uintptr_t address) {
  std::lock_guard lock(m_mutex);
  return m_bus.Read(address);
}

void Win32Hal::WriteRegisterUchar(uintptr_t address, uint8_t value) {
  std::lock_guard lock(m_mutex);
  m_bus.Write(address, value);
}

void Win32Hal::ReadRegisterBufferUchar(uintptr_t address, uint8_t* buffer, uint32_t count) {
  std::lock_guard lock(m_mutex);
  m_bus.ReadBuffer(address, buffer, count);
}

void Win32Hal::WriteRegisterBufferUchar(uintptr_t address, const uint8_t* buffer, uint32_t count) {
  std::lock_guard lock(m_mutex);
  m_bus.WriteBuffer(address, buffer, count);
}

}  // namespace win32
