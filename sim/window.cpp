#include "sim/window.h"

#include <cstdlib>

namespace sim {

namespace {

using OpenWindowFunction = TerminalWindow* (*)(const WindowOptions*, std::string*);

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

bool HaveDisplay() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("SDL_VIDEODRIVER");
}

Result<std::unique_ptr<TerminalWindow>> TerminalWindow::Open(const WindowOptions& options) {
  using Opened = Result<std::unique_ptr<TerminalWindow>>;
  auto function = RendererFunction("VostrelOpenWindow");
  if (!function) return Opened::Failure(function.error());
  std::string error;
  TerminalWindow* window = reinterpret_cast<OpenWindowFunction>(*function)(&options, &error);
  if (window == nullptr) return Opened::Failure(error);
  return std::unique_ptr<TerminalWindow>(window);
}

}  // namespace sim
