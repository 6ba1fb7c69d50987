// A simulated terminal: a folder on the host that behaves like the hand-held terminal.
//
//   DIR/terminal.json   its hardware and behaviour
//   DIR/fs/             its file system ("\")
//   DIR/registry.json   HKEY_LOCAL_MACHINE, written on flush
//   DIR/flash/          the flash disk's chip
//   DIR/debug.log       the kernel debug output
//   DIR/gps/            the GPS chip's flash, once it was programmed
//
// The terminal is its core services (the clock, the file system, the registry, the processes,
// the named events, the kernel, the hardware layer and the window system) and its parts, each
// made with only the services it uses, of the kinds that sim/part_kinds.h lists: the resident
// shell, the GPS chip and its driver, the flash disk's chip and its driver, and further devices.
// The terminal finds a part by what it is: Find<GpsChip>().
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/config.h"
#include "sim/crypto.h"
#include "sim/debug_log.h"
#include "sim/events.h"
#include "sim/file_system.h"
#include "sim/gui.h"
#include "sim/hal.h"
#include "sim/kernel.h"
#include "sim/memory.h"
#include "sim/observations.h"
#include "sim/part.h"
#include "sim/processes.h"
#include "sim/registry.h"
#include "sim/result.h"
#include "sim/scheduler.h"
#include "sim/serial_line.h"
#include "sim/write_steps.h"

namespace sim {

// The versions that the terminal reports as installed; empty when it reports none.
struct InstalledVersions {
  std::string boot;
  std::string kernel;
  std::string application;
  std::string gps;
};

// Whether the terminal starts when it is powered on, decided from what its binary partitions
// hold: a boot loader image whose writing began and never reached its end does not start; a
// kernel image torn that way leaves the terminal in its boot loader; anything else starts (so
// does a terminal without a flash chip).
enum class BootState { kStarts, kBootLoaderOnly, kDoesNotStart };
const char* BootStateName(BootState state);

// One run at a time on a terminal folder: the lock is held on DIR/terminal.lock while the object
// lives, and goes with the process however it ends.
class TerminalLock {
 public:
  // Fails, naming the folder, while another process holds the terminal.
  static Result<TerminalLock> Take(const std::filesystem::path& dir);
  ~TerminalLock();
  TerminalLock(TerminalLock&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  TerminalLock& operator=(TerminalLock&&) = delete;
  TerminalLock(const TerminalLock&) = delete;
  TerminalLock& operator=(const TerminalLock&) = delete;

 private:
  explicit TerminalLock(int fd) : m_fd(fd) {}
  int m_fd = -1;
};

class Terminal {
 public:
  // Creates a terminal folder with the given configuration. Fails when DIR holds a terminal
  // already or cannot be created.
  static Status Init(const std::filesystem::path& dir, const TerminalConfig& config = {});
  // Opens a terminal folder; the clock starts at the configured time.
  static Result<std::unique_ptr<Terminal>> Open(const std::filesystem::path& dir,
                                                ClockMode mode = ClockMode::kVirtual);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  const std::filesystem::path& Dir() const { return m_dir; }
  const TerminalConfig& Config() const { return m_config; }
  // Tests and runs may change the hardware before the updater starts; the parts see the
  // change.
  TerminalConfig& MutableConfig() { return m_config; }

  Scheduler& Clock() { return *m_scheduler; }
  SimFileSystem& Files() { return *m_files; }
  SimRegistry& Registry() { return *m_registry; }
  SimKernel& Kernel() { return *m_kernel; }
  SimHal& Hal() { return *m_hal; }
  SimGui& Gui() { return *m_gui; }
  ProcessTable& Processes() { return *m_processes; }
  EventBus& Events() { return m_events; }
  SimSerialPorts& Serial() { return *m_serial; }
  Observations& Seen() { return m_seen; }
  SimMemory& Memory() { return *m_memory; }
  // The part that is a Part (a class of sim/part_kinds.h or an interface one implements), or
  // null when the terminal has none.
  template <typename Part>
  Part* Find() const {
    return m_parts.Find<Part>();
  }

  // Makes this terminal the platform the updater runs on.
  void Install();
  void Uninstall();
  platform::Backend Backend();

  // Milliseconds since the terminal started.
  uint64_t Now() const;

  // What the terminal reports as installed now, asked as the updater asks it. A terminal that
  // does not start reports nothing; one in its boot loader reports only the boot loader's.
  InstalledVersions Versions();

  // How the terminal started at its last power-on, and why when it did not start.
  BootState Boot() const { return m_boot; }
  const std::string& BootReason() const { return m_bootReason; }

  // The write steps of the current or last run (see sim/write_steps.h).
  WriteSteps& Steps() { return m_steps; }

  // The terminal boots again after a reboot: every process ends, handles left in the system's
  // processes close, and the parts power on again.
  void Restart();
  // The power goes in the middle of a run: the updater stops where it is, at once when this is
  // called on one of its threads, else at its next wait; the run then ends and the terminal
  // starts again as after a reboot. What the devices hold stays as it is at this instant.
  void CutPower();

  // Everything in DIR/debug.log.
  std::string DebugText() { return m_debugLog.Text(); }
  DebugLog& Debug() { return m_debugLog; }

  // What the parts hold, a few lines each, for "vostrel sim show".
  std::string DescribeParts();

 private:
  Terminal(std::filesystem::path dir, TerminalConfig config, ClockMode mode);
  Status Start();
  void PowerOn();
  void PowerOff();
  void DecideBoot();
  void OnFileChange(const SimFileSystem::ChangeNote& note);

  std::filesystem::path m_dir;
  TerminalConfig m_config;
  Observations m_seen;
  EventBus m_events;
  DebugLog m_debugLog;
  std::unique_ptr<Scheduler> m_scheduler;
  std::unique_ptr<SimFileSystem> m_files;
  std::unique_ptr<SimRegistry> m_registry;
  std::unique_ptr<ProcessTable> m_processes;
  std::unique_ptr<SimKernel> m_kernel;
  std::unique_ptr<SimHal> m_hal;
  std::unique_ptr<SimGui> m_gui;
  std::unique_ptr<SimSerialPorts> m_serial;
  SimCrypto m_crypto{&m_config};
  std::unique_ptr<SimMemory> m_memory;
  // Made in the order of PartKinds(); they power on in that order and off in reverse.
  PartList m_parts;
  WriteSteps m_steps;
  BootState m_boot = BootState::kStarts;
  std::string m_bootReason;
};

}  // namespace sim
