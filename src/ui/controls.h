// The controls of the updater's dialogs.
#pragma once

#include <string>
#include <string_view>

#include "ui/dialog.h"

namespace ui {

// A bitmap loaded from the program's resources. Each live bitmap is counted, so that a leak of
// bitmaps can be seen.
class Bitmap {
 public:
  explicit Bitmap(int resourceId);
  ~Bitmap();
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  int ResourceId() const { return m_resourceId; }
  static int LiveCount();

 private:
  int m_resourceId;
};

// A static control in bitmap style.
class PictureCtrl : public Control {
 public:
  PictureCtrl(Dialog& parent, int id, int x, int y, int width, int height, int initialBitmap);
  // A bitmap still shown goes with the control.
  ~PictureCtrl() override;
  // Shows a bitmap; returns the one shown before (null for the template's own), which the
  // caller deletes.
  Bitmap* SetBitmap(Bitmap* bitmap);
  int BitmapId() const { return State().bitmap; }

 private:
  Bitmap* m_bitmap = nullptr;
};

class ProgressCtrl : public Control {
 public:
  ProgressCtrl(Dialog& parent, int id, int x, int y, int width, int height, bool visible);
  void SetRange(int lower, int upper);
  void SetPos(int position);
  int GetPos() const { return State().position; }
  intptr_t OnMessage(const Message& message) override;
};

class StaticText : public Control {
 public:
  StaticText(Dialog& parent, int id, int x, int y, int width, int height, std::string text,
             bool visible);
  void SetWindowText(std::string_view text);
  const std::string& GetWindowText() const { return State().text; }
};

// A list view in report style: headed columns of text cells.
class ListView : public Control {
 public:
  ListView(Dialog& parent, int id, int x, int y, int width, int height);
  void SetBkColor(uint32_t colour);
  void SetTextColor(uint32_t colour);
  void SetTextBkColor(uint32_t colour);
  // Adds a column at the end (index is where the caller wants it: the next one).
  int InsertColumn(int index, std::string_view heading, int widthPixels);
  // Adds a row at the end with the first cell's text; returns its index.
  int InsertItem(int index, std::string_view text);
  bool SetItemText(int row, int column, std::string_view text);
  std::string GetItemText(int row, int column) const;
  int GetItemCount() const { return static_cast<int>(State().rows.size()); }
  int GetColumnCount() const { return static_cast<int>(State().columns.size()); }
};

class Button : public Control {
 public:
  Button(Dialog& parent, int id, int x, int y, int width, int height, std::string text,
         bool visible);
};

}  // namespace ui
