#include "app/artwork.hpp"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QRectF>
#include <array>

namespace tabulix::app {

namespace {

// One palette for banner and icon: deep spreadsheet green, a lighter green and an amber
// accent for the cell that was brought back.
const QColor kDeepGreen(14, 74, 56);
const QColor kGreen(33, 128, 88);
const QColor kMint(196, 236, 214);
const QColor kAmber(246, 184, 62);

// A small spreadsheet seen head-on: a header row and column, cells holding short bars of
// "data", one cell outlined in amber. It fades towards the left into the gradient.
void PaintGridMotif(QPainter& painter, const QRect& area) {
  constexpr int kColumns = 6;
  constexpr int kRows = 5;
  const int cellWidth = area.width() / kColumns;
  const int cellHeight = area.height() / kRows;
  const int width = cellWidth * kColumns;
  const int height = cellHeight * kRows;
  const QRect grid(area.x(), area.y(), width, height);

  painter.save();
  QLinearGradient fade(grid.topLeft(), grid.topRight());
  fade.setColorAt(0.0, QColor(255, 255, 255, 20));
  fade.setColorAt(0.45, QColor(255, 255, 255, 150));
  fade.setColorAt(1.0, QColor(255, 255, 255, 215));
  painter.fillRect(grid, fade);

  // Header row and column, a shade of green.
  QLinearGradient headerFade(grid.topLeft(), grid.topRight());
  headerFade.setColorAt(0.0, QColor(33, 128, 88, 30));
  headerFade.setColorAt(1.0, QColor(33, 128, 88, 200));
  painter.fillRect(QRect(grid.x(), grid.y(), width, cellHeight), headerFade);
  painter.fillRect(QRect(grid.x(), grid.y() + cellHeight, cellWidth, height - cellHeight),
                   QColor(33, 128, 88, 60));

  // Values: bars of varied length, so the sheet reads as filled in.
  constexpr std::array<int, (kColumns - 1) * (kRows - 1)> kFill = {
      70, 45, 85, 30, 60,  //
      55, 80, 40, 65, 90,  //
      35, 60, 75, 50, 40,  //
      80, 30, 55, 85, 65,  //
  };
  for (int row = 1; row < kRows; ++row) {
    for (int column = 1; column < kColumns; ++column) {
      const int percent = kFill[static_cast<std::size_t>((row - 1) * (kColumns - 1) + column - 1)];
      const int alpha = 40 + 35 * column;
      const QRect cell(grid.x() + column * cellWidth, grid.y() + row * cellHeight, cellWidth,
                       cellHeight);
      const int barWidth = (cellWidth - 10) * percent / 100;
      painter.fillRect(QRect(cell.right() - 4 - barWidth, cell.center().y() - 1, barWidth, 3),
                       QColor(14, 74, 56, alpha));
    }
  }

  QPen line(QColor(14, 74, 56, 110));
  line.setWidth(1);
  painter.setPen(line);
  for (int column = 0; column <= kColumns; ++column) {
    const int x = grid.x() + column * cellWidth;
    painter.drawLine(x, grid.y(), x, grid.y() + height);
  }
  for (int row = 0; row <= kRows; ++row) {
    const int y = grid.y() + row * cellHeight;
    painter.drawLine(grid.x(), y, grid.x() + width, y);
  }

  // The recovered cell.
  QPen accent(kAmber);
  accent.setWidth(2);
  painter.setPen(accent);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(
      QRect(grid.x() + 4 * cellWidth, grid.y() + 2 * cellHeight, cellWidth, cellHeight));
  painter.restore();
}

QPixmap IconPixmap(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, size >= 32);

  // The sheet: white with a green border and, from 32 pixels, a folded top-right corner.
  const qreal margin = size / 8.0;
  const QRectF sheet(margin, margin * 0.5, size - 2 * margin, size - margin);
  const qreal fold = size >= 32 ? sheet.width() / 4 : 0;
  QPolygonF outline;
  outline << sheet.topLeft() << QPointF(sheet.right() - fold, sheet.top())
          << QPointF(sheet.right(), sheet.top() + fold) << sheet.bottomRight()
          << sheet.bottomLeft();
  painter.setPen(QPen(kDeepGreen, size >= 48 ? 2 : 1));
  painter.setBrush(Qt::white);
  painter.drawPolygon(outline);

