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

// Text sizes from the dialog font down to the smallest that a long text may shrink to.
constexpr std::array<int, 4> kTextSizes = {11, 10, 9, 8};

struct DisplayFonts {
  std::array<TTF_Font*, kTextSizes.size()> regular{};
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

constexpr int kDialogUnitsAcross = 183;
constexpr int kDialogUnitsDown = 120;
constexpr int kTitleHeight = 18;
constexpr int kHeaderHeight = 17;
constexpr int kRowHeight = 15;
constexpr int kCellPadding = 4;

constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kFace = 0xD4D0C8;
constexpr uint32_t kShadow = 0x808080;
constexpr uint32_t kDarkShadow = 0x404040;
constexpr uint32_t kTitleBar = 0x0A246A;
constexpr uint32_t kProgressFill = 0x1E5AA8;

enum class Align { kLeft, kCentre, kRight };

// The text styles of the dialog templates, which the frame does not carry.
struct TextStyle {
  int templateId;
  int controlId;
  Align align;
};
constexpr TextStyle kTextStyles[] = {
    {102, 1008, Align::kCentre},  // the error line
    {132, 1009, Align::kRight},   // the updater's version
};

Align AlignOf(int templateId, const platform::ControlState& control) {
  for (const TextStyle& style : kTextStyles) {
    if (style.templateId == templateId && style.controlId == control.id) return style.align;
  }
  return control.kind == platform::ControlKind::kButton ? Align::kCentre : Align::kLeft;
}

int PixelsAcross(int units) { return units * kScreenWidth / kDialogUnitsAcross; }
int PixelsDown(int units) { return units * kScreenHeight / kDialogUnitsDown; }

// The list view's colours are the system's colour references, 0x00BBGGRR.
uint32_t FromColourRef(uint32_t colour) {
  return ((colour & 0xFF) << 16) | (colour & 0xFF00) | ((colour >> 16) & 0xFF);
}

SDL_Rect Intersect(const SDL_Rect& a, const SDL_Rect& b) {
  SDL_Rect both{};
  if (!SDL_IntersectRect(&a, &b, &both)) return {0, 0, 0, 0};
  return both;
}

class Painter {
 public:
  Painter(SDL_Surface* surface, const DisplayFonts& fonts) : m_surface(surface), m_fonts(fonts) {}

  void Dialog(const platform::DialogState& dialog) {
    const bool captioned = !dialog.caption.empty();
    const int border = captioned ? 1 : 0;
    const int title = captioned ? kTitleHeight : 0;
    const int clientWidth = PixelsAcross(dialog.width);
    const int clientHeight = PixelsDown(dialog.height);
    SDL_Rect window{0, 0, clientWidth + 2 * border, clientHeight + title + 2 * border};
    if (dialog.centred) {
      window.x = (kScreenWidth - window.w) / 2;
      window.y = (kScreenHeight - window.h) / 2;
    }
    m_client = {window.x + border, window.y + border + title, clientWidth, clientHeight};
    m_clip = {0, 0, kScreenWidth, kScreenHeight};
    if (captioned) {
      Fill(window, kDarkShadow);
      const SDL_Rect bar{m_client.x, window.y + border, clientWidth, title};
      Fill(bar, kTitleBar);
      Text(m_fonts.caption, dialog.caption, kWhite, Inset(bar, kCellPadding, 0), Align::kLeft);
    }
    Fill(m_client, kFace);
    m_clip = m_client;
    // Pictures lie under the other controls.
    for (const bool pictures : {true, false}) {
      for (const platform::ControlState& control : dialog.controls) {
        const bool picture = control.kind == platform::ControlKind::kPicture;
        if (control.visible && picture == pictures) Control(dialog.templateId, control);
      }
    }
  }

 private:
  void Control(int templateId, const platform::ControlState& control) {
    const int left = PixelsAcross(control.x);
    const int top = PixelsDown(control.y);
    const SDL_Rect rect{m_client.x + left, m_client.y + top,
                        PixelsAcross(control.x + control.width) - left,
                        PixelsDown(control.y + control.height) - top};
    switch (control.kind) {
      case platform::ControlKind::kPicture:
        Picture(control.bitmap, rect.x, rect.y);
        return;
      case platform::ControlKind::kProgressBar:
        ProgressBar(control, rect);
        return;
      case platform::ControlKind::kStaticText:
        Fill(rect, kFace);
        Text(control.text, kBlack, rect, AlignOf(templateId, control));
        return;
      case platform::ControlKind::kListView:
        ListView(control, rect);
        return;
      case platform::ControlKind::kButton:
        Fill(rect, kDarkShadow);
        Fill(Inset(rect, 1, 1), kFace);
        Text(control.text, kBlack, rect, AlignOf(templateId, control));
        return;
    }
  }

  // A picture control takes the size of its bitmap.
  void Picture(int bitmap, int x, int y) {
    const BitmapResource* resource = g_findBitmap(bitmap);
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
    SDL_Rect target{x, y, resource->width, resource->height};
    SDL_SetClipRect(m_surface, &m_clip);
    SDL_BlitSurface(picture, nullptr, m_surface, &target);
    SDL_SetClipRect(m_surface, nullptr);
    SDL_FreeSurface(picture);
  }

