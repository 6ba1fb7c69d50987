// Window messages of the dialog framework.
#pragma once

#include <cstdint>

namespace ui {

class Window;

inline constexpr uint32_t kWmDestroy = 0x0002;
inline constexpr uint32_t kWmKeyDown = 0x0100;
inline constexpr uint32_t kWmKeyUp = 0x0101;
inline constexpr uint32_t kWmTimer = 0x0113;
inline constexpr uint32_t kPbmSetRange = 0x0401;
inline constexpr uint32_t kPbmSetPos = 0x0402;

// Virtual keys that the updater names.
inline constexpr uint32_t kVkTab = 9;
inline constexpr uint32_t kVkReturn = 13;  // PLAY
inline constexpr uint32_t kVkShift = 16;   // <<
inline constexpr uint32_t kVkControl = 17;  // STOP
inline constexpr uint32_t kVkF1 = 112;
inline constexpr uint32_t kVkF4 = 115;

struct Message {
  // The window the message is for; null for key messages, which go to the active dialog.
  Window* target = nullptr;
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

}  // namespace ui
