// make_screens: draws the updater's screen pictures from their texts, and writes them as 8-bit
// BMP files and as a C++ source that builds them into the program as its bitmap resources.
//
//   make_screens FONT_DIR BMP_DIR SOURCE
//
// FONT_DIR holds DejaVuSans.ttf and DejaVuSans-Bold.ttf. Needs no display.
#define SDL_MAIN_HANDLED
#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tools/host_files.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kPaletteSize = 256;
// The footer banner lies below everything a screen says. The error line of the failed screen
// (y 218-238) is drawn over it by the dialog.
constexpr int kFooterTop = 212;
// The progress bar's area (y 170-190) stays clear on the screens that show it.
constexpr int kAboveProgressBar = 164;
constexpr int kTextLeft = 16;
constexpr int kTextWidth = kWidth - 2 * kTextLeft;

constexpr uint32_t kBackground = 0xEEF2F7;
constexpr uint32_t kHeadline = 0x14304F;
constexpr uint32_t kBody = 0x2B3A4A;
constexpr uint32_t kPrompt = 0x0B5FA5;
constexpr uint32_t kHint = 0x5B6B7B;
constexpr uint32_t kBox = 0x1C3553;
constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kFooter = 0x14283F;
constexpr uint32_t kAccent = 0xF29A1F;
constexpr uint32_t kFooterSubtitle = 0xA9BCD3;
constexpr uint32_t kRed = 0xD64541;
constexpr uint32_t kGreen = 0x2FA84F;
constexpr uint32_t kAmber = 0xE8951C;
constexpr uint32_t kBlue = 0x3A86D4;

const char* const kDoNotRemove =
    "Please do not remove any leads or SD media from the unit until the update is complete.";
const char* const kPleaseWait = "Please wait...";

const char* const kPlayStopExit = "Press PLAY or STOP to exit.";
const char* const kPlayStopRestart = "Press PLAY or STOP to restart.";
const char* const kPlayContinue = "Press PLAY to continue or STOP to exit.";

struct Icon {
  const char* glyph;  // UTF-8
  uint32_t colour;
};

// One picture. A screen with an icon shows its headline in a dark box in the upper half.
struct Art {
  int bitmap;
  const char* headline;
  std::vector<const char*> body;
  const char* prompt = nullptr;
  const char* hint = nullptr;
  Icon icon = {nullptr, 0};
  bool progressBar = false;
};

const Art kScreens[] = {
    {.bitmap = 144, .headline = "LOADING...", .body = {kPleaseWait}},
    {.bitmap = 134,
     .headline = "INVALID PACKAGE!",
     .body = {"Please check all files and try again."},
     .prompt = kPlayStopExit,
     .icon = {"\u2716", kRed}},
    {.bitmap = 129,
     .headline = "THIS APPLICATION WILL UPDATE THE SOFTWARE ON THIS DEVICE.",
     .body = {"Please ensure that the charger is connected and a backup has been performed "
              "using Microsoft ActiveSync."},
     .prompt = kPlayContinue,
     .hint = "(Press << key to view version information)"},
    {.bitmap = 130,
     .headline = "NO CHARGER CONNECTED!",
     .body = {"Please ensure that the charger is connected."},
     .prompt = kPlayContinue,
     .icon = {"\u26A1", kAmber}},
    {.bitmap = 143, .headline = "THERE IS NOTHING TO UPDATE!", .body = {}, .prompt = kPlayStopExit},
    {.bitmap = 135,
     .headline = "UPDATING OPERATING SYSTEM...",
     .body = {kDoNotRemove, kPleaseWait},
     .progressBar = true},
    {.bitmap = 136,
     .headline = "UPDATING APPLICATION...",
     .body = {kDoNotRemove, kPleaseWait},
     .progressBar = true},
    {.bitmap = 132,
     .headline = "UPDATE COMPLETED SUCCESSFULLY!",
     .body = {},
     .prompt = kPlayStopExit,
     .icon = {"\u2714", kGreen}},
    {.bitmap = 133,
     .headline = "UPDATING PROCESS FAILED!",
     .body = {},
     .prompt = kPlayStopRestart,
     .icon = {"!", kRed}},
    {.bitmap = 141,
     .headline = "UPDATING GPS SYSTEM...",
     .body = {kDoNotRemove, kPleaseWait},
     .progressBar = true},
    {.bitmap = 142,
     .headline = "RESTART REQUIRED!",
     .body = {"Unit will now restart.", "Please try the update again after the restart."},
     .prompt = kPlayStopRestart,
     .icon = {"\u21BB", kBlue}},
};

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "make_screens: %s\n", message.c_str());
  std::exit(1);
}

