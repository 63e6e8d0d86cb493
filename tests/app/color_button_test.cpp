#include "app/color_button.hpp"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QSet>
#include <QWidget>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "app/artwork.hpp"

namespace tabulix::app {
namespace {

constexpr int kWidth = 120;
constexpr int kHeight = 40;  // tall enough that the caption never reaches the focus ring
constexpr QRgb kSentinel = 0x12AB34;
// The main window's colours; 0x00BBGGRR, which for greys reads the same as Qt's 0xRRGGBB.
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kCaption = 0x010101;
constexpr QRgb kDisabledCaption = 0x808080;

QRgb Grey(int level) { return static_cast<QRgb>(level * 0x010101); }
QRgb At(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; }

// A dialog holding one button with the id the main window gives "Browse".
struct Dialog {
  QWidget window;
  CColorButton* button;
  explicit Dialog(const QString& caption = QStringLiteral("Browse")) {
    button = new CColorButton(caption, &window);
    button->setProperty("controlId", 1001);
    button->resize(kWidth, kHeight);
  }
  void Attach(std::uint32_t background = kWhite, int bevel = 2) {
    button->Attach(1001, &window, background, kCaption, kDisabledCaption, bevel);
  }
  QImage Grab() const { return button->grab().toImage().convertToFormat(QImage::Format_RGB32); }
};

QImage Render(const CColorButton& button, unsigned state, QSize size = {kWidth, kHeight}) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(kSentinel);
  QPainter painter(&image);
  button.DrawItem(painter, QRect(QPoint(0, 0), size), state);
  return image;
}

// Bounding box and number of the pixels of exactly `color`.
std::pair<QRect, int> Find(const QImage& image, QRgb color) {
  std::pair<QRect, int> found;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (At(image, x, y) != color) continue;
      found.first = found.first.united(QRect(x, y, 1, 1));
      ++found.second;
    }
  }
  return found;
}

// Pixels of ring `ring` (0 outermost) that differ from a top row and left column in
// `topLeft` and the rest of the bottom row and right column in `bottomRight`.
int RingMismatches(const QImage& image, int ring, QRgb topLeft, QRgb bottomRight) {
  const int right = image.width() - 1 - ring;
  const int bottom = image.height() - 1 - ring;
  int wrong = 0;
  for (int x = ring; x <= right; ++x) {
    wrong += At(image, x, ring) != topLeft;
    wrong += x > ring && At(image, x, bottom) != bottomRight;
  }
  for (int y = ring; y <= bottom; ++y) {
    wrong += At(image, ring, y) != topLeft;
    wrong += y > ring && At(image, right, y) != bottomRight;
  }
  return wrong;
}

TEST(ColorButton, RaisedFrameAroundAWhiteFaceAndAnExactCaption) {
  Dialog dialog;
  dialog.Attach();
  const QImage image = Render(*dialog.button, 0);
  // Outer ring white over grey 127, inner ring grey 223 over grey 85, reaching the
  // button's outermost pixels; the top-right and bottom-left corners are the light edges'.
  EXPECT_EQ(RingMismatches(image, 0, Grey(255), Grey(127)), 0);
  EXPECT_EQ(RingMismatches(image, 1, Grey(223), Grey(85)), 0);
  EXPECT_EQ(At(image, kWidth - 1, kHeight - 1), Grey(127));
  // Inside only the face and the caption's own colour (no antialiasing), all painted; the
  // outer ring's top and left edges are white too.
  const auto [box, captionPixels] = Find(image, kCaption);
  EXPECT_GT(captionPixels, 0);
  EXPECT_EQ(Find(image, kWhite).second + captionPixels,
            (kWidth - 4) * (kHeight - 4) + kWidth + kHeight - 1);
  EXPECT_NEAR(box.center().x(), kWidth / 2, 3);
  EXPECT_NEAR(box.center().y(), kHeight / 2, 4);
}

TEST(ColorButton, FrameRingsFollowTheBevelWidthAndSign) {
  struct Case {
    int bevel;
    QSize size;
    std::vector<std::pair<QRgb, QRgb>> rings;  // top-left, bottom-right, outermost first
  };
  const QSize normal(kWidth, kHeight);
  const QSize tiny(9, 6);  // room for three rings
  // The face is 0x00BBGGRR 0x00336699: red 0x99, green 0x66, blue 0x33.
  const QRgb face = 0x996633;
  for (const Case& c : {
           Case{0, normal, {}},
           Case{1, normal, {{Grey(255), Grey(128)}}},
           Case{-1, normal, {{Grey(128), Grey(255)}}},
           Case{3, normal, {{Grey(255), Grey(127)}, {Grey(223), Grey(85)}, {Grey(213), Grey(63)}}},
           // Sunken: the innermost ring closes in near-black.
           Case{-2, normal, {{Grey(127), Grey(255)}, {Grey(85), 0x010101}}},
           // Wider than the button: the rings stop when nothing is left inside.
           Case{1000, tiny, {{Grey(255), Grey(127)}, {Grey(223), Grey(85)}, {Grey(213), Grey(63)}}},
           Case{std::numeric_limits<int>::min(),
                tiny,
                {{Grey(127), Grey(255)}, {Grey(85), Grey(223)}, {Grey(63), Grey(213)}}},
       }) {
    SCOPED_TRACE(c.bevel);
    Dialog dialog(QString{});
    dialog.Attach(0x336699, c.bevel);
    const QImage image = Render(*dialog.button, 0, c.size);
    const int rings = static_cast<int>(c.rings.size());
    for (int ring = 0; ring < rings; ++ring) {
      EXPECT_EQ(RingMismatches(image, ring, c.rings[ring].first, c.rings[ring].second), 0);
    }
    EXPECT_EQ(Find(image, face).second,
              std::max(0, c.size.width() - 2 * rings) * std::max(0, c.size.height() - 2 * rings));
  }
}

