// The terminal's screen as a list of drawing operations: the updater's dialogs laid out in
// pixels, with their fills, pictures and texts. Every screen of the project is drawn from it:
// the simulator's pictures and window (SDL) and the Win32 build's window (GDI). Only the texts'
// shapes are the renderer's: it draws each in the largest of the text sizes that fits its box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/gui.h"

namespace sim {

inline constexpr int kScreenWidth = 320;
inline constexpr int kScreenHeight = 240;

// Text sizes (pixels to the em) from the dialog font down to the smallest that a long text may
// shrink to; captions are bold at the first size.
inline constexpr int kTextSizes[] = {11, 10, 9, 8};

struct DisplayRect {
  int x = 0, y = 0, w = 0, h = 0;
  bool operator==(const DisplayRect&) const = default;
};

DisplayRect Intersect(const DisplayRect& a, const DisplayRect& b);

enum class TextAlign { kLeft, kCentre, kRight };
enum class TextFace { kRegular, kCaption };

struct DrawOp {
  enum class Kind { kFill, kBitmap, kText };
  Kind kind = Kind::kFill;
  // A fill's area; where a bitmap's top left corner goes (its size is its own); the box a text
  // is placed in: vertically centred, aligned across.
  DisplayRect rect;
  // Nothing is drawn outside it.
  DisplayRect clip{0, 0, kScreenWidth, kScreenHeight};
  uint32_t colour = 0;  // 0xRRGGBB, of a fill or a text
  int bitmap = 0;       // the bitmap resource
  std::string text;
  TextFace face = TextFace::kRegular;
  TextAlign align = TextAlign::kLeft;
  bool operator==(const DrawOp&) const = default;
};

// The operations that draw the frame's dialogs, the first at the bottom, in order. Dialog units
// become pixels at 320/183 across and 240/120 down.
std::vector<DrawOp> LayOutScreen(const platform::ScreenFrame& frame);

}  // namespace sim