struct Fonts {
  TTF_Font* headline;
  TTF_Font* body;
  TTF_Font* prompt;
  TTF_Font* hint;
  TTF_Font* icon;
  TTF_Font* wordmark;
  TTF_Font* subtitle;
};

TTF_Font* OpenFont(const std::filesystem::path& file, int size) {
  TTF_Font* font = TTF_OpenFont(file.c_str(), size);
  if (font == nullptr) Die(file.string() + ": " + TTF_GetError());
  return font;
}

int TextWidth(TTF_Font* font, const std::string& text) {
  int width = 0;
  int height = 0;
  if (TTF_SizeUTF8(font, text.c_str(), &width, &height) != 0) Die(TTF_GetError());
  return width;
}

std::vector<std::string> Wrap(TTF_Font* font, const std::string& text, int width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    const std::string longer = line.empty() ? word : line + " " + word;
    if (!line.empty() && TextWidth(font, longer) > width) {
      lines.push_back(line);
      line = word;
    } else {
      line = longer;
    }
    start = end + 1;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// A true-colour drawing whose anti-aliasing uses 16 levels, so that a picture's few colour
// pairs stay within one 256-colour palette.
class Canvas {
 public:
  Canvas() : m_pixels(kWidth * kHeight, kBackground) {}

  const std::vector<uint32_t>& Pixels() const { return m_pixels; }

  void Fill(int x, int y, int width, int height, uint32_t colour) {
    Shape(x, y, width, height, colour, [](double, double) { return true; });
  }

  void RoundRect(int x, int y, int width, int height, int radius, uint32_t colour) {
    Shape(x, y, width, height, colour, [=](double px, double py) {
      const double cx = std::clamp(px, double(x + radius), double(x + width - radius));
      const double cy = std::clamp(py, double(y + radius), double(y + height - radius));
      return (px - cx) * (px - cx) + (py - cy) * (py - cy) <= double(radius) * radius;
    });
  }

  void Circle(int cx, int cy, int radius, uint32_t colour) {
    Shape(cx - radius, cy - radius, 2 * radius, 2 * radius, colour, [=](double px, double py) {
      return (px - cx) * (px - cx) + (py - cy) * (py - cy) <= double(radius) * radius;
    });
  }

  void Text(TTF_Font* font, const std::string& text, uint32_t colour, int x, int y) {
    SDL_Surface* rendered = TTF_RenderUTF8_Blended(font, text.c_str(), {255, 255, 255, 255});
    if (rendered == nullptr) Die("\"" + text + "\": " + TTF_GetError());
    SDL_Surface* glyphs = SDL_ConvertSurfaceFormat(rendered, SDL_PIXELFORMAT_ARGB8888, 0);
    SDL_FreeSurface(rendered);
    if (glyphs == nullptr) Die(SDL_GetError());
    for (int row = 0; row < glyphs->h; ++row) {
      const auto* line = reinterpret_cast<const uint32_t*>(
          static_cast<const uint8_t*>(glyphs->pixels) + row * glyphs->pitch);
      for (int column = 0; column < glyphs->w; ++column) {
        Blend(x + column, y + row, colour, static_cast<int>(line[column] >> 24));
      }
    }
    SDL_FreeSurface(glyphs);
  }

 private:
  // Covers the pixels inside the shape, edges by their share of 4 by 4 samples.
  template <typename Inside>
  void Shape(int x, int y, int width, int height, uint32_t colour, Inside inside) {
    for (int py = y; py < y + height; ++py) {
      for (int px = x; px < x + width; ++px) {
        int covered = 0;
        for (int sample = 0; sample < 16; ++sample) {
          covered += inside(px + (sample % 4 + 0.5) / 4, py + (sample / 4 + 0.5) / 4) ? 1 : 0;
        }
        Blend(px, py, colour, covered * 255 / 16);
      }
    }
  }

  void Blend(int x, int y, uint32_t colour, int alpha) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
    const int level = (alpha * 15 + 127) / 255;
    if (level == 0) return;
    uint32_t& pixel = m_pixels[y * kWidth + x];
    uint32_t mixed = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
      const int under = static_cast<int>((pixel >> shift) & 0xFF);
      const int over = static_cast<int>((colour >> shift) & 0xFF);
      mixed |= static_cast<uint32_t>(under + ((over - under) * level + 7) / 15) << shift;
    }
    pixel = mixed;
  }

  std::vector<uint32_t> m_pixels;
};

