#include "sim/gps_driver.h"

#include <algorithm>
#include <cstring>

#include "sim/terminal.h"

namespace sim {

bool GpsDriver::Open(uint32_t /*access*/, uint32_t /*share*/) {
  if (m_terminal.Config().gpsDriverPresent) return true;
  platform::SetLastError(platform::kErrorFileNotFound);
  return false;
}

bool GpsDriver::IoControl(uint32_t code, const void* /*in*/, uint32_t /*inSize*/, void* out,
                          uint32_t outSize, uint32_t* returned) {
  if (code != kIoctlGetVersion) {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
  const std::string answer = GpsVersionAnswer(m_terminal.Config());
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
  if (returned != nullptr) *returned = m_terminal.Config().gpsVersionCount.value_or(count);
  return true;
}

}  // namespace sim
