// The terminal's resident shell "tavimon.exe" and the rerunner that restarts it.
//
// While it runs, the shell holds its programs (*.exe), libraries (*.dll) and fonts (*.ttf,
// *.ttc, *.fon, *.fnt) under "\Flash Disk2" open without sharing, with its fonts loaded, and owns
// a top-level window of class "QUENBYSHELLCLASS". When it starts it reports the installed
// application's version, read from the first line of kVersionFile, in the registry.
#pragma once

#include <string>

#include "sim/events.h"
#include "sim/file_system.h"
#include "sim/gui.h"
#include "sim/observations.h"
#include "sim/part.h"
#include "sim/processes.h"
#include "sim/registry.h"
#include "sim/scheduler.h"
#include "sim/shell_config.h"

namespace sim {

inline constexpr const char* kShellExe = "tavimon.exe";
// The shell's program; the simulated shell runs whether or not this file exists.
inline constexpr const char* kShellPath = "\\Flash Disk2\\tavimon.exe";
inline constexpr const char* kShellWindowClass = "QUENBYSHELLCLASS";
inline constexpr const char* kShellFolder = "\\Flash Disk2";
inline constexpr const char* kRerunnerExe = "rerunner.exe";
inline constexpr const char* kRerunnerStopEvent = "RERUNNER_STOP";
// An application package copies this file to say which version it installs.
inline constexpr const char* kVersionFile = "\\Flash Disk2\\Tavimon\\version.txt";
inline constexpr const char* kVersionKey = "Tavimon\\VersionInfo";
inline constexpr const char* kVersionValue = "Version";
// The system process that keeps a handle the shell left behind when it was terminated
// (device.exe, which never ends).
inline constexpr ProcessId kOrphanHolder = 0x004A;

inline constexpr uint32_t kWmDestroy = 2;

// What the shell and the rerunner work with.
struct ShellServices {
  const ShellConfig& config;
  SimFileSystem& files;
  ProcessTable& processes;
  SimRegistry& registry;
  SimGui& gui;
  Scheduler& clock;
  Observations& seen;
};

class Shell final : public SimProcess {
 public:
  explicit Shell(const ShellServices& services)
      : SimProcess(kShellExe, kShellPath), m_services(services) {}

  void OnStart() override;
  intptr_t OnWindowMessage(uint32_t message) override;
  bool CanBeTerminated() const override;
  void OnEnd() override;

  // Ends the shell of this id as a program ends by itself; nothing when it is gone.
  static void EndOnItsOwn(ProcessTable& processes, ProcessId id);

 private:
  void HoldFiles(const std::string& folder);
  void Hold(const std::string& path);
  void ReportVersion();

  ShellServices m_services;
  bool m_endingOnItsOwn = false;
  bool m_endScheduled = false;
};

// Runs until "RERUNNER_STOP" is signalled. It starts the shell when none runs and starts it
// again whenever it ends.
class Rerunner final : public SimProcess {
 public:
  Rerunner(const ShellServices& services, const std::string& path);
  void OnStart() override;
  void OnShellEnded();

 private:
  ShellServices m_services;
};

// The shell and the rerunner as a part of the terminal: the terminal knows both programs, the
// rerunner stops on "RERUNNER_STOP", and the shell starts at power on when configured to.
class ShellPart final : public TerminalPart {
 public:
  ShellPart(const ShellServices& services, EventBus& events);
  void PowerOn() override;
  bool NeedsOperatingSystem() const override { return true; }

 private:
  ShellServices m_services;
};

// Starts the shell unless one runs; returns it.
SimProcess* StartShell(const ShellServices& services);
// The running shell, or null.
SimProcess* FindShell(const ProcessTable& processes);

}  // namespace sim
