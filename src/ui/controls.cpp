#include "ui/controls.h"

#include <algorithm>
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

ListView::ListView(Dialog& parent, int id, int x, int y, int width, int height)
    : Control(parent, id, platform::ControlKind::kListView, x, y, width, height, true) {}

void ListView::SetBkColor(uint32_t colour) {
  MutableState().backColour = colour;
  Changed();
}

void ListView::SetTextColor(uint32_t colour) {
  MutableState().textColour = colour;
  Changed();
}

void ListView::SetTextBkColor(uint32_t colour) {
  // The cells are drawn on the list's own background; the text background follows it.
  MutableState().backColour = colour;
  Changed();
}

int ListView::InsertColumn(int /*index*/, std::string_view heading, int widthPixels) {
  auto& state = MutableState();
  state.columns.emplace_back(heading);
  state.columnWidths.push_back(widthPixels);
  for (auto& row : state.rows) row.resize(state.columns.size());
  Changed();
  return static_cast<int>(state.columns.size()) - 1;
}

int ListView::InsertItem(int /*index*/, std::string_view text) {
  auto& state = MutableState();
  std::vector<std::string> row(std::max<std::size_t>(state.columns.size(), 1));
  row[0] = std::string(text);
  state.rows.push_back(std::move(row));
  Changed();
  return static_cast<int>(state.rows.size()) - 1;
}

bool ListView::SetItemText(int row, int column, std::string_view text) {
  auto& state = MutableState();
  if (row < 0 || column < 0 || row >= static_cast<int>(state.rows.size()) ||
      column >= static_cast<int>(state.rows[row].size())) {
    return false;
  }
  if (state.rows[row][column] == text) return true;
  state.rows[row][column] = std::string(text);
  Changed();
  return true;
}

std::string ListView::GetItemText(int row, int column) const {
  const auto& rows = State().rows;
  if (row < 0 || column < 0 || row >= static_cast<int>(rows.size()) ||
      column >= static_cast<int>(rows[row].size())) {
    return {};
  }
  return rows[row][column];
}

Button::Button(Dialog& parent, int id, int x, int y, int width, int height, std::string text,
               bool visible)
    : Control(parent, id, platform::ControlKind::kButton, x, y, width, height, visible) {
  MutableState().text = std::move(text);
}

}  // namespace ui
