// The GPS programming driver's state and its reporting operations, shared by the driver and
// both wire protocols. A run has one state; the driver is not re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "log/log.h"
#include "text/text.h"

class CVirtualFiles;

// The names hold their slots' capacities in UTF-16 units with the terminator.
struct GpsProgState {
  static constexpr std::size_t kBootFileSlot = 260;
  static constexpr std::size_t kSrecFileSlot = 256;
  static constexpr std::size_t kVersionSlot = 10;
  static constexpr std::size_t kMinDriverSlot = 12;
  static constexpr std::size_t kMessageSlot = 512;

  explicit GpsProgState(CVirtualFiles& virtualFiles) : files(virtualFiles) {}
  GpsProgState(const GpsProgState&) = delete;
  GpsProgState& operator=(const GpsProgState&) = delete;

  CVirtualFiles& files;      // the files are read through the run's virtual-file interface
  std::string bootFileName;  // the boot loader, or the binary firmware image (the later setter)
  std::string srecFileName;
  std::string expectedVersion;
  std::string minDriverVersion;
  uint32_t bootFileGiven = 0;
  uint32_t firmwareGiven = 0;
  uint32_t firmwareIsBinary = 0;
  std::unique_ptr<uint8_t[]> binaryBuffer;
  uint32_t binarySize = 0;
  // One byte longer than the file and zero-filled, so the text always ends in a zero.
  std::unique_ptr<uint8_t[]> srecBuffer;
  uint32_t srecSize = 0;
  uint32_t bytesRead = 0;
  uint32_t result = 0;
  std::string messageBuffer;
};

// Formats into the state's message buffer and sends it to the debug output at the level.
template <typename... Args>
void GpsDebug(GpsProgState& g, int level, std::string_view format, const Args&... args) {
  g.messageBuffer =
      text::TruncateToUnits(text::Sprintf(format, args...), GpsProgState::kMessageSlot);
  DebugAt(level, g.messageBuffer);
}

// "GPSProg: <text>" to the debug output at level 1 or more.
void GPSProgStatus(GpsProgState& g, std::string_view text);
// "GPSProg: Progress [n%]" at level 2 or more, the main progress bar to the value, and a yield.
void GPSProgProgress(GpsProgState& g, int value);
// Percent of done in total, counted in 64 bits so that large images do not wrap; 0 for nothing.
inline uint32_t ProgressPercent(uint32_t done, uint32_t total) {
  return total == 0 ? 0 : static_cast<uint32_t>(static_cast<uint64_t>(done) * 100 / total);
}
