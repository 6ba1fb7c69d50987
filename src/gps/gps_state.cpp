#include "gps/gps_state.h"

#include "package/file_virtual.h"
#include "platform/platform.h"

void GPSProgStatus(GpsProgState& g, std::string_view text) {
  GpsDebug(g, 1, "GPSProg: %s\r\n", text);
}

void GPSProgProgress(GpsProgState& g, int value) {
  GpsDebug(g, 2, "GPSProg: Progress [%d%%]\r", value);
  InterfaceSetProgress(value);
  platform::Kern().Sleep(0);
}
