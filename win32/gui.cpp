#include "win32/gui.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "app/resources.h"
#include "sim/display_list.h"
#include "text/text.h"
#include "win32/shell_messages.h"
#include "win32/win_api.h"

namespace win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"VostrelHHTScreen";
constexpr uint32_t kErrorInvalidWindowHandle = 1400;

using Clock = std::chrono::steady_clock;

COLORREF ColourOf(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

RECT RectOf(const sim::DisplayRect& rect) {
  return {rect.x, rect.y, rect.x + rect.w, rect.y + rect.h};
}

LRESULT CALLBACK ScreenProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* gui = reinterpret_cast<Win32Gui*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
      if (gui != nullptr) gui->OnKey(message == WM_KEYDOWN, static_cast<uint32_t>(wParam));
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      if (gui != nullptr) gui->Paint(dc);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// The fonts of the display list's texts, made once per window.
struct Fonts {
  HFONT regular[std::size(sim::kTextSizes)] = {};
  HFONT caption = nullptr;

  Fonts() {
    for (std::size_t i = 0; i < std::size(sim::kTextSizes); ++i) {
      regular[i] = Make(sim::kTextSizes[i], FW_NORMAL);
    }
    caption = Make(sim::kTextSizes[0], FW_BOLD);
  }
  ~Fonts() {
    for (HFONT font : regular) DeleteObject(font);
    DeleteObject(caption);
  }
  Fonts(const Fonts&) = delete;
  Fonts& operator=(const Fonts&) = delete;

  static HFONT Make(int pixels, int weight) {
    return CreateFontW(-pixels, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_TT_ONLY_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"DejaVu Sans");
  }
};

void Fill(HDC dc, const sim::DrawOp& op) {
  const RECT area = RectOf(sim::Intersect(op.rect, op.clip));
  if (area.right <= area.left || area.bottom <= area.top) return;
  HBRUSH brush = CreateSolidBrush(ColourOf(op.colour));
  FillRect(dc, &area, brush);
  DeleteObject(brush);
}

void Picture(HDC dc, const sim::DrawOp& op) {
  const BitmapResource* resource = FindBitmapResource(op.bitmap);
  if (resource == nullptr) return;
  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colours[kPaletteEntries];
  } info{};
  info.header.biSize = sizeof info.header;
  info.header.biWidth = resource->width;
  info.header.biHeight = -resource->height;  // top row first
  info.header.biPlanes = 1;
  info.header.biBitCount = 8;
  info.header.biCompression = BI_RGB;
  info.header.biClrUsed = kPaletteEntries;
  for (int i = 0; i < kPaletteEntries; ++i) {
    const uint8_t* entry = resource->palette + 3 * i;
    info.colours[i] = {entry[2], entry[1], entry[0], 0};
  }
  // Rows of a device-independent bitmap are whole 32-bit words.
  const int stride = (resource->width + 3) & ~3;
  std::vector<uint8_t> rows(static_cast<std::size_t>(stride) * resource->height);
  for (int y = 0; y < resource->height; ++y) {
    std::copy_n(resource->pixels + static_cast<std::size_t>(y) * resource->width, resource->width,
                rows.begin() + static_cast<std::ptrdiff_t>(y) * stride);
  }
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, op.clip.x, op.clip.y, op.clip.x + op.clip.w, op.clip.y + op.clip.h);
  SetDIBitsToDevice(dc, op.rect.x, op.rect.y, resource->width, resource->height, 0, 0, 0,
                    resource->height, rows.data(), reinterpret_cast<BITMAPINFO*>(&info),
                    DIB_RGB_COLORS);
  RestoreDC(dc, saved);
}

