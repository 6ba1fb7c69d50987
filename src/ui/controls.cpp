#include "ui/controls.h"

#include <atomic>
#include <utility>

#include "ui/dialog.h"

namespace ui {

namespace {
std::atomic<int> g_liveBitmaps{0};
}  // namespace

Bitmap::Bitmap(int resourceId) : m_resourceId(resourceId) { ++g_liveBitmaps; }
Bitmap::~Bitmap() { --g_liveBitmaps; }
int Bitmap::LiveCount() { return g_liveBitmaps.load(); }

PictureCtrl::PictureCtrl(Dialog& parent, int id, int x, int y, int width, int height,
                         int initialBitmap)
    : Control(parent, id, platform::ControlKind::kPicture, x, y, width, height, true) {
  MutableState().bitmap = initialBitmap;
}

PictureCtrl::~PictureCtrl() { delete m_bitmap; }

Bitmap* PictureCtrl::SetBitmap(Bitmap* bitmap) {
  Bitmap* previous = std::exchange(m_bitmap, bitmap);
  MutableState().bitmap = bitmap != nullptr ? bitmap->ResourceId() : 0;
  Changed();
  return previous;
}

ProgressCtrl::ProgressCtrl(Dialog& parent, int id, int x, int y, int width, int height,
                           bool visible)
    : Control(parent, id, platform::ControlKind::kProgressBar, x, y, width, height, visible) {}

void ProgressCtrl::SetRange(int lower, int upper) {
  MutableState().rangeMin = lower;
  MutableState().rangeMax = upper;
  Changed();
}

void ProgressCtrl::SetPos(int position) {
  auto& state = MutableState();
  // A progress bar keeps its position inside its range.
  if (position < state.rangeMin) position = state.rangeMin;
  if (position > state.rangeMax) position = state.rangeMax;
  if (state.position == position) return;
  state.position = position;
  Changed();
}

intptr_t ProgressCtrl::OnMessage(const Message& message) {
  if (message.message == kPbmSetPos) {
    const int previous = GetPos();
    SetPos(static_cast<int>(message.wParam));
    return previous;
  }
  if (message.message == kPbmSetRange) {
    SetRange(static_cast<int>(message.lParam & 0xFFFF), static_cast<int>(message.lParam >> 16));
    return 0;
  }
  return Control::OnMessage(message);
}

StaticText::StaticText(Dialog& parent, int id, int x, int y, int width, int height,
                       std::string text, bool visible)
    : Control(parent, id, platform::ControlKind::kStaticText, x, y, width, height, visible) {
  MutableState().text = std::move(text);
}

void StaticText::SetWindowText(std::string_view text) {
  if (MutableState().text == text) return;
  MutableState().text = std::string(text);
  Changed();
}

Button::Button(Dialog& parent, int id, int x, int y, int width, int height, std::string text,
               bool visible)
    : Control(parent, id, platform::ControlKind::kButton, x, y, width, height, visible) {
  MutableState().text = std::move(text);
}

}  // namespace ui
