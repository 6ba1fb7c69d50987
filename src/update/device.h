// The terminal as the updater asks it: installed versions, charger state, reboot. An empty
// version means that it could not be read.
#pragma once

#include <string>

class CDevice {
 public:
  // The boot loader's and the kernel's versions, from the hardware layer.
  std::string GetVersionBoot();
  std::string GetVersionKernel();
  // The application's version from the shell's registry value; "0.00" when there is none.
  std::string GetVersionApps();
  // The GPS firmware version, the last 5 characters of the GPS driver's version text.
  std::string GetVersionGPS();
  // The AC line status: 0 no charger, 1 charger, 255 unknown; 0 when it cannot be read.
  int GetPowerState();
  // Reboots the terminal. Returns true when the reboot control succeeds (normally it does
  // not return at all).
  bool Reboot();
};
