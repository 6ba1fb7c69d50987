// The GPS programming driver: the update sequence names the boot-loader file and the firmware
// file of a GPS item, then programs the receiver. The files are read from the package; a binary
// firmware image (a name holding ".bin" or ".BIN") goes through the flash engine, an S-record
// file through an uploaded boot loader. The terminal's GPS driver "GPS1:" hands the receiver over
// for the programming (mode 2), takes it back (mode 1) and reports the firmware version, which
// must be the one expected. Everything the driver reports goes to the kernel debug output.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/types.h"

// The GPS driver's controls.
inline constexpr uint32_t kIoctlGpsGetVersion = 0x8000200C;
inline constexpr uint32_t kIoctlGpsSetMode = 0x80002020;
inline constexpr uint32_t kIoctlGpsComplete = 0x80002008;
inline constexpr uint8_t kGpsModeProgramming = 2;
inline constexpr uint8_t kGpsModeNormal = 1;

// The driver's state: one for the program; it is not re-entrant. The names hold their slots'
// capacities in UTF-16 units with the terminator.
struct GpsProgState {
  static constexpr std::size_t kBootFileSlot = 260;
  static constexpr std::size_t kSrecFileSlot = 256;
  static constexpr std::size_t kVersionSlot = 10;
  static constexpr std::size_t kMinDriverSlot = 12;
  static constexpr std::size_t kMessageSlot = 512;

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
extern GpsProgState g_GpsProg;

// Names the boot-loader file and the oldest GPS driver that can take part. 1; 0 when the name
// does not fit its slot, which leaves the state as it was (a cut name could name another
// member). A version longer than its slot is cut.
int GPSProgSetBootFile(std::string_view file, std::string_view minDriverVersion);
// Names the firmware file and the version the receiver must report afterwards; a name holding
// ".bin" or ".BIN" is a binary image and takes the boot file's slot. 1, or 0 as above.
int GPSProgSetFirmwareFile(std::string_view file, std::string_view version);
// Programs the receiver from the files named; 1 when the new firmware was verified.
int GPSProg();

// "GPSProg: <text>" to the debug output at level 1 or more.
void GPSProgStatus(std::string_view text);
// "GPSProg: Progress [n%]" at level 2 or more, the main progress bar to the value, and a yield.
void GPSProgProgress(int value);
// Percent of done in total, counted in 64 bits so that large images do not wrap; 0 for nothing.
inline uint32_t ProgressPercent(uint32_t done, uint32_t total) {
  return total == 0 ? 0 : static_cast<uint32_t>(static_cast<uint64_t>(done) * 100 / total);
}

// Reads the named files and programs along the path they select; frees the buffers after.
void GPSProgReadFiles();
// The two paths; 1 on a verified programming (the serial path also after "OS Upgrade
// required.", without touching the chip).
int GPSProgramGpsSerial();
int GPSProgramGpsFast();
// The version gates on the open GPS driver.
bool GPSCheckDriverVersion(platform::Handle gps);
bool GPSVerifyFirmwareVersion(platform::Handle gps);
// "LoadAlways" under "Drivers\Builtin\GPSDev": set before programming, deleted once verified.
void GPSSetLoadAlways();
void GPSClearLoadAlways();

// Forgets the files named and every state of the driver and its protocols, as at program start.
void ResetGpsState();
