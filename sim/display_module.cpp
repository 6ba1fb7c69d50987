#include "sim/display.h"

// The screen renderer, a module of its own: SDL2 and the libraries it brings load only when
// pictures are drawn, not with every vostrel command.

#define SDL_MAIN_HANDLED
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "app/resources.h"
#include "sim/module_fonts.h"

namespace sim {

namespace {
// The program's bitmap resources, handed over by whoever loads the module.
BitmapLookup g_findBitmap = nullptr;
}  // namespace

std::mutex& FontLock() {
  static std::mutex lock;
  return lock;
}

struct DisplayFonts {
  std::array<TTF_Font*, std::size(kTextSizes)> regular{};
  TTF_Font* caption = nullptr;
  bool initialised = false;

  ~DisplayFonts() {
    std::lock_guard lock(FontLock());
    for (TTF_Font* font : regular) {
      if (font != nullptr) TTF_CloseFont(font);
    }
    if (caption != nullptr) TTF_CloseFont(caption);
    if (initialised) TTF_Quit();
  }
};

namespace {

SDL_Rect ToSdl(const DisplayRect& rect) { return {rect.x, rect.y, rect.w, rect.h}; }

// Draws the operations of the display list onto a surface.
class Painter {
 public:
  Painter(SDL_Surface* surface, const DisplayFonts& fonts) : m_surface(surface), m_fonts(fonts) {}

  void Draw(const DrawOp& op) {
    switch (op.kind) {
      case DrawOp::Kind::kFill: {
        const SDL_Rect visible = ToSdl(Intersect(op.rect, op.clip));
        SDL_FillRect(m_surface, &visible, op.colour);
        return;
      }
      case DrawOp::Kind::kBitmap:
        Picture(op);
        return;
      case DrawOp::Kind::kText:
        Text(op);
        return;
    }
  }

 private:
  void Picture(const DrawOp& op) {
    const BitmapResource* resource = g_findBitmap(op.bitmap);
    if (resource == nullptr) return;
    SDL_Surface* picture = SDL_CreateRGBSurfaceWithFormatFrom(
        const_cast<uint8_t*>(resource->pixels), resource->width, resource->height, 8,
        resource->width, SDL_PIXELFORMAT_INDEX8);
    if (picture == nullptr) return;
    std::array<SDL_Color, kPaletteEntries> colours{};
    for (int i = 0; i < kPaletteEntries; ++i) {
      const uint8_t* entry = resource->palette + 3 * i;
      colours[static_cast<std::size_t>(i)] = {entry[0], entry[1], entry[2], 255};
    }
    SDL_SetPaletteColors(picture->format->palette, colours.data(), 0, kPaletteEntries);
    SDL_Rect target{op.rect.x, op.rect.y, resource->width, resource->height};
    const SDL_Rect clip = ToSdl(op.clip);
    SDL_SetClipRect(m_surface, &clip);
    SDL_BlitSurface(picture, nullptr, m_surface, &target);
    SDL_SetClipRect(m_surface, nullptr);
    SDL_FreeSurface(picture);
  }

  // A caption in its own font; other texts in the largest size in which they fit, or clipped in
  // the smallest.
  void Text(const DrawOp& op) {
    std::lock_guard lock(FontLock());
    TTF_Font* font = m_fonts.caption;
    if (op.face == TextFace::kRegular) {
      font = m_fonts.regular.back();
      for (TTF_Font* candidate : m_fonts.regular) {
        int width = 0;
        int height = 0;
        if (TTF_SizeUTF8(candidate, op.text.c_str(), &width, &height) == 0 && width <= op.rect.w) {
          font = candidate;
          break;
        }
      }
    }
    const SDL_Color colour{static_cast<uint8_t>(op.colour >> 16),
                           static_cast<uint8_t>(op.colour >> 8), static_cast<uint8_t>(op.colour),
                           255};
    SDL_Surface* rendered = TTF_RenderUTF8_Blended(font, op.text.c_str(), colour);
    if (rendered == nullptr) return;
    SDL_Rect target{op.rect.x, op.rect.y + (op.rect.h - rendered->h) / 2, rendered->w, rendered->h};
    if (op.align == TextAlign::kCentre) target.x += (op.rect.w - rendered->w) / 2;
    if (op.align == TextAlign::kRight) target.x += op.rect.w - rendered->w;
    const SDL_Rect clip = ToSdl(op.clip);
    SDL_SetClipRect(m_surface, &clip);
    SDL_BlitSurface(rendered, nullptr, m_surface, &target);
    SDL_SetClipRect(m_surface, nullptr);
    SDL_FreeSurface(rendered);
  }