void Text(HDC dc, const Fonts& fonts, const sim::DrawOp& op) {
  const std::wstring text = Wide(op.text);
  const int length = static_cast<int>(text.size());
  HFONT font = fonts.caption;
  SIZE size{};
  if (op.face == sim::TextFace::kRegular) {
    font = fonts.regular[std::size(fonts.regular) - 1];
    for (HFONT candidate : fonts.regular) {
      SelectObject(dc, candidate);
      if (GetTextExtentPoint32W(dc, text.c_str(), length, &size) && size.cx <= op.rect.w) {
        font = candidate;
        break;
      }
    }
  }
  SelectObject(dc, font);
  GetTextExtentPoint32W(dc, text.c_str(), length, &size);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  int x = op.rect.x;
  if (op.align == sim::TextAlign::kCentre) x += (op.rect.w - size.cx) / 2;
  if (op.align == sim::TextAlign::kRight) x += op.rect.w - size.cx;
  const int y = op.rect.y + (op.rect.h - metrics.tmHeight) / 2;
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, op.clip.x, op.clip.y, op.clip.x + op.clip.w, op.clip.y + op.clip.h);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, ColourOf(op.colour));
  TextOutW(dc, x, y, text.c_str(), length);
  RestoreDC(dc, saved);
}

constexpr std::size_t kScreenPixels =
    static_cast<std::size_t>(sim::kScreenWidth) * sim::kScreenHeight;

// A top-down 32-bit bitmap of the whole screen.
BITMAPINFO ScreenBitmapInfo() {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = sim::kScreenWidth;
  info.bmiHeader.biHeight = -sim::kScreenHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

// The pixels (0x00RRGGBB) that the display shows where the window's client area lies.
std::vector<uint32_t> ReadScreen(HWND window) {
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  const BITMAPINFO info = ScreenBitmapInfo();
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, sim::kScreenWidth, sim::kScreenHeight, screen, origin.x, origin.y, SRCCOPY);
  GdiFlush();
  std::vector<uint32_t> pixels(static_cast<const uint32_t*>(bits),
                               static_cast<const uint32_t*>(bits) + kScreenPixels);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// A 24-bit BMP file of the pixels (0xRRGGBB, top row first).
bool WriteBmp(const std::filesystem::path& file, const std::vector<uint32_t>& pixels, int width,
              int height) {
  const int stride = (width * 3 + 3) & ~3;
  BITMAPFILEHEADER fileHeader{};
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = -height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  fileHeader.bfType = 0x4D42;
  fileHeader.bfOffBits = sizeof fileHeader + sizeof header;
  fileHeader.bfSize = fileHeader.bfOffBits + static_cast<DWORD>(stride * height);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&fileHeader), sizeof fileHeader);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  std::vector<char> row(static_cast<std::size_t>(stride));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t pixel = pixels[static_cast<std::size_t>(y) * width + x];
      row[static_cast<std::size_t>(x) * 3] = static_cast<char>(pixel & 0xFF);
      row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<char>((pixel >> 8) & 0xFF);
      row[static_cast<std::size_t>(x) * 3 + 2] = static_cast<char>((pixel >> 16) & 0xFF);
    }
    out.write(row.data(), stride);
  }
  return static_cast<bool>(out);
}

}  // namespace

Win32Gui::Win32Gui(Options options) : m_options(std::move(options)), m_start(Clock::now()) {
  if (m_options.keys) {
    for (const sim::KeyPress& key : *m_options.keys) {
      if (key.at) {
        m_timed.push_back(key);
      } else {
        m_plain.push_back(key);
      }
    }
    std::stable_sort(m_timed.begin(), m_timed.end(),
                     [](const sim::KeyPress& a, const sim::KeyPress& b) { return *a.at < *b.at; });
  }
}

Win32Gui::~Win32Gui() {
  if (m_window != nullptr) DestroyWindow(static_cast<HWND>(m_window));
  for (const std::wstring& font : m_fonts) RemoveFontResourceExW(font.c_str(), FR_PRIVATE, nullptr);
}

