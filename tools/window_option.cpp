#include "tools/window_option.h"

namespace tools {

namespace {

constexpr int kDefaultScale = 2;

}  // namespace

void AddWindowOptions(CLI::App* command, WindowArgs* args, const std::string& speedNeeds) {
  command->add_flag("--window", args->window,
                    "Show the run in a window with the terminal's face and keys, in real time: "
                    "PLAY Enter, STOP Esc, << Backspace, TAB Tab, F1 to F4 the same keys, or "
                    "click the keys (a click on TAB holds it until the next); closing the window "
                    "cuts the terminal's power");
  command
      ->add_option("--scale", args->scale,
                   "With --window: window pixels per screen pixel (1 to 4, default 2)")
      ->check(CLI::Range(1, 4));
  command
      ->add_option("--speed", args->speed,
                   "With " + speedNeeds +
                       ": the terminal's clock runs N times faster than the host's (1 to "
                       "100000, default 1)")
      ->check(CLI::Range(1, 100000));
}

std::string CheckWindowArgs(const WindowArgs& args, std::optional<bool> realtime) {
  if (args.scale != 0 && !args.window) return "--scale needs --window";
  if (args.speed != 0 && !args.window && !realtime.value_or(false)) {
    return std::string(realtime ? "--speed needs --window or --realtime"
                                : "--speed needs --window") +
           ": in virtual time a run takes no time at all";
  }
  if (args.window && !sim::HaveDisplay()) {
    return "--window: no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is "
           "set)";
  }
  return {};
}

sim::Result<std::unique_ptr<sim::TerminalWindow>> OpenTerminalWindow(const WindowArgs& args,
                                                                     const std::string& dir) {
  sim::WindowOptions options;
  options.title = "VostrelHHT terminal - " + dir;
  options.scale = args.scale != 0 ? args.scale : kDefaultScale;
  return sim::TerminalWindow::Open(options);
}

}  // namespace tools
