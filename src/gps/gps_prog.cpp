#include "gps/gps_prog.h"

#include "log/log.h"

// PLACEHOLDER: GPS programming is not built yet. The files are accepted; programming reports
// failure, so a package that updates the GPS firmware ends on the failed screen.
void GPSProgSetBootFile(std::string_view /*file*/, std::string_view /*minDriverVersion*/) {}
void GPSProgSetFirmwareFile(std::string_view /*file*/, std::string_view /*version*/) {}
bool GPSProg() {
  DebugAt(1, "GPSProg: GPS programming is not available in this build\r\n");
  return false;
}

// PLACEHOLDER: no driver state is kept yet.
void ResetGpsState() {}
