// The terminal's GPS driver, the stream device "GPS1:".
#pragma once

#include <functional>
#include <string>

#include "sim/config.h"
#include "sim/file_system.h"
#include "sim/part.h"

namespace sim {

class GpsDriver final : public Device, public TerminalPart {
 public:
  static constexpr uint32_t kIoctlGetVersion = 0x8000200C;

  // The driver answers with the firmware version of the receiver behind it.
  using FirmwareVersion = std::function<std::string()>;
  // Registers itself as "GPS1:" with the file system.
  GpsDriver(const GpsDriverConfig& config, SimFileSystem& files, FirmwareVersion firmware);
  ~GpsDriver() override;

  // Fails with 2 while the terminal has no GPS driver loaded.
  bool Open(uint32_t access, uint32_t share) override;

  // Answers the version query with "<driver version>/<anything><firmware version>" as 8-bit
  // text with its terminator, and its byte count (both configurable).
  bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned) override;

 private:
  const GpsDriverConfig& m_config;
  SimFileSystem& m_files;
  FirmwareVersion m_firmware;
};

}  // namespace sim
