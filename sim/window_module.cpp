#include "sim/window.h"

// The terminal's window, part of the renderer module: SDL2 draws the face into the window's
// surface, with the screen that the same module renders for the PNG pictures.

#define SDL_MAIN_HANDLED
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "sim/module_fonts.h"

namespace sim {

namespace {

constexpr uint32_t kBody = 0x2B3038;
constexpr uint32_t kBodyEdge = 0x181B20;
constexpr uint32_t kBezel = 0x0A0B0D;
constexpr uint32_t kStatusBack = 0x12151A;
constexpr uint32_t kStatusText = 0xB4DCA8;
constexpr uint32_t kKeyText = 0xFFFFFF;
constexpr uint32_t kKeyboardText = 0xD0D6DC;
constexpr uint32_t kHintText = 0x9AA4AE;
constexpr uint32_t kKeyEdge = 0x101215;

struct KeyColours {
  uint32_t virtualKey;
  uint32_t up;
  uint32_t down;
};
constexpr KeyColours kKeyColours[] = {
    {13, 0x2E7D32, 0x17401A},  // PLAY
    {17, 0xB71C1C, 0x5E0E0E},  // STOP
    {16, 0x4F5E6A, 0x2A3239},  // <<
};
constexpr KeyColours kOtherKeys = {0, 0x3E4852, 0x20262C};

KeyColours ColoursOf(uint32_t virtualKey) {
  for (const KeyColours& colours : kKeyColours) {
    if (colours.virtualKey == virtualKey) return colours;
  }
  return kOtherKeys;
}

// Who holds a key down; the key is down while anyone does.
enum Holder : unsigned { kKeyboard = 1, kMouse = 2, kLatch = 4 };

enum class LabelAlign { kLeft, kCentre };

const FaceKey* KeyByName(const char* name) {
  for (const FaceKey& key : kFaceKeys) {
    for (const char* candidate : key.keyNames) {
      if (candidate != nullptr && std::strcmp(candidate, name) == 0) return &key;
    }
  }
  return nullptr;
}

// Drops the last character of UTF-8 text.
void DropLastCharacter(std::string* text) {
  while (!text->empty() && (static_cast<unsigned char>(text->back()) & 0xC0) == 0x80) {
    text->pop_back();
  }
  if (!text->empty()) text->pop_back();
}

class SdlWindow final : public TerminalWindow {
 public:
  ~SdlWindow() override {
    {
      std::lock_guard lock(FontLock());
      for (TTF_Font* font : {m_labelFont, m_smallFont, m_statusFont}) {
        if (font != nullptr) TTF_CloseFont(font);
      }
      if (m_fontsInitialised) TTF_Quit();
    }
    if (m_window != nullptr) SDL_DestroyWindow(m_window);
    if (m_videoInitialised) SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }

  // Null with *error saying what failed.
  static SdlWindow* Open(const WindowOptions& options, std::string* error) {
    auto window = std::make_unique<SdlWindow>();
    if (!window->Start(options, error)) return nullptr;
    return window.release();
  }

  int Scale() const override { return m_scale; }

  std::vector<WindowInput> Poll(uint32_t timeoutMs) override {
    std::vector<WindowInput> inputs;
    SDL_Event event;
    bool any = SDL_PollEvent(&event) != 0;
    if (!any && timeoutMs > 0) {
      any = SDL_WaitEventTimeout(&event, static_cast<int>(timeoutMs)) != 0;
    }
    while (any) {
      Handle(event, &inputs);
      any = SDL_PollEvent(&event) != 0;
    }
    if (m_dirty) Present();
    return inputs;
  }

  void ShowScreen(const ScreenImage& screen) override {
    m_screen = screen;
    DrawScreen();
  }

  void ShowStatus(const std::string& first, const std::string& second) override {
    if (m_status[0] == first && m_status[1] == second) return;
    m_status[0] = first;
    m_status[1] = second;
    DrawStatus();
  }

  void Present() override {
    if (!m_dirty) return;
    SDL_UpdateWindowSurface(m_window);
    m_dirty = false;
  }

