#include "app/color_button.hpp"

#include <QColor>
#include <QFont>
#include <QList>
#include <QPaintEngine>
#include <QPainter>
#include <QVariant>
#include <cstdlib>

namespace tabulix::app {

namespace {

// The bevel's greys are marked palette-relative, as the platform wants for colours that
// should match its palette; the flag changes nothing on our surfaces.
constexpr std::uint32_t kPaletteRelative = 0x02000000;
// The innermost ring of a deep sunken frame closes in near-black, not pure black, so that
// it stays distinct from a caption drawn in black.
constexpr std::uint32_t kSunkenInnerEdge = 0x010101;
constexpr std::uint32_t kSingleRingLight = 0xFFFFFF;
constexpr std::uint32_t kSingleRingDark = 0x808080;

std::uint32_t Grey(long long level) {
  const auto value = static_cast<std::uint32_t>(level) & 0xFFu;
  return kPaletteRelative | (value << 16) | (value << 8) | value;
}

}  // namespace

CColorButton::CColorButton(QWidget* parent) : QPushButton(parent) {}

CColorButton::CColorButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

QColor CColorButton::ToQColor(std::uint32_t color) {
  return QColor(static_cast<int>(color & 0xFFu), static_cast<int>((color >> 8) & 0xFFu),
                static_cast<int>((color >> 16) & 0xFFu));
}

void CColorButton::Attach(int id, QWidget* parent, std::uint32_t background, std::uint32_t text,
                          std::uint32_t disabled, int bevel) {
  if (parent == nullptr) return;
  // The dialog's buttons may sit in container widgets, so every button below the parent
  // counts, as long as the one carrying the id is this button.
  bool found = false;
  const QList<QPushButton*> buttons = parent->findChildren<QPushButton*>();
  for (const QPushButton* button : buttons) {
    bool isInt = false;
    const int controlId = button->property("controlId").toInt(&isInt);
    if (isInt && controlId == id && button == this) {
      found = true;
      break;
    }
  }
  if (!found) return;
  backgroundColor_ = background;
  textColor_ = text;
  disabledColor_ = disabled;
  bevelWidth_ = bevel;
  attached_ = true;
  update();
}

void CColorButton::paintEvent(QPaintEvent* event) {
  if (!attached_) {
    QPushButton::paintEvent(event);
    return;
  }
  unsigned state = 0;
  if (hasFocus()) state |= kFocus;
  if (isDown()) state |= kSelected;
  if (!isEnabled()) state |= kDisabled;
  QPainter painter(this);
  DrawItem(painter, rect(), state);
}

void CColorButton::DrawItem(QPainter& painter, const QRect& item, unsigned state) const {
  const QRect button = item;
  const QRect focus = item.adjusted(kFocusInset, kFocusInset, -kFocusInset, -kFocusInset);
  const QString caption = Caption();

  DrawFilledRect(painter, button, backgroundColor_);
  DrawFrame(painter, button, bevelWidth_);
  DrawButtonText(painter, button, caption, textColor_);

  if ((state & kFocus) != 0) {
    DrawFocusRect(painter, focus);
    if ((state & kSelected) != 0) {
      // Pressed: a fresh face with the one-ring sunken frame and the caption pushed in by a
      // pixel. The refill wipes the first focus rectangle, so it is drawn once more.
      DrawFilledRect(painter, button, backgroundColor_);
      DrawFrame(painter, button, -1);
      DrawButtonText(painter, button.translated(1, 1), caption, textColor_);
      DrawFocusRect(painter, focus);
    }
  } else if ((state & kDisabled) != 0) {
    // Drawn over the enabled caption: the same glyphs, so no pixel of it remains.
    DrawButtonText(painter, button, caption, disabledColor_);
  }
}

QString CColorButton::Caption() const {
  QString caption = text();
  if (caption.size() > kMaxCaption) {
    qsizetype length = kMaxCaption;
    // Never end on half of a surrogate pair.
    if (caption.at(length - 1).isHighSurrogate()) --length;
    caption.truncate(length);
  }
  return caption;
}

void CColorButton::DrawFilledRect(QPainter& painter, const QRect& rect, std::uint32_t color) const {
  if (rect.isEmpty()) return;
  painter.fillRect(rect, ToQColor(color));
}

void CColorButton::DrawLine(QPainter& painter, int x1, int y1, int x2, int y2,
                            std::uint32_t color) const {
  // Pixels are filled directly so that neither the painter's pen nor its antialiasing is
  // touched, and the end point is left out as the bevel's corners expect.
  const QColor qcolor = ToQColor(color);
  if (y1 == y2) {
    if (x1 != x2) {
      const int from = x1 < x2 ? x1 : x2 + 1;
      painter.fillRect(QRect(from, y1, std::abs(x2 - x1), 1), qcolor);
    }
    return;
  }
  if (x1 == x2) {
    const int from = y1 < y2 ? y1 : y2 + 1;
    painter.fillRect(QRect(x1, from, 1, std::abs(y2 - y1)), qcolor);
    return;
  }
  // Any other slope: step along the longer axis, one pixel per step.
  const int dx = std::abs(x2 - x1);
  const int dy = std::abs(y2 - y1);
  const int sx = x1 < x2 ? 1 : -1;
  const int sy = y1 < y2 ? 1 : -1;
  int error = dx - dy;
  int x = x1;
  int y = y1;
  while (x != x2 || y != y2) {
    painter.fillRect(QRect(x, y, 1, 1), qcolor);
    const int twice = 2 * error;
    if (twice > -dy) {
      error -= dy;
      x += sx;
    }
    if (twice < dx) {
      error += dx;
      y += sy;
    }
  }
}

void CColorButton::DrawFrame(QPainter& painter, QRect rect, int depth) const {
  // In 64 bits: the magnitude of the most negative int does not fit in an int.
  const long long rings = std::llabs(static_cast<long long>(depth));
  for (long long i = 0; i < rings; ++i) {
    // A bevel wider than half the button would draw rings on an inverted rectangle, lines
    // running outside the button; the rings stop once nothing is left inside.
    if (rect.isEmpty()) break;
    std::uint32_t dark = Grey(255 / (i + 2));
    std::uint32_t light = Grey(192 + 63 / (i + 1));
    if (rings == 1) {
      light = kSingleRingLight;
      dark = kSingleRingDark;
    }
    const bool raised = depth >= 0;
    const std::uint32_t topLeft = raised ? light : dark;
    std::uint32_t bottomRight = raised ? dark : light;
    if (!raised && rings >= 2 && i == rings - 1) bottomRight = kSunkenInnerEdge;

    const int left = rect.x();
    const int top = rect.y();
    const int right = rect.x() + rect.width();
    const int bottom = rect.y() + rect.height();
    DrawLine(painter, left, top, right, top, topLeft);
    DrawLine(painter, left, top, left, bottom, topLeft);
    DrawLine(painter, left + 1, bottom - 1, right, bottom - 1, bottomRight);
    DrawLine(painter, right - 1, top + 1, right - 1, bottom, bottomRight);
    rect.adjust(1, 1, -1, -1);
  }
}

void CColorButton::DrawButtonText(QPainter& painter, const QRect& rect, const QString& caption,
                                  std::uint32_t color) const {
  if (caption.isEmpty() || rect.isEmpty()) return;
  painter.save();
  // Without antialiasing every pixel of the caption is exactly the caption colour, so the
  // disabled caption covers the enabled one completely.
  QFont captionFont = font();
  captionFont.setStyleStrategy(QFont::NoAntialias);
  painter.setFont(captionFont);
  painter.setPen(ToQColor(color));
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, caption);
  painter.restore();
}

