// The screens of the updater: number, name and the bitmap resource that shows it.
#pragma once

struct ScreenInfo {
  int screen;
  const char* name;
  int bitmap;
};

// The screen's row of the table, or null for a number without a picture.
const ScreenInfo* FindScreen(int screen);
// Every screen, in number order.
const ScreenInfo* ScreensBegin();
const ScreenInfo* ScreensEnd();
