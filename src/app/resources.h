// The program's bitmap resources: the screen pictures, built into the program as constant data.
#pragma once

#include <cstdint>
#include <span>

inline constexpr int kPaletteEntries = 256;

// An 8-bit bitmap with its own palette.
struct BitmapResource {
  int id;
  int width;
  int height;
  const uint8_t* palette;  // kPaletteEntries entries of red, green, blue
  const uint8_t* pixels;   // width * height palette indices, top row first
};

// The bitmap with the resource number, or null when the program has none.
const BitmapResource* FindBitmapResource(int id);
// Every bitmap resource, in resource-number order.
std::span<const BitmapResource> BitmapResources();
