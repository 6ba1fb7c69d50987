#include "sim/display_list.h"

#include <algorithm>

namespace sim {

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

constexpr DisplayRect kWholeScreen{0, 0, kScreenWidth, kScreenHeight};

// The text styles of the dialog templates, which the frame does not carry.
struct TextStyle {
  int templateId;
  int controlId;
  TextAlign align;
};
constexpr TextStyle kTextStyles[] = {
    {102, 1008, TextAlign::kCentre},  // the error line
    {132, 1009, TextAlign::kRight},   // the updater's version
};

TextAlign AlignOf(int templateId, const platform::ControlState& control) {
  for (const TextStyle& style : kTextStyles) {
    if (style.templateId == templateId && style.controlId == control.id) return style.align;
  }
  return control.kind == platform::ControlKind::kButton ? TextAlign::kCentre : TextAlign::kLeft;
}

int PixelsAcross(int units) { return units * kScreenWidth / kDialogUnitsAcross; }
int PixelsDown(int units) { return units * kScreenHeight / kDialogUnitsDown; }

// The list view's colours are the system's colour references, 0x00BBGGRR.
uint32_t FromColourRef(uint32_t colour) {
  return ((colour & 0xFF) << 16) | (colour & 0xFF00) | ((colour >> 16) & 0xFF);
}

DisplayRect Inset(const DisplayRect& rect, int across, int down) {
  return {rect.x + across, rect.y + down, std::max(rect.w - 2 * across, 0),
          std::max(rect.h - 2 * down, 0)};
}

class Layout {
 public:
  explicit Layout(std::vector<DrawOp>* ops) : m_ops(ops) {}

  void Dialog(const platform::DialogState& dialog) {
    const bool captioned = !dialog.caption.empty();
    const int border = captioned ? 1 : 0;
    const int title = captioned ? kTitleHeight : 0;
    const int clientWidth = PixelsAcross(dialog.width);
    const int clientHeight = PixelsDown(dialog.height);
    DisplayRect window{0, 0, clientWidth + 2 * border, clientHeight + title + 2 * border};
    if (dialog.centred) {
      window.x = (kScreenWidth - window.w) / 2;
      window.y = (kScreenHeight - window.h) / 2;
    }
    m_client = {window.x + border, window.y + border + title, clientWidth, clientHeight};
    m_clip = kWholeScreen;
    if (captioned) {
      Fill(window, kDarkShadow);
      const DisplayRect bar{m_client.x, window.y + border, clientWidth, title};
      Fill(bar, kTitleBar);
      Text(dialog.caption, kWhite, Inset(bar, kCellPadding, 0), TextAlign::kLeft,
           TextFace::kCaption);
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

  void Fill(const DisplayRect& rect, uint32_t colour) {
    DrawOp op;
    op.kind = DrawOp::Kind::kFill;
    op.rect = rect;
    op.clip = m_clip;
    op.colour = colour;
    m_ops->push_back(std::move(op));
  }

 private:
  void Control(int templateId, const platform::ControlState& control) {
    const int left = PixelsAcross(control.x);
    const int top = PixelsDown(control.y);
    const DisplayRect rect{m_client.x + left, m_client.y + top,
                           PixelsAcross(control.x + control.width) - left,
                           PixelsDown(control.y + control.height) - top};
    switch (control.kind) {
      case platform::ControlKind::kPicture: {
        // A picture control takes the size of its bitmap.
        DrawOp op;
        op.kind = DrawOp::Kind::kBitmap;
        op.rect = {rect.x, rect.y, 0, 0};
        op.clip = m_clip;
        op.bitmap = control.bitmap;
        m_ops->push_back(std::move(op));
        return;
      }
      case platform::ControlKind::kProgressBar:
        ProgressBar(control, rect);
        return;
      case platform::ControlKind::kStaticText:
        Fill(rect, kFace);
        Text(control.text, kBlack, rect, AlignOf(templateId, control), TextFace::kRegular);
        return;
      case platform::ControlKind::kListView:
        ListView(control, rect);
        return;
      case platform::ControlKind::kButton:
        Fill(rect, kDarkShadow);
        Fill(Inset(rect, 1, 1), kFace);
        Text(control.text, kBlack, rect, AlignOf(templateId, control), TextFace::kRegular);
        return;
    }
  }

  void ProgressBar(const platform::ControlState& control, const DisplayRect& rect) {
    Fill(rect, kShadow);
    DisplayRect inner = Inset(rect, 1, 1);
    Fill(inner, kWhite);
    const int64_t span = static_cast<int64_t>(control.rangeMax) - control.rangeMin;
    if (span <= 0) return;
    const int64_t done = std::clamp<int64_t>(int64_t{control.position} - control.rangeMin, 0, span);
    inner.w = static_cast<int>(inner.w * done / span);
    Fill(inner, kProgressFill);
  }

  void ListView(const platform::ControlState& control, const DisplayRect& rect) {
    Fill(rect, kShadow);
    const DisplayRect inner = Inset(rect, 1, 1);
    Fill(inner, FromColourRef(control.backColour));
    const uint32_t textColour = FromColourRef(control.textColour);
    const DisplayRect header{inner.x, inner.y, inner.w, kHeaderHeight};
    Fill(header, kFace);
    Fill({header.x, header.y + header.h - 1, header.w, 1}, kShadow);
    int x = inner.x;
    for (std::size_t column = 0; column < control.columns.size(); ++column) {
      const int width =
          column < control.columnWidths.size() ? std::max(control.columnWidths[column], 0) : 0;
      if (width > 0) Fill({x + width - 1, header.y, 1, header.h}, kShadow);
      Text(control.columns[column], kBlack,
           Intersect(Inset({x, header.y, width, header.h}, kCellPadding, 0), inner),
           TextAlign::kLeft, TextFace::kRegular);
      for (std::size_t row = 0; row < control.rows.size(); ++row) {
        if (column >= control.rows[row].size()) continue;
        const DisplayRect cell{x, header.y + header.h + static_cast<int>(row) * kRowHeight, width,
                               kRowHeight};
        Text(control.rows[row][column], textColour, Intersect(Inset(cell, kCellPadding, 0), inner),
             TextAlign::kLeft, TextFace::kRegular);
      }
      x += width;
    }
  }

  void Text(const std::string& text, uint32_t colour, const DisplayRect& rect, TextAlign align,
            TextFace face) {
    if (text.empty() || rect.w <= 0 || rect.h <= 0) return;
    DrawOp op;
    op.kind = DrawOp::Kind::kText;
    op.rect = rect;
    op.clip = Intersect(rect, m_clip);
    op.colour = colour;
    op.text = text;
    op.face = face;
    op.align = align;
    m_ops->push_back(std::move(op));
  }

  std::vector<DrawOp>* m_ops;
  DisplayRect m_client{};
  DisplayRect m_clip = kWholeScreen;
};

}  // namespace

DisplayRect Intersect(const DisplayRect& a, const DisplayRect& b) {
  const int left = std::max(a.x, b.x);
  const int top = std::max(a.y, b.y);
  const int right = std::min(a.x + a.w, b.x + b.w);
  const int bottom = std::min(a.y + a.h, b.y + b.h);
  if (right <= left || bottom <= top) return {0, 0, 0, 0};
  return {left, top, right - left, bottom - top};
}

std::vector<DrawOp> LayOutScreen(const platform::ScreenFrame& frame) {
  std::vector<DrawOp> ops;
  Layout layout(&ops);
  layout.Fill(kWholeScreen, kBlack);
  for (const platform::DialogState& dialog : frame.dialogs) layout.Dialog(dialog);
  return ops;
}

}  // namespace sim
