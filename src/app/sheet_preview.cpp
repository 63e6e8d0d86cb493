#include "app/sheet_preview.hpp"

#include <QFont>
#include <QLabel>
#include <QPalette>

#include "app/dialog_units.hpp"
#include "app/flex_grid.hpp"

namespace tabulix::app {

namespace {

constexpr const char* kNote =
    "NOTE:The preview is partial and with limited functionality. The recovered file will have "
    "all formating preserved.";

}  // namespace

SheetPreview2::SheetPreview2(QWidget* parent)
    : QWidget(parent),
      grid_(new CMSFlexGrid(this)),
      note_(new QLabel(QString::fromUtf8(kNote), this)) {
  setFont(QFont(QStringLiteral("Verdana"), 8));
  // Painted like the main window: white behind, black text.
  QPalette colours = palette();
  colours.setColor(QPalette::Window, Qt::white);
  colours.setColor(QPalette::WindowText, Qt::black);
  setPalette(colours);
  setAutoFillBackground(true);
  grid_->setGeometry(DialogRect(0, 0, 358, 186));
  note_->setGeometry(DialogRect(0, 188, kWidthUnits, 8));
  resize(sizeHint());
}

QSize SheetPreview2::sizeHint() const { return DialogRect(0, 0, kWidthUnits, kHeightUnits).size(); }

}  // namespace tabulix::app
