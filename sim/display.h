// The terminal's screen as a picture: the updater's dialogs drawn from a screen frame, without a
// display, and saved as PNG files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/resources.h"
#include "platform/gui.h"
#include "sim/display_list.h"
#include "sim/result.h"

namespace sim {

class SimGui;

// The program's bitmap resources by number, as the renderer draws them.
using BitmapLookup = const BitmapResource* (*)(int id);

// A picture of the whole screen: 0xRRGGBB pixels, top row first.
struct ScreenImage {
  std::vector<uint32_t> pixels = std::vector<uint32_t>(kScreenWidth * kScreenHeight);
  uint32_t At(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * kScreenWidth + static_cast<std::size_t>(x)];
  }
  bool operator==(const ScreenImage&) const = default;
};

// Draws screens. The renderer is a module loaded when the first display is opened, so that the
// drawing libraries load only where pictures are made.
class Display {
 public:
  // Loads the renderer and its fonts; fails with a message that names what cannot be loaded.
  static Result<std::unique_ptr<Display>> Open();
  virtual ~Display() = default;

  // The screen showing the frame's dialogs, the first at the bottom. Dialog units become
  // pixels at 320/183 across and 240/120 down.
  virtual ScreenImage Render(const platform::ScreenFrame& frame) const = 0;
  // Writes the screen showing the frame to a PNG file; on failure the file may be missing.
  virtual Status SavePng(const platform::ScreenFrame& frame,
                         const std::filesystem::path& file) const = 0;
  // Reads a picture of the screen that SavePng wrote; fails on a file that is not a readable
  // 320 by 240 picture.
  virtual Result<ScreenImage> LoadPng(const std::filesystem::path& file) const = 0;
};

// A function of the renderer module by name, the module loaded on first use: named by
// VOSTREL_DISPLAY_MODULE, beside the running program or one folder up, or on the library path.
Result<void*> RendererFunction(const char* name);

// Saves a PNG of the screen at each change of a terminal's screen trace, in order, as
// DIR/0001-screen01.png, DIR/0002-screen02.png, ... with the main dialog's screen number.
class ScreenRecorder {
 public:
  // Creates DIR and becomes the frame sink of gui until it is destroyed.
  static Result<std::unique_ptr<ScreenRecorder>> Start(SimGui& gui,
                                                       const std::filesystem::path& dir);
  ~ScreenRecorder();
  ScreenRecorder(const ScreenRecorder&) = delete;
  ScreenRecorder& operator=(const ScreenRecorder&) = delete;

  // The files written so far.
  const std::vector<std::filesystem::path>& Files() const { return m_files; }
  // The first failure to write a file; the recording goes on after one.
  const Status& Written() const { return m_written; }

 private:
  ScreenRecorder(SimGui& gui, std::filesystem::path dir, std::unique_ptr<Display> display);
  void OnFrame(const platform::ScreenFrame& frame);

  SimGui& m_gui;
  int m_sink = 0;
  std::filesystem::path m_dir;
  std::unique_ptr<Display> m_display;
  std::size_t m_traceSize;
  std::vector<std::filesystem::path> m_files;
  Status m_written;
};

}  // namespace sim