struct Paragraph {
  TTF_Font* font;
  uint32_t colour;
  std::string text;
  int gapBefore;
};

// Draws the paragraphs centred line by line, the block centred between top and bottom.
void DrawBlock(Canvas& canvas, const std::vector<Paragraph>& paragraphs, int top, int bottom,
               int bitmap) {
  int height = 0;
  std::vector<std::vector<std::string>> wrapped;
  for (const Paragraph& paragraph : paragraphs) {
    wrapped.push_back(Wrap(paragraph.font, paragraph.text, kTextWidth));
    height += paragraph.gapBefore +
              static_cast<int>(wrapped.back().size()) * TTF_FontLineSkip(paragraph.font);
  }
  if (height > bottom - top) Die("bitmap " + std::to_string(bitmap) + ": the text does not fit");
  int y = top + (bottom - top - height) / 2;
  for (std::size_t i = 0; i < paragraphs.size(); ++i) {
    y += paragraphs[i].gapBefore;
    for (const std::string& line : wrapped[i]) {
      const int x = kTextLeft + (kTextWidth - TextWidth(paragraphs[i].font, line)) / 2;
      canvas.Text(paragraphs[i].font, line, paragraphs[i].colour, x, y);
      y += TTF_FontLineSkip(paragraphs[i].font);
    }
  }
}

void DrawFooter(Canvas& canvas, const Fonts& fonts) {
  canvas.Fill(0, kFooterTop, kWidth, kHeight - kFooterTop, kFooter);
  canvas.Fill(0, kFooterTop, kWidth, 2, kAccent);
  const int middle = (kFooterTop + 2 + kHeight) / 2;
  canvas.Text(fonts.wordmark, "VostrelHHT", kWhite, 10,
              middle - TTF_FontHeight(fonts.wordmark) / 2);
  const char* subtitle = "Software Update";
  canvas.Text(fonts.subtitle, subtitle, kFooterSubtitle,
              kWidth - 10 - TextWidth(fonts.subtitle, subtitle),
              middle - TTF_FontHeight(fonts.subtitle) / 2);
}

