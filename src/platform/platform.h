// The platform backend the updater runs on. The updater reaches every service of the terminal
// through these accessors; a backend (the simulated terminal, or the Win32 one) installs itself
// with Install.
#pragma once

#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "platform/hal.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/types.h"

namespace platform {

struct Backend {
  FileSystem* files = nullptr;
  Registry* registry = nullptr;
  Kernel* kernel = nullptr;
  HardwareLayer* hal = nullptr;
  Gui* gui = nullptr;
  SerialPorts* serial = nullptr;
  Crypto* crypto = nullptr;
};

// Installs a backend; every service must be set. Install({}) removes it.
void Install(const Backend& backend);
bool IsInstalled();

FileSystem& Fs();
Registry& Reg();
Kernel& Kern();
HardwareLayer& Hal();
Gui& Ui();
SerialPorts& Serial();
Crypto& Crypt();

}  // namespace platform
