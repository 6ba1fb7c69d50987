// The application object: starts the updater, runs the main dialog, ends the program.
#pragma once

#include <functional>
#include <string>
#include <string_view>

class CUpdateSettings;

class CVostrelHHTApp {
 public:
  explicit CVostrelHHTApp(std::string commandLine) : m_commandLine(std::move(commandLine)) {}

  // Runs the whole program; returns false so that the process ends when it returns.
  bool InitInstance();

 private:
  std::string m_commandLine;
};

// Runs the updater as the terminal starts it, with its command line; returns the process's
// exit code.
int RunVostrelHHT(std::string_view commandLine);

// Called with the run's settings just before they are destroyed at the end of the program (or
// when a cut-off run is cleaned up), so that whoever ran the updater can report them.
using SettingsObserver = std::function<void(const CUpdateSettings&)>;
void SetSettingsObserver(SettingsObserver observer);

// Releases what a run left behind when it was cut off (a reboot or the end of a simulation)
// and puts every process-wide variable back to its value at program start.
void ResetProcessState();
