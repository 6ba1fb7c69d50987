// The serial line to the GPS chip as both wire protocols use it. The protocols read and write
// through this interface, so that tests and fuzzers can feed them memory instead of a port.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace gps {

class Line {
 public:
  virtual ~Line() = default;
  // Sends the bytes; true only when all of them went out.
  virtual bool Write(const uint8_t* bytes, uint32_t count) = 0;
  // Reads up to count bytes under the port's time-outs: the number that arrived, 0 when none
  // did or the read failed.
  virtual uint32_t Read(uint8_t* buffer, uint32_t count) = 0;
  // Waits between two reads that found nothing.
  virtual void Pause(uint32_t milliseconds) = 0;
};

// A serial port opened through the platform.
class PortLine final : public Line {
 public:
  explicit PortLine(platform::Handle port = platform::kInvalidHandle) : m_port(port) {}
  void SetPort(platform::Handle port) { m_port = port; }
  platform::Handle Port() const { return m_port; }

  bool Write(const uint8_t* bytes, uint32_t count) override;
  uint32_t Read(uint8_t* buffer, uint32_t count) override;
  void Pause(uint32_t milliseconds) override;

 private:
  platform::Handle m_port;
};

}  // namespace gps