// The headline in a dark box with the icon at its left; returns the box's bottom.
int DrawHeadlineBox(Canvas& canvas, const Fonts& fonts, const Art& art) {
  constexpr int kBoxLeft = 12;
  constexpr int kBoxTop = 14;
  constexpr int kBoxWidth = kWidth - 2 * kBoxLeft;
  constexpr int kPadding = 14;
  constexpr int kIconRadius = 22;
  constexpr int kHeadlineLeft = kBoxLeft + kPadding + 2 * kIconRadius + kPadding;
  constexpr int kHeadlineWidth = kBoxLeft + kBoxWidth - kPadding - kHeadlineLeft;
  const std::vector<std::string> lines = Wrap(fonts.headline, art.headline, kHeadlineWidth);
  const int textHeight = static_cast<int>(lines.size()) * TTF_FontLineSkip(fonts.headline);
  const int boxHeight = std::max(2 * kIconRadius, textHeight) + 2 * kPadding;
  canvas.RoundRect(kBoxLeft, kBoxTop, kBoxWidth, boxHeight, 8, kBox);

  const int iconX = kBoxLeft + kPadding + kIconRadius;
  const int iconY = kBoxTop + boxHeight / 2;
  canvas.Circle(iconX, iconY, kIconRadius, art.icon.colour);
  int glyphWidth = 0;
  int glyphHeight = 0;
  TTF_SizeUTF8(fonts.icon, art.icon.glyph, &glyphWidth, &glyphHeight);
  canvas.Text(fonts.icon, art.icon.glyph, kWhite, iconX - glyphWidth / 2, iconY - glyphHeight / 2);

  int y = kBoxTop + (boxHeight - textHeight) / 2;
  for (const std::string& line : lines) {
    const int x = kHeadlineLeft + (kHeadlineWidth - TextWidth(fonts.headline, line)) / 2;
    canvas.Text(fonts.headline, line, kWhite, x, y);
    y += TTF_FontLineSkip(fonts.headline);
  }
  return kBoxTop + boxHeight;
}

Canvas Draw(const Art& art, const Fonts& fonts) {
  Canvas canvas;
  std::vector<Paragraph> paragraphs;
  int top = 10;
  if (art.icon.glyph != nullptr) {
    top = DrawHeadlineBox(canvas, fonts, art) + 6;
  } else {
    paragraphs.push_back({fonts.headline, kHeadline, art.headline, 0});
  }
  for (std::size_t i = 0; i < art.body.size(); ++i) {
    paragraphs.push_back(
        {fonts.body, kBody, art.body[i], i == 0 && art.icon.glyph == nullptr ? 12 : 6});
  }
  if (art.prompt != nullptr) paragraphs.push_back({fonts.prompt, kPrompt, art.prompt, 12});
  if (art.hint != nullptr) paragraphs.push_back({fonts.hint, kHint, art.hint, 6});
  const int bottom = art.progressBar ? kAboveProgressBar : kFooterTop - 6;
  DrawBlock(canvas, paragraphs, top, bottom, art.bitmap);
  DrawFooter(canvas, fonts);
  return canvas;
}

// The picture's colours, sorted; the palette is padded with black after them.
std::vector<uint32_t> UsedColours(const std::vector<uint32_t>& pixels, int bitmap) {
  std::vector<uint32_t> colours = pixels;
  std::sort(colours.begin(), colours.end());
  colours.erase(std::unique(colours.begin(), colours.end()), colours.end());
  if (colours.size() > kPaletteSize) {
    Die("bitmap " + std::to_string(bitmap) + " needs " + std::to_string(colours.size()) +
        " colours");
  }
  return colours;
}

std::vector<uint8_t> ToIndices(const std::vector<uint32_t>& pixels,
                               const std::vector<uint32_t>& colours) {
  std::vector<uint8_t> indices;
  indices.reserve(pixels.size());
  for (const uint32_t pixel : pixels) {
    indices.push_back(static_cast<uint8_t>(std::lower_bound(colours.begin(), colours.end(), pixel) -
                                           colours.begin()));
  }
  return indices;
}

