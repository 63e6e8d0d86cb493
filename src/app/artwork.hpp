#pragma once
// The program's pictures, painted by code: the banner across the top of the main window
// and the window icon. No image files ship with the program.

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tabulix::app {

inline constexpr int kBannerWidth = 655;
inline constexpr int kBannerHeight = 99;

// The one-line product caption printed on the banner; the status line can show the same.
QString BannerCaption();

// The banner: product name, caption and a spreadsheet-grid motif on a gradient,
// kBannerWidth x kBannerHeight pixels.
QPixmap BannerPixmap();

// A sheet-with-grid glyph, drawn at 16, 32, 48 and 64 pixels.
QIcon AppIcon();

}  // namespace tabulix::app
