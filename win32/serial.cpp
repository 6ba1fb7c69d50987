#include "win32/serial.h"

#include <cstring>

#include "win32/win_api.h"

namespace win32 {

namespace {

// The device control block's flag bits follow its baud rate, bit for bit as the platform's
// kDcb constants lay them out.
constexpr std::size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);

platform::SerialSettings SettingsOf(const DCB& dcb) {
  platform::SerialSettings settings;
  settings.baudRate = dcb.BaudRate;
  std::memcpy(&settings.flags, reinterpret_cast<const char*>(&dcb) + kDcbFlagsOffset,
              sizeof settings.flags);
  settings.byteSize = dcb.ByteSize;
  settings.parity = dcb.Parity;
  settings.stopBits = dcb.StopBits;
  return settings;
}

void Apply(const platform::SerialSettings& settings, DCB* dcb) {
  dcb->BaudRate = settings.baudRate;
  std::memcpy(reinterpret_cast<char*>(dcb) + kDcbFlagsOffset, &settings.flags,
              sizeof settings.flags);
  dcb->ByteSize = settings.byteSize;
  dcb->Parity = settings.parity;
  dcb->StopBits = settings.stopBits;
}

platform::SerialTimeouts TimeoutsOf(const COMMTIMEOUTS& timeouts) {
  return {timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
          timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
          timeouts.WriteTotalTimeoutConstant};
}

COMMTIMEOUTS Timeouts(const platform::SerialTimeouts& timeouts) {
  return {timeouts.readInterval, timeouts.readTotalMultiplier, timeouts.readTotalConstant,
          timeouts.writeTotalMultiplier, timeouts.writeTotalConstant};
}

bool SetConfig(HANDLE port, const platform::SerialConfig& config) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return false;
  Apply(config.settings, &dcb);
  COMMTIMEOUTS timeouts = Timeouts(config.timeouts);
  return SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts);
}

}  // namespace

platform::Handle Win32SerialPorts::OpenSerial(std::string_view port,
                                              const platform::SerialOpenRequest& request,
                                              platform::SerialConfig* inForce) {
  // "COM6:" on the terminal is COM6 here.
  std::string name(port);
  if (!name.empty() && name.back() == ':') name.pop_back();
  HANDLE handle = CreateFileW(Wide("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    KeepError();
    return platform::kInvalidHandle;
  }
  if (request.inQueue != 0 || request.outQueue != 0) {
    SetupComm(handle, request.inQueue, request.outQueue);
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS timeouts{};
  if (!GetCommState(handle, &dcb) || !GetCommTimeouts(handle, &timeouts)) {
    KeepError();
    CloseHandle(handle);
    return platform::kInvalidHandle;
  }
  platform::SerialConfig current{SettingsOf(dcb), TimeoutsOf(timeouts)};
  if (inForce != nullptr) *inForce = current;
  const platform::SerialConfig wanted = request.derive ? request.derive(current) : current;
  if (!SetConfig(handle, wanted)) {
    KeepError();
    CloseHandle(handle);
    return platform::kInvalidHandle;
  }
  return reinterpret_cast<platform::Handle>(handle);
}

bool Win32SerialPorts::ApplySerialSettings(platform::Handle port,
                                           const platform::SerialSettings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(AsHandle(port), &dcb)) {
    KeepError();
    return false;
  }
  Apply(settings, &dcb);
  if (!SetCommState(AsHandle(port), &dcb)) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32SerialPorts::ReadSerial(platform::Handle port, void* buffer, uint32_t count,
                                  uint32_t* read) {
  DWORD got = 0;
  const bool ok = ReadFile(AsHandle(port), buffer, count, &got, nullptr);
  if (!ok) KeepError();
  if (read != nullptr) *read = got;
  return ok;
}

bool Win32SerialPorts::WriteSerial(platform::Handle port, const void* bytes, uint32_t count,
                                   uint32_t* written) {
  DWORD put = 0;
  const bool ok = WriteFile(AsHandle(port), bytes, count, &put, nullptr);
  if (!ok) KeepError();
  if (written != nullptr) *written = put;
  return ok;
}

bool Win32SerialPorts::PurgeSerial(platform::Handle port) {
  if (!PurgeComm(AsHandle(port), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT)) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32SerialPorts::CloseSerial(platform::Handle port, const platform::SerialConfig* restore) {
  if (restore != nullptr) SetConfig(AsHandle(port), *restore);
  if (!CloseHandle(AsHandle(port))) {
    KeepError();
    return false;
  }
  return true;
}

}  // namespace win32
