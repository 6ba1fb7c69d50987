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

// Called with the run's settings just before they are destroyed at the end of the program, so
// that whoever ran the updater can report them.
using SettingsObserver = std::function<void(const CUpdateSettings&)>;
void SetSettingsObserver(SettingsObserver observer);
