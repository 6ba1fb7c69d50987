#include "gps/gps_line.h"

#include "platform/platform.h"

namespace gps {

bool PortLine::Write(const uint8_t* bytes, uint32_t count) {
  uint32_t written = 0;
  return platform::Serial().WriteSerial(m_port, bytes, count, &written) && written == count;
}

uint32_t PortLine::Read(uint8_t* buffer, uint32_t count) {
  uint32_t read = 0;
  if (!platform::Serial().ReadSerial(m_port, buffer, count, &read)) return 0;
  return read;
}

void PortLine::Pause(uint32_t milliseconds) { platform::Kern().Sleep(milliseconds); }

}  // namespace gps
