#pragma once
// A push button that paints itself: a flat face in a chosen colour, a bevel of graded
// greys, its caption centred in a chosen text colour (another one when disabled), a
// dotted focus rectangle and a sunken look while pressed. The main window makes its
// "Browse" and "Save" buttons of this kind.

#include <QPushButton>
#include <QRect>
#include <QString>
#include <cstdint>

class QColor;
class QPainter;
class QPaintEvent;

namespace tabulix::app {

class CColorButton : public QPushButton {
  Q_OBJECT

 public:
  // State bits of a draw request.
  static constexpr unsigned kSelected = 0x01;  // pressed
  static constexpr unsigned kDisabled = 0x04;
  static constexpr unsigned kFocus = 0x10;

  // How far inside the button's edge the focus rectangle lies, in pixels.
  static constexpr int kFocusInset = 4;
  // Longest caption drawn, in UTF-16 code units.
  static constexpr int kMaxCaption = 511;

  explicit CColorButton(QWidget* parent = nullptr);
  explicit CColorButton(const QString& text, QWidget* parent = nullptr);

  // Takes over the button of `parent` whose property "controlId" is `id`, which must be
  // this button. Colours are 0x00BBGGRR; `bevel` is the number of frame rings, negative
  // for a sunken frame. Only when the button is found are the four values stored and the
  // button paints itself; otherwise nothing changes and it keeps the platform's look.
  void Attach(int id, QWidget* parent, std::uint32_t background, std::uint32_t text,
              std::uint32_t disabled, int bevel);

  bool attached() const { return attached_; }
  std::uint32_t textColor() const { return textColor_; }
  std::uint32_t backgroundColor() const { return backgroundColor_; }
  std::uint32_t disabledColor() const { return disabledColor_; }
  int bevelWidth() const { return bevelWidth_; }

  // Paints the button into `item` on `painter` for the state bits given (kFocus,
  // kSelected, kDisabled), with the stored colours, whether attached or not.
  void DrawItem(QPainter& painter, const QRect& item, unsigned state) const;

  // 0x00BBGGRR as a Qt colour. The top byte (the platform's palette-relative flag) means
  // nothing on a true-colour surface and is ignored.
  static QColor ToQColor(std::uint32_t color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Rectangles are Qt's (x, y, width, height): the right edge is x + width, one pixel
  // past the last column, as the bevel's arithmetic expects.
  void DrawFilledRect(QPainter& painter, const QRect& rect, std::uint32_t color) const;
  // A one-pixel line from (x1, y1) up to, but not including, (x2, y2).
  void DrawLine(QPainter& painter, int x1, int y1, int x2, int y2, std::uint32_t color) const;
  void DrawFrame(QPainter& painter, QRect rect, int depth) const;
  void DrawButtonText(QPainter& painter, const QRect& rect, const QString& caption,
                      std::uint32_t color) const;
  void DrawFocusRect(QPainter& painter, const QRect& rect) const;
  QString Caption() const;

  std::uint32_t textColor_ = 0x000000;
  std::uint32_t backgroundColor_ = 0xFFFFFF;
  std::uint32_t disabledColor_ = 0x808080;
  int bevelWidth_ = 2;
  bool attached_ = false;
};

}  // namespace tabulix::app
