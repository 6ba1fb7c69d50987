// The options that show a run in the terminal's window, shared by "vostrel sim run" and
// "vostrel demo": --window, --scale N, --speed N.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>

#include "sim/result.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "sim/window.h"

namespace tools {

struct WindowArgs {
  bool window = false;
  int scale = 0;       // 0: not given
  uint32_t speed = 0;  // 0: not given
};

// Adds --window, --scale and --speed; `speedNeeds` names what else allows --speed ("--window",
// or "--window or --realtime").
void AddWindowOptions(CLI::App* command, WindowArgs* args, const std::string& speedNeeds);

// The first thing wrong with the options as given, "" when nothing is: --scale without
// --window, --speed without --window (or --realtime, for a command that has it: `realtime`
// tells whether it was given), --window without a display.
std::string CheckWindowArgs(const WindowArgs& args, std::optional<bool> realtime);

// Opens the window with the terminal's folder in its title.
sim::Result<std::unique_ptr<sim::TerminalWindow>> OpenTerminalWindow(const WindowArgs& args,
                                                                     const std::string& dir);

}  // namespace tools
