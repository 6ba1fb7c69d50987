// The terminal's resident shell "tavimon.exe" and the rerunner that restarts it.
//
// While it runs, the shell holds its programs (*.exe), libraries (*.dll) and fonts (*.ttf,
// *.ttc, *.fon, *.fnt) under "\Flash Disk2" open without sharing, with its fonts loaded, and owns
// a top-level window of class "QUENBYSHELLCLASS". When it starts it reports the installed
// application's version, read from the first line of kVersionFile, in the registry.
#pragma once

#include <string>

#include "sim/processes.h"

namespace sim {

class Terminal;

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

class Shell final : public SimProcess {
 public:
  Shell() : SimProcess(kShellExe, kShellPath) {}

  void OnStart(Terminal& terminal) override;
  intptr_t OnWindowMessage(Terminal& terminal, uint32_t message) override;
  bool CanBeTerminated() const override;
  void OnEnd(Terminal& terminal) override;

  // Ends the shell of this id as a program ends by itself; nothing when it is gone.
  static void EndOnItsOwn(Terminal& terminal, ProcessId id);

 private:
  void HoldFiles(Terminal& terminal, const std::string& folder);
  void Hold(Terminal& terminal, const std::string& path);
  void ReportVersion(Terminal& terminal);

  Terminal* m_terminal = nullptr;
  bool m_endingOnItsOwn = false;
  bool m_endScheduled = false;
};

// Runs until "RERUNNER_STOP" is signalled. It starts the shell when none runs and starts it
// again whenever it ends.
class Rerunner final : public SimProcess {
 public:
  using SimProcess::SimProcess;
  void OnStart(Terminal& terminal) override;
  void OnShellEnded(Terminal& terminal);
};

// Makes the terminal know the two programs and stop the rerunner on "RERUNNER_STOP".
void RegisterShellPrograms(Terminal& terminal);
// Starts the shell unless one runs; returns it.
SimProcess* StartShell(Terminal& terminal);
// The running shell, or null.
SimProcess* FindShell(Terminal& terminal);

}  // namespace sim