  Result<ScreenImage> ReadScreen() override {
    using R = Result<ScreenImage>;
    SDL_Surface* surface = SDL_GetWindowSurface(m_window);
    if (surface == nullptr) return R::Failure(std::string("the window: ") + SDL_GetError());
    SDL_Surface* copy = SDL_ConvertSurfaceFormat(surface, SDL_PIXELFORMAT_RGB888, 0);
    if (copy == nullptr) return R::Failure(std::string("the window: ") + SDL_GetError());
    ScreenImage image;
    std::string uneven;
    const auto pixel = [copy](int x, int y) {
      return reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(copy->pixels) +
                                               y * copy->pitch)[x] &
             0xFFFFFF;
    };
    const int left = kFaceScreen.x * m_scale;
    const int top = kFaceScreen.y * m_scale;
    for (int y = 0; y < kScreenHeight && uneven.empty(); ++y) {
      for (int x = 0; x < kScreenWidth && uneven.empty(); ++x) {
        const uint32_t first = pixel(left + x * m_scale, top + y * m_scale);
        for (int dy = 0; dy < m_scale; ++dy) {
          for (int dx = 0; dx < m_scale; ++dx) {
            if (pixel(left + x * m_scale + dx, top + y * m_scale + dy) != first && uneven.empty()) {
              uneven = "the screen's pixel " + std::to_string(x) + "," + std::to_string(y) +
                       " is not drawn as one block";
            }
          }
        }
        image.pixels[static_cast<std::size_t>(y) * kScreenWidth + static_cast<std::size_t>(x)] =
            first;
      }
    }
    SDL_FreeSurface(copy);
    if (!uneven.empty()) return R::Failure(uneven);
    return image;
  }

  Status SavePng(const std::filesystem::path& file) override {
    SDL_Surface* surface = SDL_GetWindowSurface(m_window);
    if (surface == nullptr) return Status::Failure(std::string("the window: ") + SDL_GetError());
    if (IMG_SavePNG(surface, file.c_str()) != 0) {
      return Status::Failure(file.string() + ": " + IMG_GetError());
    }
    return {};
  }

  Status PushKey(std::string_view keyName, bool down) override {
    const SDL_Keycode code = SDL_GetKeyFromName(std::string(keyName).c_str());
    if (code == SDLK_UNKNOWN) return Status::Failure("no such key: " + std::string(keyName));
    SDL_Event event{};
    event.type = down ? SDL_KEYDOWN : SDL_KEYUP;
    event.key.windowID = SDL_GetWindowID(m_window);
    event.key.state = down ? SDL_PRESSED : SDL_RELEASED;
    event.key.keysym.sym = code;
    event.key.keysym.scancode = SDL_GetScancodeFromKey(code);
    if (SDL_PushEvent(&event) < 0) return Status::Failure(SDL_GetError());
    return {};
  }

  void PushMouse(int x, int y, bool down) override {
    SDL_Event event{};
    event.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    event.button.windowID = SDL_GetWindowID(m_window);
    event.button.button = SDL_BUTTON_LEFT;
    event.button.state = down ? SDL_PRESSED : SDL_RELEASED;
    event.button.clicks = 1;
    event.button.x = x;
    event.button.y = y;
    SDL_PushEvent(&event);
  }

  void PushClose() override {
    SDL_Event event{};
    event.type = SDL_WINDOWEVENT;
    event.window.windowID = SDL_GetWindowID(m_window);
    event.window.event = SDL_WINDOWEVENT_CLOSE;
    SDL_PushEvent(&event);
  }

 private:
  bool Start(const WindowOptions& options, std::string* error) {
    m_scale = options.scale;
    // Ctrl-C in the terminal that started the window ends the command, as it does elsewhere.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The face is drawn in memory and copied whole; a GL context would only add threads.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
      *error = std::string("no window can be opened: ") + SDL_GetError();
      return false;
    }
    m_videoInitialised = true;
    m_window =
        SDL_CreateWindow(options.title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                         kFaceWidth * m_scale, kFaceHeight * m_scale, SDL_WINDOW_SHOWN);
    if (m_window == nullptr) {
      *error = std::string("no window can be opened: ") + SDL_GetError();
      return false;
    }
    {
      std::lock_guard lock(FontLock());
      if (TTF_Init() != 0) {
        *error = TTF_GetError();
        return false;
      }
      m_fontsInitialised = true;
      const std::filesystem::path dir = VOSTREL_FONT_DIR;
      const struct {
        TTF_Font** font;
        const char* file;
        int size;
      } fonts[] = {{&m_labelFont, "DejaVuSans-Bold.ttf", 13},
                   {&m_smallFont, "DejaVuSans.ttf", 8},
                   {&m_statusFont, "DejaVuSansMono.ttf", 9}};
      for (const auto& font : fonts) {
        *font.font = TTF_OpenFont((dir / font.file).c_str(), font.size * m_scale);
        if (*font.font == nullptr) {
          *error = (dir / font.file).string() + ": " + TTF_GetError();
          return false;
        }
      }
    }
    DrawFace();
    Present();
    return true;
  }

