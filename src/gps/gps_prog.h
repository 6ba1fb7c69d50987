// The GPS programming driver: the update sequence names the boot-loader file and the firmware
// file of a GPS item, then programs the receiver. The files are read from the package; a binary
// firmware image (a name holding ".bin" or ".BIN") goes through the flash engine, an S-record
// file through an uploaded boot loader. The terminal's GPS driver "GPS1:" hands the receiver over
// for the programming (mode 2), takes it back (mode 1) and reports the firmware version, which
// must be the one expected. Everything the driver reports goes to the kernel debug output.
#pragma once

#include <cstdint>
#include <string_view>

#include "gps/gps_state.h"
#include "platform/types.h"

struct FlashEngineSession;
struct FlashProgramState;

// The GPS driver's controls.
inline constexpr uint32_t kIoctlGpsGetVersion = 0x8000200C;
inline constexpr uint32_t kIoctlGpsSetMode = 0x80002020;
inline constexpr uint32_t kIoctlGpsComplete = 0x80002008;
inline constexpr uint8_t kGpsModeProgramming = 2;
inline constexpr uint8_t kGpsModeNormal = 1;

// Names the boot-loader file and the oldest GPS driver that can take part. 1; 0 when the name
// does not fit its slot, which leaves the state as it was (a cut name could name another
// member). A version longer than its slot is cut.
int GPSProgSetBootFile(GpsProgState& g, std::string_view file, std::string_view minDriverVersion);
// Names the firmware file and the version the receiver must report afterwards; a name holding
// ".bin" or ".BIN" is a binary image and takes the boot file's slot. 1, or 0 as above.
int GPSProgSetFirmwareFile(GpsProgState& g, std::string_view file, std::string_view version);
// Programs the receiver from the files named; 1 when the new firmware was verified. A binary
// image goes through the run's flash-engine session and programming sequence.
int GPSProg(GpsProgState& g, FlashEngineSession& engine, FlashProgramState& program);

// Reads the named files and programs along the path they select; frees the buffers after.
void GPSProgReadFiles(GpsProgState& g, FlashEngineSession& engine, FlashProgramState& program);
// The two paths; 1 on a verified programming (the serial path also after "OS Upgrade
// required.", without touching the chip).
int GPSProgramGpsSerial(GpsProgState& g);
int GPSProgramGpsFast(GpsProgState& g, FlashEngineSession& engine, FlashProgramState& program);
// The version gates on the open GPS driver.
bool GPSCheckDriverVersion(const GpsProgState& g, platform::Handle gps);
bool GPSVerifyFirmwareVersion(const GpsProgState& g, platform::Handle gps);
// "LoadAlways" under "Drivers\Builtin\GPSDev": set before programming, deleted once verified.
void GPSSetLoadAlways();
void GPSClearLoadAlways();