void SaveBmp(const std::filesystem::path& file, const std::vector<uint32_t>& palette,
             const std::vector<uint8_t>& indices) {
  SDL_Surface* surface =
      SDL_CreateRGBSurfaceWithFormat(0, kWidth, kHeight, 8, SDL_PIXELFORMAT_INDEX8);
  if (surface == nullptr) Die(SDL_GetError());
  std::vector<SDL_Color> colours;
  for (const uint32_t colour : palette) {
    colours.push_back({static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
                       static_cast<uint8_t>(colour), 255});
  }
  SDL_SetPaletteColors(surface->format->palette, colours.data(), 0, kPaletteSize);
  for (int row = 0; row < kHeight; ++row) {
    std::copy_n(indices.begin() + row * kWidth, kWidth,
                static_cast<uint8_t*>(surface->pixels) + row * surface->pitch);
  }
  if (SDL_SaveBMP(surface, file.c_str()) != 0) Die(file.string() + ": " + SDL_GetError());
  SDL_FreeSurface(surface);
}

void WriteArray(std::ostream& out, const std::string& name, const std::vector<uint8_t>& bytes) {
  out << "constexpr uint8_t " << name << "[" << bytes.size() << "] = {";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out << (i % 24 == 0 ? "\n    " : " ") << static_cast<int>(bytes[i]) << ",";
  }
  out << "\n};\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) Die("usage: make_screens FONT_DIR BMP_DIR SOURCE");
  const std::filesystem::path fontDir = argv[1];
  const std::filesystem::path bmpDir = argv[2];
  const std::filesystem::path source = argv[3];
  if (TTF_Init() != 0) Die(TTF_GetError());
  const std::filesystem::path regular = fontDir / "DejaVuSans.ttf";
  const std::filesystem::path bold = fontDir / "DejaVuSans-Bold.ttf";
  const Fonts fonts{OpenFont(bold, 15),    OpenFont(regular, 12), OpenFont(bold, 12),
                    OpenFont(regular, 11), OpenFont(bold, 26),    OpenFont(bold, 13),
                    OpenFont(regular, 11)};

  std::vector<const Art*> order;
  for (const Art& art : kScreens) order.push_back(&art);
  std::sort(order.begin(), order.end(),
            [](const Art* a, const Art* b) { return a->bitmap < b->bitmap; });

  std::error_code error;
  std::filesystem::create_directories(bmpDir, error);
  if (error) Die(bmpDir.string() + ": " + error.message());
  std::ostringstream out;
  out << "// Generated by make_screens from the screen texts; do not edit.\n"
         "#include \"app/resources.h\"\n\nnamespace {\n\n";
  for (const Art* art : order) {
    const Canvas canvas = Draw(*art, fonts);
    std::vector<uint32_t> palette = UsedColours(canvas.Pixels(), art->bitmap);
    const std::vector<uint8_t> indices = ToIndices(canvas.Pixels(), palette);
    palette.resize(kPaletteSize, 0);
    const std::string id = std::to_string(art->bitmap);
    SaveBmp(bmpDir / ("bitmap" + id + ".bmp"), palette, indices);
    std::vector<uint8_t> rgb;
    for (const uint32_t colour : palette) {
      rgb.insert(rgb.end(), {static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
                             static_cast<uint8_t>(colour)});
    }
    WriteArray(out, "kPalette" + id, rgb);
    WriteArray(out, "kPixels" + id, indices);
  }
  out << "\nconstexpr BitmapResource kBitmaps[] = {\n";
  for (const Art* art : order) {
    const std::string id = std::to_string(art->bitmap);
    out << "    {" << id << ", " << kWidth << ", " << kHeight << ", kPalette" << id << ", kPixels"
        << id << "},\n";
  }
  out << "};\n\n}  // namespace\n\n"
         "std::span<const BitmapResource> BitmapResources() { return kBitmaps; }\n";
  if (const common::Status written = tools::host::WriteIfChanged(source, out.str()); !written) {
    Die(written.error());
  }

  for (TTF_Font* font : {fonts.headline, fonts.body, fonts.prompt, fonts.hint, fonts.icon,
                         fonts.wordmark, fonts.subtitle}) {
    TTF_CloseFont(font);
  }
  TTF_Quit();
  return 0;
}