  void Handle(const SDL_Event& event, std::vector<WindowInput>* inputs) {
    switch (event.type) {
      case SDL_QUIT:
        inputs->push_back({WindowInput::Kind::kClose, 0});
        return;
      case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_CLOSE) {
          inputs->push_back({WindowInput::Kind::kClose, 0});
        } else if (event.window.event == SDL_WINDOWEVENT_EXPOSED) {
          m_dirty = true;
        }
        return;
      case SDL_KEYDOWN:
      case SDL_KEYUP: {
        if (event.key.repeat != 0) return;
        const FaceKey* key = KeyByName(SDL_GetKeyName(event.key.keysym.sym));
        if (key != nullptr) Hold(*key, kKeyboard, event.type == SDL_KEYDOWN, inputs);
        return;
      }
      case SDL_MOUSEBUTTONDOWN: {
        if (event.button.button != SDL_BUTTON_LEFT) return;
        const FaceKey* key = FaceKeyAt(event.button.x / m_scale, event.button.y / m_scale);
        if (key == nullptr) return;
        if (key->latching) {
          Hold(*key, kLatch, (m_holds[key->virtualKey] & kLatch) == 0, inputs);
          return;
        }
        if (m_mouseKey != nullptr) Hold(*m_mouseKey, kMouse, false, inputs);
        m_mouseKey = key;
        Hold(*key, kMouse, true, inputs);
        return;
      }
      case SDL_MOUSEBUTTONUP:
        // The key goes up wherever the button is let go, as a finger leaving it would.
        if (event.button.button != SDL_BUTTON_LEFT || m_mouseKey == nullptr) return;
        Hold(*m_mouseKey, kMouse, false, inputs);
        m_mouseKey = nullptr;
        return;
      default:
        return;
    }
  }

  void Hold(const FaceKey& key, Holder holder, bool down, std::vector<WindowInput>* inputs) {
    unsigned& holders = m_holds[key.virtualKey];
    const bool wasDown = holders != 0;
    holders = down ? (holders | holder) : (holders & ~unsigned{holder});
    const bool isDown = holders != 0;
    if (wasDown == isDown) return;
    inputs->push_back(
        {isDown ? WindowInput::Kind::kKeyDown : WindowInput::Kind::kKeyUp, key.virtualKey});
    DrawKey(key);
  }

  SDL_Rect Scaled(const FaceRect& rect) const {
    return {rect.x * m_scale, rect.y * m_scale, rect.w * m_scale, rect.h * m_scale};
  }

  void Fill(const FaceRect& rect, uint32_t colour) {
    SDL_Surface* surface = SDL_GetWindowSurface(m_window);
    if (surface == nullptr) return;
    const SDL_Rect target = Scaled(rect);
    SDL_FillRect(surface, &target,
                 SDL_MapRGB(surface->format, static_cast<uint8_t>(colour >> 16),
                            static_cast<uint8_t>(colour >> 8), static_cast<uint8_t>(colour)));
    m_dirty = true;
  }

  // One line of text in the rectangle, centred down; cut with "..." when too wide.
  void Text(TTF_Font* font, std::string text, uint32_t colour, const FaceRect& rect,
            LabelAlign align) {
    SDL_Surface* surface = SDL_GetWindowSurface(m_window);
    if (surface == nullptr || text.empty()) return;
    const SDL_Rect box = Scaled(rect);
    std::lock_guard lock(FontLock());
    int width = 0;
    int height = 0;
    if (TTF_SizeUTF8(font, text.c_str(), &width, &height) == 0 && width > box.w) {
      std::string cut = text;
      while (!cut.empty()) {
        DropLastCharacter(&cut);
        if (TTF_SizeUTF8(font, (cut + "...").c_str(), &width, &height) == 0 && width <= box.w) {
          break;
        }
      }
      text = cut + "...";
    }
    const SDL_Color sdlColour{static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
                              static_cast<uint8_t>(colour), 255};
    SDL_Surface* rendered = TTF_RenderUTF8_Blended(font, text.c_str(), sdlColour);
    if (rendered == nullptr) return;
    SDL_Rect target{box.x, box.y + (box.h - rendered->h) / 2, rendered->w, rendered->h};
    if (align == LabelAlign::kCentre) target.x += (box.w - rendered->w) / 2;
    SDL_SetClipRect(surface, &box);
    SDL_BlitSurface(rendered, nullptr, surface, &target);
    SDL_SetClipRect(surface, nullptr);
    SDL_FreeSurface(rendered);
    m_dirty = true;
  }

  void DrawFace() {
    Fill({0, 0, kFaceWidth, kFaceHeight}, kBodyEdge);
    Fill({4, 4, kFaceWidth - 8, kFaceHeight - 8}, kBody);
    Text(m_smallFont, "VostrelHHT", kHintText, {kFaceBezel.x, 6, 120, 18}, LabelAlign::kLeft);
    Fill(kFaceBezel, kBezel);
    DrawScreen();
    DrawStatus();
    for (const FaceKey& key : kFaceKeys) DrawKey(key);
    Text(m_smallFont, kFaceHintText, kHintText, kFaceHint, LabelAlign::kCentre);
  }

  // The screen's pixels as blocks of the scale, converted to the window's format by a blit.
  void DrawScreen() {
    SDL_Surface* surface = SDL_GetWindowSurface(m_window);
    if (surface == nullptr) return;
    SDL_Surface* scaled = SDL_CreateRGBSurfaceWithFormat(
        0, kScreenWidth * m_scale, kScreenHeight * m_scale, 32, SDL_PIXELFORMAT_RGB888);
    if (scaled == nullptr) return;
    for (int y = 0; y < kScreenHeight * m_scale; ++y) {
      auto* row =
          reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(scaled->pixels) + y * scaled->pitch);
      for (int x = 0; x < kScreenWidth * m_scale; ++x) {
        row[x] = m_screen.At(x / m_scale, y / m_scale);
      }
    }
    SDL_Rect target = Scaled(kFaceScreen);
    SDL_BlitSurface(scaled, nullptr, surface, &target);
    SDL_FreeSurface(scaled);
    m_dirty = true;
  }

  void DrawStatus() {
    Fill(kFaceStatus, kStatusBack);
    const FaceRect inner = {kFaceStatus.x + 6, kFaceStatus.y + 2, kFaceStatus.w - 12,
                            kFaceStatus.h / 2 - 2};
    Text(m_statusFont, m_status[0], kStatusText, inner, LabelAlign::kLeft);
    Text(m_statusFont, m_status[1], kStatusText, {inner.x, inner.y + inner.h, inner.w, inner.h},
         LabelAlign::kLeft);
  }

  void DrawKey(const FaceKey& key) {
    const bool down = m_holds[key.virtualKey] != 0;
    const KeyColours colours = ColoursOf(key.virtualKey);
    const FaceRect& r = key.rect;
    Fill(r, kKeyEdge);
    // A pressed key sinks: no raised edge, its labels one pixel lower.
    const int sink = down ? 1 : 0;
    Fill({r.x + 1, r.y + 1, r.w - 2, r.h - 2}, down ? colours.down : colours.up);
    if (!down) Fill({r.x + 1, r.y + r.h - 4, r.w - 2, 3}, colours.down);
    const int half = (r.h - 4) / 2;
    Text(m_labelFont, key.label, kKeyText, {r.x, r.y + 2 + sink, r.w, half + 2},
         LabelAlign::kCentre);
    Text(m_smallFont, key.keyboard, kKeyboardText, {r.x, r.y + half + 2 + sink, r.w, half - 2},
         LabelAlign::kCentre);
  }

  SDL_Window* m_window = nullptr;
  bool m_videoInitialised = false;
  bool m_fontsInitialised = false;
  int m_scale = 1;
  TTF_Font* m_labelFont = nullptr;
  TTF_Font* m_smallFont = nullptr;
  TTF_Font* m_statusFont = nullptr;
  ScreenImage m_screen;
  std::string m_status[2];
  std::map<uint32_t, unsigned> m_holds;  // virtual key -> Holder bits
  const FaceKey* m_mouseKey = nullptr;   // the key the mouse button holds down
  bool m_dirty = false;
};

}  // namespace

// Opens the window on the calling thread; null with *error saying what failed.
extern "C" __attribute__((visibility("default"))) TerminalWindow* VostrelOpenWindow(
    const WindowOptions* options, std::string* error) {
  return SdlWindow::Open(*options, error);
}

}  // namespace sim
