#include "sim/gps_driver.h"

#include <algorithm>
#include <cstring>

namespace sim {

GpsDriver::GpsDriver(const GpsDriverConfig& config, SimFileSystem& files, FirmwareVersion firmware)
    : m_config(config), m_files(files), m_firmware(std::move(firmware)) {
  m_files.RegisterDevice("GPS1:", this);
}

GpsDriver::~GpsDriver() { m_files.RegisterDevice("GPS1:", nullptr); }

bool GpsDriver::Open(uint32_t /*access*/, uint32_t /*share*/) {
  if (m_config.present) return true;
  platform::SetLastError(platform::kErrorFileNotFound);
  return false;
}

bool GpsDriver::IoControl(uint32_t code, const void* /*in*/, uint32_t /*inSize*/, void* out,
                          uint32_t outSize, uint32_t* returned) {
  if (code != kIoctlGetVersion) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  const std::string answer = GpsVersionAnswer(m_config, m_firmware());
  if (out == nullptr || outSize == 0) {
    platform::SetLastError(platform::kErrorInsufficientBuffer);
    return false;
  }
  // The driver copies what fits and always terminates the text.
  const std::size_t copied = std::min<std::size_t>(answer.size(), outSize - 1);
  auto* bytes = static_cast<char*>(out);
  std::memcpy(bytes, answer.data(), copied);
  bytes[copied] = '\0';
  const uint32_t count = static_cast<uint32_t>(copied + 1);
  if (returned != nullptr) *returned = m_config.returnedCount.value_or(count);
  return true;
}

}  // namespace sim
