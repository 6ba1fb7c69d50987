// The application object: starts the updater, runs the main dialog, ends the program.
#pragma once

#include <string>
#include <string_view>

#include "update/run_context.h"

class CVostrelHHTApp {
 public:
  CVostrelHHTApp(std::string commandLine, RunObserver observer)
      : m_commandLine(std::move(commandLine)), m_observer(std::move(observer)) {}

  // Runs the whole program in a context of its own; returns false so that the process ends
  // when it returns.
  bool InitInstance();

 private:
  std::string m_commandLine;
  RunObserver m_observer;
};

// Runs the updater as the terminal starts it, with its command line; returns the process's
// exit code. The observer (if any) sees the run just before it ends, however it ends.
int RunVostrelHHT(std::string_view commandLine, RunObserver observer = {});
