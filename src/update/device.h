// The terminal as the updater asks it: installed versions, charger state, reboot.
#pragma once

#include <string>

class CDevice {
 public:
  // The AC line status: 0 no charger, 1 charger, 255 unknown; 0 when it cannot be read.
  int GetPowerState();
  // Reboots the terminal. Returns true when the reboot control succeeds (normally it does
  // not return at all).
  bool Reboot();
};

extern CDevice g_Device;