TEST(ColorButton, DisabledCaptionCoversTheEnabledOne) {
  Dialog dialog;
  dialog.Attach();
  const QImage disabled = Render(*dialog.button, CColorButton::kDisabled);
  EXPECT_EQ(Find(disabled, kCaption).second, 0);
  EXPECT_EQ(Find(disabled, kDisabledCaption), Find(Render(*dialog.button, 0), kCaption));
  EXPECT_EQ(RingMismatches(disabled, 0, Grey(255), Grey(127)), 0);
}

TEST(ColorButton, FocusRectangleAndThePressedLook) {
  Dialog dialog;
  dialog.Attach();
  const QImage plain = Render(*dialog.button, 0);
  const QImage focused = Render(*dialog.button, CColorButton::kFocus);
  const QImage pressed = Render(*dialog.button, CColorButton::kFocus | CColorButton::kSelected);

  // Focus: every other pixel of the ring 4 pixels inside, from its corner on, inverted
  // (the white face turns black); the rest of the button as without focus.
  QImage expected = plain;
  const QRect ring(4, 4, kWidth - 8, kHeight - 8);
  for (int y = ring.top(); y <= ring.bottom(); ++y) {
    for (int x = ring.left(); x <= ring.right(); ++x) {
      const bool onRing =
          x == ring.left() || x == ring.right() || y == ring.top() || y == ring.bottom();
      if (onRing && (x + y) % 2 == 0) expected.setPixel(x, y, 0x000000);
    }
  }
  EXPECT_EQ(focused, expected);

  // Pressed and focused: one sunken ring (grey 0x808080 over white) whatever the bevel
  // width, the caption one pixel right and down, the focus rectangle shown once more.
  EXPECT_EQ(RingMismatches(pressed, 0, Grey(128), Grey(255)), 0);
  EXPECT_EQ(RingMismatches(pressed, 1, kWhite, kWhite), 0);
  const auto [before, count] = Find(plain, kCaption);
  EXPECT_EQ(Find(pressed, kCaption), std::make_pair(before.translated(1, 1), count));
  EXPECT_EQ(At(pressed, 4, 4), 0x000000u);
  EXPECT_EQ(At(pressed, 5, 4), kWhite);
  // Pressed without focus keeps the raised look.
  EXPECT_EQ(Render(*dialog.button, CColorButton::kSelected), plain);
}

TEST(ColorButton, AttachNeedsThisButtonUnderItsIdInTheParent) {
  Dialog dialog;
  QWidget stranger;
  auto* save = new CColorButton(QStringLiteral("Save"), &dialog.window);
  save->setProperty("controlId", 1021);
  CColorButton& browse = *dialog.button;
  browse.Attach(1021, &dialog.window, 0x0000FF, 0x00FF00, 0xFF0000, 5);  // another's id
  browse.Attach(4242, &dialog.window, 0x0000FF, 0x00FF00, 0xFF0000, 5);  // nobody's
  browse.Attach(1001, &stranger, 0x0000FF, 0x00FF00, 0xFF0000, 5);
  browse.Attach(1001, nullptr, 0x0000FF, 0x00FF00, 0xFF0000, 5);
  EXPECT_FALSE(browse.attached());
  EXPECT_EQ(browse.backgroundColor(), 0xFFFFFFu);
  EXPECT_EQ(browse.textColor(), 0x000000u);
  EXPECT_EQ(browse.disabledColor(), 0x808080u);
  EXPECT_EQ(browse.bevelWidth(), 2);
  EXPECT_NE(dialog.Grab(), Render(browse, 0));  // still the platform's look

  // A button inside a container of the dialog is found too; a later failing Attach keeps
  // what the good one stored.
  save->setParent(new QWidget(&dialog.window));
  save->Attach(1021, &dialog.window, 0x0000FF, 0x00FF00, 0xFF0000, -1);
  save->Attach(9999, &dialog.window, 0, 0, 0, 0);
  EXPECT_TRUE(save->attached());
  EXPECT_EQ(save->backgroundColor(), 0x0000FFu);
  EXPECT_EQ(save->textColor(), 0x00FF00u);
  EXPECT_EQ(save->disabledColor(), 0xFF0000u);
  EXPECT_EQ(save->bevelWidth(), -1);
  EXPECT_FALSE(browse.attached());
}

TEST(ColorButton, AttachedButtonPaintsThroughDrawItem) {
  Dialog dialog;
  dialog.Attach();
  EXPECT_EQ(dialog.Grab(), Render(*dialog.button, 0));
  dialog.button->setEnabled(false);
  const QImage disabled = dialog.Grab();
  EXPECT_EQ(disabled, Render(*dialog.button, CColorButton::kDisabled));
  EXPECT_GT(Find(disabled, kDisabledCaption).second, 0);
}

TEST(ColorButton, ArtworkIsPaintedAtItsSizes) {
  const QImage banner = BannerPixmap().toImage();
  EXPECT_EQ(banner.size(), QSize(655, 99));
  QSet<QRgb> colours;
  for (int y = 0; y < banner.height(); y += 3) {
    for (int x = 0; x < banner.width(); x += 3) colours.insert(banner.pixel(x, y));
  }
  EXPECT_GT(colours.size(), 20);
  const QIcon icon = AppIcon();
  ASSERT_FALSE(icon.isNull());
  for (const int size : {16, 32, 48, 64}) EXPECT_TRUE(icon.availableSizes().contains({size, size}));
}

}  // namespace
}  // namespace tabulix::app
