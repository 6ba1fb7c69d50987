#include "sim/screen_trace.h"

#include "app/screens.h"

namespace sim {

namespace {

constexpr int kMainTemplate = 102;
constexpr int kVersionTemplate = 132;
constexpr int kPictureControl = 1001;
constexpr int kProgressControl = 1007;
constexpr int kErrorControl = 1008;

int ScreenOfBitmap(int bitmap) {
  for (const ScreenInfo* info = ScreensBegin(); info != ScreensEnd(); ++info) {
    if (info->bitmap == bitmap) return info->screen;
  }
  return 0;
}

}  // namespace

std::optional<TraceEntry> TraceEntryOf(const platform::ScreenFrame& frame) {
  TraceEntry entry;
  bool mainShown = false;
  for (const platform::DialogState& dialog : frame.dialogs) {
    if (dialog.templateId == kVersionTemplate) entry.versionDialog = true;
    if (dialog.templateId != kMainTemplate) continue;
    mainShown = true;
    for (const platform::ControlState& control : dialog.controls) {
      if (control.id == kPictureControl) entry.screen = ScreenOfBitmap(control.bitmap);
      if (control.id == kProgressControl) {
        entry.progressVisible = control.visible;
        entry.progress = control.position;
      }
      if (control.id == kErrorControl) {
        entry.errorVisible = control.visible;
        entry.errorText = control.text;
      }
    }
  }
  // The dialog closing leaves the last picture on the terminal's screen.
  if (!mainShown) return std::nullopt;
  return entry;
}

int ExitCodeForScreen(int screen) {
  switch (screen) {
    case 5:
    case 8:
      return 0;
    case 9:
      return 1;
    case 2:
      return 2;
    case 11:
      return 3;
    default:
      return 4;
  }
}

}  // namespace sim
