// What the screen shows, as the screen trace records it: the main dialog's picture, progress
// bar and error line, and whether the version dialog is open. Each backend's window system
// records a change of it for every frame that changes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/gui.h"

namespace sim {

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

// The entry of a frame (time not set); none when the frame does not show the main dialog (it
// closed, leaving the last picture on the screen).
std::optional<TraceEntry> TraceEntryOf(const platform::ScreenFrame& frame);

// The exit code of a run that ended on a screen: 0 completed (8) or nothing to update (5),
// 1 failed (9), 2 invalid package (2), 3 restart required (11), 4 any other.
int ExitCodeForScreen(int screen);

}  // namespace sim