  SDL_Surface* m_surface;
  const DisplayFonts& m_fonts;
};

// The screen as an SDL surface whose pixels are 0x00RRGGBB; null when SDL has no memory.
SDL_Surface* Draw(const platform::ScreenFrame& frame, const DisplayFonts& fonts) {
  SDL_Surface* surface =
      SDL_CreateRGBSurfaceWithFormat(0, kScreenWidth, kScreenHeight, 32, SDL_PIXELFORMAT_RGB888);
  if (surface == nullptr) return nullptr;
  Painter painter(surface, fonts);
  for (const DrawOp& op : LayOutScreen(frame)) painter.Draw(op);
  return surface;
}

// A 320 by 240 surface of SDL_PIXELFORMAT_RGB888.
void CopyPixels(const SDL_Surface* surface, ScreenImage* image) {
  for (int y = 0; y < kScreenHeight; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(
        static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch);
    for (int x = 0; x < kScreenWidth; ++x) {
      image->pixels[static_cast<std::size_t>(y) * kScreenWidth + static_cast<std::size_t>(x)] =
          row[x] & 0xFFFFFF;
    }
  }
}

class SdlDisplay final : public Display {
 public:
  explicit SdlDisplay(std::unique_ptr<DisplayFonts> fonts) : m_fonts(std::move(fonts)) {}

  ScreenImage Render(const platform::ScreenFrame& frame) const override {
    ScreenImage image;
    SDL_Surface* surface = Draw(frame, *m_fonts);
    if (surface == nullptr) return image;
    CopyPixels(surface, &image);
    SDL_FreeSurface(surface);
    return image;
  }

  Status SavePng(const platform::ScreenFrame& frame,
                 const std::filesystem::path& file) const override {
    SDL_Surface* surface = Draw(frame, *m_fonts);
    if (surface == nullptr) return Status::Failure(std::string("cannot draw: ") + SDL_GetError());
    const int saved = IMG_SavePNG(surface, file.c_str());
    SDL_FreeSurface(surface);
    if (saved != 0) return Status::Failure(file.string() + ": " + IMG_GetError());
    return {};
  }

  Result<ScreenImage> LoadPng(const std::filesystem::path& file) const override {
    SDL_Surface* loaded = IMG_Load(file.c_str());
    if (loaded == nullptr) {
      return Result<ScreenImage>::Failure(file.string() + ": " + IMG_GetError());
    }
    SDL_Surface* surface = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGB888, 0);
    SDL_FreeSurface(loaded);
    if (surface == nullptr) {
      return Result<ScreenImage>::Failure(file.string() + ": " + SDL_GetError());
    }
    if (surface->w != kScreenWidth || surface->h != kScreenHeight) {
      SDL_FreeSurface(surface);
      return Result<ScreenImage>::Failure(file.string() + ": not a picture of the whole screen");
    }
    ScreenImage image;
    CopyPixels(surface, &image);
    SDL_FreeSurface(surface);
    return image;
  }

 private:
  std::unique_ptr<DisplayFonts> m_fonts;
};

}  // namespace

// Loads the fonts; null with *error naming a font that cannot be loaded.
extern "C" __attribute__((visibility("default"))) Display* VostrelOpenDisplay(
    BitmapLookup findBitmap, std::string* error) {
  g_findBitmap = findBitmap;
  // Made before the lock is taken, so that a failure frees the fonts after it is released.
  auto fonts = std::make_unique<DisplayFonts>();
  std::lock_guard lock(FontLock());
  if (TTF_Init() != 0) {
    *error = TTF_GetError();
    return nullptr;
  }
  fonts->initialised = true;
  const std::filesystem::path dir = VOSTREL_FONT_DIR;
  const std::filesystem::path regular = dir / "DejaVuSans.ttf";
  const std::filesystem::path bold = dir / "DejaVuSans-Bold.ttf";
  for (std::size_t i = 0; i < std::size(kTextSizes); ++i) {
    fonts->regular[i] = TTF_OpenFont(regular.c_str(), kTextSizes[i]);
    if (fonts->regular[i] == nullptr) {
      *error = regular.string() + ": " + TTF_GetError();
      return nullptr;
    }
  }
  fonts->caption = TTF_OpenFont(bold.c_str(), kTextSizes[0]);
  if (fonts->caption == nullptr) {
    *error = bold.string() + ": " + TTF_GetError();
    return nullptr;
  }
  return new SdlDisplay(std::move(fonts));
}

}  // namespace sim
