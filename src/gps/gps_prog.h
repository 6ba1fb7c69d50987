// The GPS programming driver: the update sequence names the boot-loader file and the firmware
// file of a GPS item, then programs the receiver.
#pragma once

#include <string_view>

// Names the boot-loader file and the oldest GPS driver that can take part. Always succeeds.
void GPSProgSetBootFile(std::string_view file, std::string_view minDriverVersion);
// Names the firmware file and the version the receiver must report afterwards. Always succeeds.
void GPSProgSetFirmwareFile(std::string_view file, std::string_view version);
// Programs the receiver from the files named; true when the new firmware was verified.
bool GPSProg();

// Forgets the files named and the driver state, as at program start.
void ResetGpsState();
