// A terminal folder (the simulator's layout: terminal.json, fs/, registry.json, flash/, gps/,
// debug.log) served to the updater by the Win32 backend: Windows' own services where Windows has
// them, the terminal's device models where it does not.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "sim/config.h"
#include "sim/debug_log.h"
#include "sim/disk_driver.h"
#include "sim/flash_media.h"
#include "sim/gps_driver.h"
#include "sim/memory.h"
#include "sim/result.h"
#include "win32/crypto.h"
#include "win32/files.h"
#include "win32/gui.h"
#include "win32/hal.h"
#include "win32/kernel.h"
#include "win32/registry.h"
#include "win32/serial.h"

namespace win32 {

// The updater rebooted the terminal: its process ends where it asked for the reboot.
struct Rebooted {};

class Win32Terminal {
 public:
  // Opens the terminal in `dir` and powers it on: the devices, then the shell (started from
  // `standIns` unless it runs already). The window opens only with OpenScreen.
  static sim::Result<std::unique_ptr<Win32Terminal>> Open(const std::filesystem::path& dir,
                                                          const std::wstring& standIns,
                                                          Win32Gui::Options gui);
  ~Win32Terminal();
  Win32Terminal(const Win32Terminal&) = delete;
  Win32Terminal& operator=(const Win32Terminal&) = delete;

  sim::Status OpenScreen();
  platform::Backend Backend();
  const sim::TerminalConfig& Config() const { return m_config; }
  Win32Gui& Gui() { return m_gui; }
  Win32Registry& Registry() { return m_registry; }

  // The terminal starts again after a reboot: its programs end, its devices and its shell start.
  void Restart();

 private:
  Win32Terminal(std::filesystem::path dir, sim::TerminalConfig config, std::wstring standIns,
                Win32Gui::Options gui);
  sim::Status Start();
  void PowerOn();
  void PowerOff();
  std::string GpsFirmwareVersion();
  // The GPS driver hands the chip over or takes it back, and waits until it followed.
  void SetChipMode(const char* mode);

  std::filesystem::path m_dir;
  sim::TerminalConfig m_config;
  StandIns m_standIns;
  sim::DebugLog m_debug;
  sim::SimMemory m_memory;
  Win32FileSystem m_files;
  Win32Registry m_registry;
  Win32Kernel m_kernel;
  Win32Hal m_hal;
  Win32Gui m_gui;
  Win32SerialPorts m_serial;
  Win32Crypto m_crypto;
  sim::DiskDriver m_disk;
  sim::GpsDriver m_gpsDriver;
  std::unique_ptr<sim::FlashMedia> m_flash;
};

}  // namespace win32
