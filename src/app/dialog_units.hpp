#pragma once
// The window's layout is given in dialog units of an 8-point font whose base units are
// 7 x 13 pixels at 96 DPI: one horizontal unit is 1.75 px, one vertical unit 1.625 px.
// Keeping that conversion puts every control where the status-line hints expect it.

#include <QRect>
#include <cmath>

namespace tabulix::app {

// x in pixels: the left edge rounds down (282 units give 493 px), the right edge to the
// nearest pixel (362 units give 634 px).
inline int DialogLeft(int x) { return static_cast<int>(std::floor(x * 1.75)); }
inline int DialogRight(int x) { return static_cast<int>(std::lround(x * 1.75)); }
// y in pixels, to the nearest (62 units give 101 px, 79 give 128).
inline int DialogY(int y) { return static_cast<int>(std::lround(y * 1.625)); }

// A control's rectangle from its template position (x, y, width, height in units).
inline QRect DialogRect(int x, int y, int width, int height) {
  const int left = DialogLeft(x);
  const int top = DialogY(y);
  return QRect(left, top, DialogRight(x + width) - left, DialogY(y + height) - top);
}

}  // namespace tabulix::app