  void ProgressBar(const platform::ControlState& control, const SDL_Rect& rect) {
    Fill(rect, kShadow);
    SDL_Rect inner = Inset(rect, 1, 1);
    Fill(inner, kWhite);
    const int64_t span = static_cast<int64_t>(control.rangeMax) - control.rangeMin;
    if (span <= 0) return;
    const int64_t done = std::clamp<int64_t>(int64_t{control.position} - control.rangeMin, 0, span);
    inner.w = static_cast<int>(inner.w * done / span);
    Fill(inner, kProgressFill);
  }

  void ListView(const platform::ControlState& control, const SDL_Rect& rect) {
    Fill(rect, kShadow);
    const SDL_Rect inner = Inset(rect, 1, 1);
    Fill(inner, FromColourRef(control.backColour));
    const uint32_t textColour = FromColourRef(control.textColour);
    const SDL_Rect header{inner.x, inner.y, inner.w, kHeaderHeight};
    Fill(header, kFace);
    Fill({header.x, header.y + header.h - 1, header.w, 1}, kShadow);
    int x = inner.x;
    for (std::size_t column = 0; column < control.columns.size(); ++column) {
      const int width =
          column < control.columnWidths.size() ? std::max(control.columnWidths[column], 0) : 0;
      if (width > 0) Fill({x + width - 1, header.y, 1, header.h}, kShadow);
      Text(control.columns[column], kBlack,
           Intersect(Inset({x, header.y, width, header.h}, kCellPadding, 0), inner), Align::kLeft);
      for (std::size_t row = 0; row < control.rows.size(); ++row) {
        if (column >= control.rows[row].size()) continue;
        const SDL_Rect cell{x, header.y + header.h + static_cast<int>(row) * kRowHeight, width,
                            kRowHeight};
        Text(control.rows[row][column], textColour, Intersect(Inset(cell, kCellPadding, 0), inner),
             Align::kLeft);
      }
      x += width;
    }
  }

  static SDL_Rect Inset(const SDL_Rect& rect, int across, int down) {
    return {rect.x + across, rect.y + down, std::max(rect.w - 2 * across, 0),
            std::max(rect.h - 2 * down, 0)};
  }

  void Fill(const SDL_Rect& rect, uint32_t colour) {
    const SDL_Rect visible = Intersect(rect, m_clip);
    SDL_FillRect(m_surface, &visible, colour);
  }

  // In the largest text size in which it fits, or clipped in the smallest.
  void Text(const std::string& text, uint32_t colour, const SDL_Rect& rect, Align align) {
    std::lock_guard lock(FontLock());
    TTF_Font* font = m_fonts.regular.back();
    for (TTF_Font* candidate : m_fonts.regular) {
      int width = 0;
      int height = 0;
      if (TTF_SizeUTF8(candidate, text.c_str(), &width, &height) == 0 && width <= rect.w) {
        font = candidate;
        break;
      }
    }
    Draw(font, text, colour, rect, align);
  }

  void Text(TTF_Font* font, const std::string& text, uint32_t colour, const SDL_Rect& rect,
            Align align) {
    std::lock_guard lock(FontLock());
    Draw(font, text, colour, rect, align);
  }

  // FontLock() held.
  void Draw(TTF_Font* font, const std::string& text, uint32_t colour, const SDL_Rect& rect,
            Align align) {
    if (text.empty() || rect.w <= 0 || rect.h <= 0) return;
    const SDL_Color sdlColour{static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
                              static_cast<uint8_t>(colour), 255};
    SDL_Surface* rendered = TTF_RenderUTF8_Blended(font, text.c_str(), sdlColour);
    if (rendered == nullptr) return;
    SDL_Rect target{rect.x, rect.y + (rect.h - rendered->h) / 2, rendered->w, rendered->h};
    if (align == Align::kCentre) target.x += (rect.w - rendered->w) / 2;
    if (align == Align::kRight) target.x += rect.w - rendered->w;
    const SDL_Rect clip = Intersect(rect, m_clip);
    SDL_SetClipRect(m_surface, &clip);
    SDL_BlitSurface(rendered, nullptr, m_surface, &target);
    SDL_SetClipRect(m_surface, nullptr);
    SDL_FreeSurface(rendered);
  }

  SDL_Surface* m_surface;
  const DisplayFonts& m_fonts;
  SDL_Rect m_client{};
  SDL_Rect m_clip{};
};

// The screen as an SDL surface whose pixels are 0x00RRGGBB; null when SDL has no memory.
SDL_Surface* Draw(const platform::ScreenFrame& frame, const DisplayFonts& fonts) {
  SDL_Surface* surface =
      SDL_CreateRGBSurfaceWithFormat(0, kScreenWidth, kScreenHeight, 32, SDL_PIXELFORMAT_RGB888);
  if (surface == nullptr) return nullptr;
  SDL_FillRect(surface, nullptr, kBlack);
  Painter painter(surface, fonts);
  for (const platform::DialogState& dialog : frame.dialogs) painter.Dialog(dialog);
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
  for (std::size_t i = 0; i < kTextSizes.size(); ++i) {
    fonts->regular[i] = TTF_OpenFont(regular.c_str(), kTextSizes[i]);
    if (fonts->regular[i] == nullptr) {
      *error = regular.string() + ": " + TTF_GetError();
      return nullptr;
    }
  }
  fonts->caption = TTF_OpenFont(bold.c_str(), kTextSizes.front());
  if (fonts->caption == nullptr) {
    *error = bold.string() + ": " + TTF_GetError();
    return nullptr;
  }
  return new SdlDisplay(std::move(fonts));
}

}  // namespace sim
