// The terminal's GPS driver, the stream device "GPS1:".
#pragma once

#include "sim/file_system.h"

namespace sim {

class Terminal;

class GpsDriver final : public Device {
 public:
  static constexpr uint32_t kIoctlGetVersion = 0x8000200C;

  explicit GpsDriver(Terminal& terminal) : m_terminal(terminal) {}

  // Fails with 2 while the terminal has no GPS driver loaded.
  bool Open(uint32_t access, uint32_t share) override;

  // Answers the version query with "<driver version>/<anything><firmware version>" as 8-bit
  // text with its terminator, and its byte count (both configurable).
  bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned) override;

 private:
  Terminal& m_terminal;
};

}  // namespace sim