bool Win32Gui::Open(std::string* why) {
  // The simulator's fonts, so that the texts take the same room.
  for (const wchar_t* name : {L"DejaVuSans.ttf", L"DejaVuSans-Bold.ttf"}) {
    const std::wstring font = m_options.fontDir + L"\\" + name;
    if (AddFontResourceExW(font.c_str(), FR_PRIVATE, nullptr) > 0) m_fonts.push_back(font);
  }
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ScreenProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassW(&windowClass);
  // The terminal's whole screen, at the top left of the desktop.
  HWND window = CreateWindowExW(0, kWindowClass, L"VostrelHHT", WS_POPUP | WS_VISIBLE, 0, 0,
                                sim::kScreenWidth, sim::kScreenHeight, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  if (window == nullptr) {
    *why = "the screen's window cannot be made: " + ErrorText(::GetLastError());
    return false;
  }
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  m_window = window;
  SetForegroundWindow(window);
  SetFocus(window);
  UpdateWindow(window);
  return true;
}

void Win32Gui::OnKey(bool down, uint32_t virtualKey) {
  m_pending.push_back(
      {down ? platform::KeyEvent::Kind::kDown : platform::KeyEvent::Kind::kUp, virtualKey});
}

void Win32Gui::PostKeys(const sim::KeyPress& press) {
  HWND window = static_cast<HWND>(m_window);
  for (const uint32_t held : press.held) PostMessageW(window, WM_KEYDOWN, held, 1);
  PostMessageW(window, WM_KEYDOWN, press.key, 1);
  PostMessageW(window, WM_KEYUP, press.key, 0xC0000001);
  for (auto it = press.held.rbegin(); it != press.held.rend(); ++it) {
    PostMessageW(window, WM_KEYUP, *it, 0xC0000001);
  }
}

void Win32Gui::PressDueKeys() {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count();
  while (!m_timed.empty() && *m_timed.front().at <= static_cast<uint64_t>(elapsed)) {
    PostKeys(m_timed.front());
    m_timed.erase(m_timed.begin());
  }
}

void Win32Gui::PumpUntil(Clock::time_point deadline) {
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    PressDueKeys();
    if (!m_pending.empty()) return;
    const auto now = Clock::now();
    if (now >= deadline) return;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    if (!m_timed.empty()) {
      const auto due = m_start + std::chrono::milliseconds(*m_timed.front().at) - Clock::now();
      wait = std::min<int64_t>(
          wait, std::chrono::duration_cast<std::chrono::milliseconds>(due).count() + 1);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::max<int64_t>(wait, 0)),
                              QS_ALLINPUT);
  }
}

bool Win32Gui::Deliver(platform::KeyEvent* event) {
  if (m_pending.empty()) return false;
  *event = m_pending.front();
  m_pending.pop_front();
  auto& [down, pressed] = m_keyState[event->virtualKey];
  if (event->kind == platform::KeyEvent::Kind::kDown) {
    down = true;
    pressed = true;
  } else {
    down = false;
  }
  return true;
}

bool Win32Gui::PollKey(platform::KeyEvent* event) {
  PumpUntil(Clock::now());
  return Deliver(event);
}

bool Win32Gui::WaitKey(uint32_t timeoutMs, platform::KeyEvent* event) {
  if (PollKey(event)) return true;
  const bool forever = timeoutMs == platform::kInfinite;
  if (forever && m_options.keys) {
    // The next of the run's keys is pressed when the updater waits with nothing else due.
    if (!m_plain.empty()) {
      PostKeys(m_plain.front());
      m_plain.pop_front();
      PumpUntil(Clock::time_point::max());
      return Deliver(event);
    }
    if (m_timed.empty()) throw KeysRanOut{};
  }
  PumpUntil(forever ? Clock::time_point::max()
                    : Clock::now() + std::chrono::milliseconds(timeoutMs));
  return Deliver(event);
}

