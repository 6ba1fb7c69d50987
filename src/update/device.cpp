#include "update/device.h"

#include <cstdint>
#include <cstring>

#include "gps/gps_prog.h"
#include "log/log.h"
#include "platform/platform.h"
#include "text/text.h"

namespace {

constexpr uint32_t kHalQueryKernel = 1;
constexpr uint32_t kHalQueryBoot = 2;
constexpr uint32_t kHalVersionBufferBytes = 128;
constexpr uint32_t kGpsVersionBufferBytes = 80;
constexpr std::size_t kGpsVersionLength = 5;
constexpr uint32_t kAppVersionBufferBytes = 256;

// A zero-terminated UTF-16 string in a buffer, never read past the buffer's end.
std::string Utf16Z(const uint8_t* bytes, std::size_t size) {
  std::size_t length = 0;
  while (length + 1 < size && (bytes[length] != 0 || bytes[length + 1] != 0)) length += 2;
  return text::FromUtf16Bytes(bytes, length);
}

// The hardware layer's version query for one image.
std::string QueryHalVersion(uint32_t which, const char* logFormat) {
  uint8_t out[kHalVersionBufferBytes] = {};
  uint32_t returned = 0;
  const bool ok = platform::Hal().KernelIoControl(platform::kIoctlHalGetVersion, &which,
                                                  sizeof which, out, sizeof out, &returned);
  const std::string raw = Utf16Z(out, sizeof out);
  LogAt(2, logFormat, ok ? 1 : 0, raw);
  return ok ? raw : std::string();
}

}  // namespace

std::string CDevice::GetVersionBoot() {
  return QueryHalVersion(kHalQueryBoot, "CDevice::GetVersionBoot:[%d][%s]");
}

std::string CDevice::GetVersionKernel() {
  return QueryHalVersion(kHalQueryKernel, "CDevice::GetVersionKernel:[%d][%s]");
}

std::string CDevice::GetVersionApps() {
  uint8_t buffer[kAppVersionBufferBytes] = {};
  auto& registry = platform::Reg();
  platform::Handle key = platform::kNullHandle;
  if (registry.OpenKey("Tavimon\\VersionInfo", &key) == 0) {
    uint32_t type = 0;
    uint32_t size = sizeof buffer;
    if (registry.QueryValue(key, "Version", &type, buffer, &size) != 0) {
      std::memset(buffer, 0, sizeof buffer);
    }
    registry.CloseKey(key);
  }
  const std::string raw = Utf16Z(buffer, sizeof buffer);
  LogAt(2, "CDevice::GetVersionApps:[%s]", raw);
  return raw.empty() ? std::string("0.00") : raw;
}

std::string CDevice::GetVersionGPS() {
  // The buffer is offered one byte short, so the text always ends in a zero.
  char buffer[kGpsVersionBufferBytes] = {};
  uint32_t returned = 0;
  bool ok = false;
  auto& fs = platform::Fs();
  const platform::Handle driver = fs.Open("GPS1:", platform::kGenericRead, platform::kShareNone,
                                          platform::Disposition::kOpenExisting, 0);
  if (driver != platform::kInvalidHandle) {
    ok = platform::Hal().DeviceIoControl(driver, kIoctlGpsGetVersion, nullptr, 0, buffer,
                                         kGpsVersionBufferBytes - 1, &returned);
    fs.Close(driver);
  }
  const std::size_t length = std::strlen(buffer);
  const std::string raw = text::FromCodePage(std::string_view(buffer, length));
  LogAt(2, "CDevice::GetVersionGPS:[%d][%S]", ok ? 1 : 0, raw);
  if (!ok || returned != length + 1) return {};
  // A text shorter than a version is taken whole.
  const std::size_t start = length > kGpsVersionLength ? length - kGpsVersionLength : 0;
  return text::FromCodePage(std::string_view(buffer + start, length - start));
}

int CDevice::GetPowerState() {
  platform::PowerStatus status;
  if (platform::Hal().GetPowerStatus(&status, true) == 0) {
    LogAt(1, "Warning: Unable to get power state");
    return 0;
  }
  return status.acLineStatus;
}

bool CDevice::Reboot() {
  if (!platform::Hal().KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0,
                                       nullptr)) {
    LogAt(1, "<KTest> IOCTL_HAL_REBOOT failed");
    return false;
  }
  return true;
}
