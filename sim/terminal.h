// A simulated terminal: a folder on the host that behaves like the hand-held terminal.
//
//   DIR/terminal.json   its hardware and behaviour
//   DIR/fs/             its file system ("\")
//   DIR/registry.json   HKEY_LOCAL_MACHINE, written on flush
//   DIR/debug.log       the kernel debug output
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/config.h"
#include "sim/file_system.h"
#include "sim/keys.h"
#include "sim/processes.h"
#include "sim/registry.h"
#include "sim/result.h"
#include "sim/scheduler.h"

namespace sim {

class SimKernel;
class SimHal;
class SimGui;
class GpsDriver;

// What the terminal saw happen during a run.
struct Observations {
  int launchSignals = 0;        // "SD_LAUNCH_EVENT" signalled
  int userActivitySignals = 0;  // the power manager's user-activity event signalled
  std::vector<uint64_t> userActivityTimes;  // when, in milliseconds since the start
  int rerunnerStopSignals = 0;  // "RERUNNER_STOP" signalled
  bool rebooted = false;
  int rerunnerStarts = 0;
  int shellStarts = 0;  // the resident shell started, at power on or again later
  int restarts = 0;     // the terminal booted again after a reboot
  std::vector<std::string> startedPrograms;
};

// The versions that the terminal reports as installed; empty when it reports none.
struct InstalledVersions {
  std::string boot;
  std::string kernel;
  std::string application;
  std::string gps;
};

// One change of what the screen shows.
struct TraceEntry {
  uint64_t time = 0;  // milliseconds since the start
  int screen = 0;     // 0 when the main dialog shows no known picture
  bool progressVisible = false;
  int progress = 0;
  bool errorVisible = false;
  std::string errorText;
  bool versionDialog = false;
  bool operator==(const TraceEntry& other) const {
    return screen == other.screen && progressVisible == other.progressVisible &&
           progress == other.progress && errorVisible == other.errorVisible &&
           errorText == other.errorText && versionDialog == other.versionDialog;
  }
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
  // Tests and runs may change the hardware before the updater starts.
  TerminalConfig& MutableConfig() { return m_config; }

  Scheduler& Clock() { return *m_scheduler; }
  SimFileSystem& Files() { return *m_files; }
  SimRegistry& Registry() { return *m_registry; }
  SimKernel& Kernel() { return *m_kernel; }
  SimHal& Hal() { return *m_hal; }
  SimGui& Gui() { return *m_gui; }
  ProcessTable& Processes() { return *m_processes; }
  Observations& Seen() { return m_seen; }

  // Makes this terminal the platform the updater runs on.
  void Install();
  void Uninstall();
  platform::Backend Backend();

  // Milliseconds since the terminal started, and the local time now.
  uint64_t Now() const;
  platform::LocalTime LocalTimeNow() const;

  // What the terminal reports as installed now.
  InstalledVersions Versions();

  // The terminal boots again after a reboot: every process ends, handles left in the system's
  // processes close, and the shell starts when configured to.
  void Restart();
  // True while the terminal ends its processes for a restart or on closing: programs that end
  // then do not start others.
  bool PoweringOff() const { return m_poweringOff; }

  // Appends to DIR/debug.log.
  void DebugOutput(std::string_view text);
  // Everything in DIR/debug.log.
  std::string DebugText();

  // A process object for a program file that is being started: the terminal's own programs
  // (the rerunner, the shell) get their behaviour, any other program simply runs.
  std::unique_ptr<SimProcess> MakeProgram(const std::string& path);
  using ProgramFactory = std::function<std::unique_ptr<SimProcess>(const std::string& path)>;
  void RegisterProgram(const std::string& exeName, ProgramFactory factory);

  // Reacts to a signalled named event (the listeners of the terminal's own programs).
  void OnEventSignalled(const std::string& name);
  // Registers what happens when a named event is signalled.
  void OnEvent(const std::string& name, std::function<void()> listener);

 private:
  Terminal(std::filesystem::path dir, TerminalConfig config, ClockMode mode);
  Status Start();
  // What starts at power on.
  void Boot();
  void EndAllProcesses();

  std::filesystem::path m_dir;
  TerminalConfig m_config;
  std::unique_ptr<Scheduler> m_scheduler;
  std::unique_ptr<SimFileSystem> m_files;
  std::unique_ptr<SimRegistry> m_registry;
  std::unique_ptr<ProcessTable> m_processes;
  std::unique_ptr<SimKernel> m_kernel;
  std::unique_ptr<SimHal> m_hal;
  std::unique_ptr<SimGui> m_gui;
  std::unique_ptr<GpsDriver> m_gpsDriver;
  std::ofstream m_debugLog;
  Observations m_seen;
  std::map<std::string, std::vector<std::function<void()>>> m_listeners;
  std::map<std::string, ProgramFactory> m_programs;  // upper-case executable name
  bool m_poweringOff = false;
};

}  // namespace sim