uint16_t Win32Gui::GetAsyncKeyState(uint32_t virtualKey) {
  PumpUntil(Clock::now());
  auto& [down, pressed] = m_keyState[virtualKey];
  const uint16_t state = static_cast<uint16_t>((down ? 0x8000 : 0) | (pressed ? 1 : 0));
  pressed = false;
  return state;
}

platform::Handle Win32Gui::FindWindow(std::string_view className, std::string_view title) {
  HWND window = FindWindowW(Wide(className).c_str(), title.empty() ? nullptr : Wide(title).c_str());
  return reinterpret_cast<platform::Handle>(window);
}

intptr_t Win32Gui::SendMessage(platform::Handle window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) {
  HWND target = reinterpret_cast<HWND>(window);
  if (!IsWindow(target)) {
    platform::SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  return SendMessageW(target, message, wParam, lParam);
}

bool Win32Gui::RemoveFontResource(std::string_view path) {
  std::wstring host;
  if (!m_options.hostPath || !m_options.hostPath(path, &host)) return false;
  bool removed = RemoveFontResourceW(host.c_str()) != 0;
  removed = AskShellToRemoveFont(host) || removed;
  if (!removed) platform::SetLastError(platform::kErrorFileNotFound);
  return removed;
}

void Win32Gui::Present(const platform::ScreenFrame& frame) {
  m_frame = frame;
  std::optional<sim::TraceEntry> entry = sim::TraceEntryOf(frame);
  bool changed = false;
  if (entry) {
    entry->time = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
    changed = m_trace.empty() || !(m_trace.back() == *entry);
    if (changed) m_trace.push_back(*entry);
  }
  HWND window = static_cast<HWND>(m_window);
  if (window == nullptr) return;
  InvalidateRect(window, nullptr, FALSE);
  UpdateWindow(window);
  if (changed && !m_options.screenshots.empty()) SaveScreenshot();
}

void Win32Gui::Paint(void* target) {
  HDC dc = static_cast<HDC>(target);
  // Drawn whole off the screen first, so that no half-drawn screen shows.
  HDC memory = CreateCompatibleDC(dc);
  void* bits = nullptr;
  const BITMAPINFO info = ScreenBitmapInfo();
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  const Fonts fonts;
  for (const sim::DrawOp& op : sim::LayOutScreen(m_frame)) {
    switch (op.kind) {
      case sim::DrawOp::Kind::kFill:
        Fill(memory, op);
        break;
      case sim::DrawOp::Kind::kBitmap:
        Picture(memory, op);
        break;
      case sim::DrawOp::Kind::kText:
        Text(memory, fonts, op);
        break;
    }
  }
  GdiFlush();
  m_painted.assign(static_cast<const uint32_t*>(bits),
                   static_cast<const uint32_t*>(bits) + kScreenPixels);
  BitBlt(dc, 0, 0, sim::kScreenWidth, sim::kScreenHeight, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

void Win32Gui::SaveScreenshot() {
  // What the display shows where the window lies, read back from the screen. The display shows
  // a painted frame a moment after the paint: the picture is taken once it does (or after half a
  // second, as it is then).
  HWND window = static_cast<HWND>(m_window);
  std::vector<uint32_t> pixels;
  for (int tries = 0; tries < 50; ++tries) {
    pixels = ReadScreen(window);
    if (pixels == m_painted) break;
    PumpUntil(Clock::now() + std::chrono::milliseconds(10));
  }
  for (uint32_t& pixel : pixels) pixel &= 0xFFFFFF;
  std::error_code error;
  std::filesystem::create_directories(m_options.screenshots, error);
  const std::filesystem::path file =
      m_options.screenshots / text::Sprintf("%04d-screen%02d.bmp",
                                            static_cast<int>(m_shots.size()) + 1,
                                            m_trace.back().screen);
  if (!WriteBmp(file, pixels, sim::kScreenWidth, sim::kScreenHeight)) {
    if (m_shotError.empty()) m_shotError = file.string() + ": cannot be written";
    return;
  }
  m_shots.push_back(file);
}

}  // namespace win32
