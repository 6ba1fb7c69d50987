// Inside the renderer module only: the fonts of the screen and of the window share one
// FreeType library, which must not be used from two threads at once (the updater's thread draws
// screens while the window's thread draws the face).
#pragma once

#include <mutex>

namespace sim {

// Held around every SDL_ttf call.
std::mutex& FontLock();

}  // namespace sim