  // Header band and grid lines inside the sheet.
  const qreal inset = size >= 32 ? 2 : 1;
  const QRectF body = sheet.adjusted(inset, inset + fold * 0.6, -inset, -inset);
  const qreal header = body.height() / 5;
  painter.setPen(Qt::NoPen);
  painter.fillRect(QRectF(body.left(), body.top(), body.width(), header), kGreen);
  painter.setPen(QPen(QColor(33, 128, 88, 170), 1));
  constexpr int kColumns = 3;
  const int rows = size >= 32 ? 4 : 3;
  for (int column = 1; column < kColumns; ++column) {
    const qreal x = body.left() + body.width() * column / kColumns;
    painter.drawLine(QPointF(x, body.top() + header), QPointF(x, body.bottom()));
  }
  for (int row = 1; row < rows; ++row) {
    const qreal y = body.top() + header + (body.height() - header) * row / rows;
    painter.drawLine(QPointF(body.left(), y), QPointF(body.right(), y));
  }

  if (fold > 0) {
    QPolygonF flap;
    flap << QPointF(sheet.right() - fold, sheet.top())
         << QPointF(sheet.right() - fold, sheet.top() + fold)
         << QPointF(sheet.right(), sheet.top() + fold);
    painter.setPen(QPen(kDeepGreen, size >= 48 ? 2 : 1));
    painter.setBrush(kMint);
    painter.drawPolygon(flap);
  }

  // From 32 pixels, one cell in amber: the cell brought back.
  if (size >= 32) {
    const qreal cellWidth = body.width() / kColumns;
    const qreal cellHeight = (body.height() - header) / rows;
    painter.setPen(Qt::NoPen);
    painter.setBrush(kAmber);
    painter.drawRect(QRectF(body.left() + cellWidth + 1, body.top() + header + cellHeight + 1,
                            cellWidth - 1, cellHeight - 1));
  }
  painter.end();
  return QPixmap::fromImage(image);
}

}  // namespace

QString BannerCaption() { return QStringLiteral("Recovers damaged Excel 97-2003 workbooks"); }

QPixmap BannerPixmap() {
  QImage image(kBannerWidth, kBannerHeight, QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);

  const QRect whole(0, 0, kBannerWidth, kBannerHeight);
  QLinearGradient background(0, 0, kBannerWidth, kBannerHeight);
  background.setColorAt(0.0, kDeepGreen);
  background.setColorAt(0.65, kGreen);
  background.setColorAt(1.0, QColor(70, 160, 118));
  painter.fillRect(whole, background);

  // A soft light band behind the name.
  QLinearGradient glow(0, 0, 0, kBannerHeight);
  glow.setColorAt(0.0, QColor(255, 255, 255, 40));
  glow.setColorAt(0.5, QColor(255, 255, 255, 0));
  painter.fillRect(whole, glow);

  PaintGridMotif(painter, QRect(400, 10, 240, 80));

  // Name and caption.
  QFont nameFont;
  nameFont.setPixelSize(34);
  nameFont.setBold(true);
  painter.setFont(nameFont);
  painter.setPen(QColor(0, 0, 0, 70));
  painter.drawText(QRect(23, 15, 380, 44), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Quillbar Tabulix"));
  painter.setPen(Qt::white);
  painter.drawText(QRect(21, 13, 380, 44), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Quillbar Tabulix"));

  QFont captionFont;
  captionFont.setPixelSize(14);
  painter.setFont(captionFont);
  painter.setPen(kMint);
  painter.drawText(QRect(22, 60, 380, 22), Qt::AlignLeft | Qt::AlignVCenter, BannerCaption());

  // A thin amber rule under the caption, echoing the recovered cell.
  painter.fillRect(QRect(22, 86, 56, 2), kAmber);

  // A dark line at the foot parts the banner from the controls below it.
  painter.fillRect(QRect(0, kBannerHeight - 1, kBannerWidth, 1), QColor(8, 46, 35));
  painter.end();
  return QPixmap::fromImage(image);
}

QIcon AppIcon() {
  QIcon icon;
  for (const int size : {16, 32, 48, 64}) icon.addPixmap(IconPixmap(size));
  return icon;
}

}  // namespace tabulix::app
