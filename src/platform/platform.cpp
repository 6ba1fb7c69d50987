#include "platform/platform.h"

#include <cstdlib>

namespace platform {

namespace {

Backend g_backend;
thread_local uint32_t t_lastError = 0;

template <typename T>
T& Require(T* service) {
  // Running the updater without a terminal under it is a programming error.
  if (service == nullptr) std::abort();
  return *service;
}

}  // namespace

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t error) { t_lastError = error; }

void Install(const Backend& backend) { g_backend = backend; }
bool IsInstalled() { return g_backend.files != nullptr; }

FileSystem& Fs() { return Require(g_backend.files); }
Registry& Reg() { return Require(g_backend.registry); }
Kernel& Kern() { return Require(g_backend.kernel); }
HardwareLayer& Hal() { return Require(g_backend.hal); }
Gui& Ui() { return Require(g_backend.gui); }
SerialPorts& Serial() { return Require(g_backend.serial); }
Crypto& Crypt() { return Require(g_backend.crypto); }

}  // namespace platform