// The focus rectangle is a one-pixel dotted ring that inverts every other pixel under it
// (a checkerboard aligned to the ring's top-left corner, which is always inverted), so it
// shows on any face and caption colour. Each pixel of the ring is inverted exactly once.
// A surface that cannot invert gets the same dots in the caption colour instead.
void CColorButton::DrawFocusRect(QPainter& painter, const QRect& rect) const {
  if (rect.isEmpty()) return;
  painter.save();
  const QPaintEngine* engine = painter.paintEngine();
  const bool invert = engine != nullptr && engine->hasFeature(QPaintEngine::RasterOpModes);
  QColor dotColor = ToQColor(textColor_);
  if (invert) {
    painter.setCompositionMode(QPainter::RasterOp_NotDestination);
    dotColor = Qt::black;  // ignored by the inversion
  }
  const int left = rect.x();
  const int top = rect.y();
  const int right = rect.x() + rect.width() - 1;
  const int bottom = rect.y() + rect.height() - 1;
  const auto dot = [&](int x, int y) {
    if (((x - left) + (y - top)) % 2 == 0) painter.fillRect(QRect(x, y, 1, 1), dotColor);
  };
  for (int x = left; x <= right; ++x) {
    dot(x, top);
    if (bottom != top) dot(x, bottom);
  }
  for (int y = top + 1; y < bottom; ++y) {
    dot(left, y);
    if (right != left) dot(right, y);
  }
  painter.restore();
}

}  // namespace tabulix::app
