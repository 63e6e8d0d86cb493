#include "app/flex_grid.hpp"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QHeaderView>
#include <QTableWidgetItem>
#include <algorithm>
#include <cmath>

#include "document/preview_format.hpp"

namespace tabulix::app {

namespace {

constexpr int kDefaultColumnTwips = 1000;
constexpr int kHeaderColumnTwips = 400;
// The grid's own rows: 240 twips.
constexpr int kRowPixels = 16;

QColor ToQColor(std::uint32_t colour) {
  return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                static_cast<int>((colour >> 16) & 0xFF));
}

std::uint32_t FromQColor(const QColor& colour) {
  return static_cast<std::uint32_t>(colour.red()) |
         (static_cast<std::uint32_t>(colour.green()) << 8) |
         (static_cast<std::uint32_t>(colour.blue()) << 16);
}

std::optional<std::uint32_t> BrushColour(const QBrush& brush) {
  if (brush.style() == Qt::NoBrush) return std::nullopt;
  return FromQColor(brush.color());
}

}  // namespace

CMSFlexGrid::CMSFlexGrid(QWidget* parent)
    : QTableWidget(kRows - 1, kCols - 1, parent), widths_(kCols, 0), corner_(NewItem()) {
  // The fonts the preview was laid out for; the platform substitutes its nearest.
  setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setWordWrap(false);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(kRowPixels);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  // Empty header sections: the table would number them itself otherwise.
  for (int col = 1; col < kCols; ++col) setHorizontalHeaderItem(col - 1, NewItem());
  for (int row = 1; row < kRows; ++row) setVerticalHeaderItem(row - 1, NewItem());
  SetColWidth(0, kHeaderColumnTwips);
  for (int col = 1; col < kCols; ++col) SetColWidth(col, kDefaultColumnTwips);
}

CMSFlexGrid::~CMSFlexGrid() = default;

QTableWidgetItem* CMSFlexGrid::NewItem() const {
  auto* item = new QTableWidgetItem();
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  return item;
}

const QTableWidgetItem* CMSFlexGrid::ItemAt(int row, int col) const {
  if (row < 0 || row >= kRows || col < 0 || col >= kCols) return nullptr;
  if (row == 0 && col == 0) return corner_.get();
  if (row == 0) return horizontalHeaderItem(col - 1);
  if (col == 0) return verticalHeaderItem(row - 1);
  return item(row - 1, col - 1);
}

QTableWidgetItem* CMSFlexGrid::Item(int row, int col) {
  if (row < 0 || row >= kRows || col < 0 || col >= kCols) return nullptr;
  if (row == 0 && col == 0) return corner_.get();
  QTableWidgetItem* found = nullptr;
  if (row == 0) {
    found = horizontalHeaderItem(col - 1);
    if (found == nullptr) setHorizontalHeaderItem(col - 1, found = NewItem());
  } else if (col == 0) {
    found = verticalHeaderItem(row - 1);
    if (found == nullptr) setVerticalHeaderItem(row - 1, found = NewItem());
  } else {
    found = item(row - 1, col - 1);
    if (found == nullptr) setItem(row - 1, col - 1, found = NewItem());
  }
  return found;
}

void CMSFlexGrid::SetCellBackColor(std::uint32_t colour) {
  if (QTableWidgetItem* cell = CurrentItem()) cell->setBackground(ToQColor(colour));
}

std::uint32_t CMSFlexGrid::GetCellBackColor() const {
  return CellBackColorAt(row_, col_).value_or(0);
}

void CMSFlexGrid::SetCellForeColor(std::uint32_t colour) {
  if (QTableWidgetItem* cell = CurrentItem()) cell->setForeground(ToQColor(colour));
}

std::uint32_t CMSFlexGrid::GetCellForeColor() const {
  return CellForeColorAt(row_, col_).value_or(0);
}

void CMSFlexGrid::SetCellAlignment(std::int16_t alignment) {
  Qt::Alignment horizontal;
  switch (alignment) {
    case kPreviewAlignCentre:
      horizontal = Qt::AlignHCenter;
      break;
    case kPreviewAlignRight:
      horizontal = Qt::AlignRight;
      break;
    case kPreviewAlignLeft:
      horizontal = Qt::AlignLeft;
      break;
    default:
      return;
  }
  if (QTableWidgetItem* cell = CurrentItem()) cell->setTextAlignment(horizontal | Qt::AlignVCenter);
}

void CMSFlexGrid::SetCellFontBold(bool bold) {
  QTableWidgetItem* cell = CurrentItem();
  if (cell == nullptr) return;
  // A cell without a font of its own shows the grid's; starting from the application's
  // would change its face and size too.
  QFont shown = cell->data(Qt::FontRole).isValid() ? cell->font() : font();
  shown.setBold(bold);
  cell->setFont(shown);
}

void CMSFlexGrid::SetColWidth(int col, int twips) {
  if (col < 0 || col >= kCols) return;
  twips = std::max(twips, 0);
  widths_[static_cast<std::size_t>(col)] = twips;
  const int pixels = static_cast<int>(std::lround(twips / static_cast<double>(kTwipsPerPixel)));
  // The header column is the table's row header: its width is the header's.
  if (col == 0) {
    verticalHeader()->setFixedWidth(pixels);
  } else {
    setColumnWidth(col - 1, pixels);
  }
}

int CMSFlexGrid::GetColWidth(int col) const {
  if (col < 0 || col >= kCols) return 0;
  return widths_[static_cast<std::size_t>(col)];
}

void CMSFlexGrid::SetTextMatrix(int row, int col, const QString& text) {
  if (QTableWidgetItem* cell = Item(row, col)) cell->setText(text);
}

QString CMSFlexGrid::GetTextMatrix(int row, int col) const {
  const QTableWidgetItem* cell = ItemAt(row, col);
  return cell != nullptr ? cell->text() : QString();
}

void CMSFlexGrid::Clear() {
  clearContents();
  // Replacing a header item deletes the one it replaces.
  for (int col = 1; col < kCols; ++col) setHorizontalHeaderItem(col - 1, NewItem());
  for (int row = 1; row < kRows; ++row) setVerticalHeaderItem(row - 1, NewItem());
  corner_.reset(NewItem());
}

std::optional<std::uint32_t> CMSFlexGrid::CellBackColorAt(int row, int col) const {
  const QTableWidgetItem* cell = ItemAt(row, col);
  return cell != nullptr ? BrushColour(cell->background()) : std::nullopt;
}

std::optional<std::uint32_t> CMSFlexGrid::CellForeColorAt(int row, int col) const {
  const QTableWidgetItem* cell = ItemAt(row, col);
  return cell != nullptr ? BrushColour(cell->foreground()) : std::nullopt;
}

std::int16_t CMSFlexGrid::CellAlignmentAt(int row, int col) const {
  const QTableWidgetItem* cell = ItemAt(row, col);
  if (cell == nullptr || !cell->data(Qt::TextAlignmentRole).isValid()) return 0;
  const int horizontal = cell->textAlignment() & Qt::AlignHorizontal_Mask;
  if (horizontal == Qt::AlignHCenter) return kPreviewAlignCentre;
  if (horizontal == Qt::AlignRight) return kPreviewAlignRight;
  if (horizontal == Qt::AlignLeft) return kPreviewAlignLeft;
  return 0;
}

bool CMSFlexGrid::CellFontBoldAt(int row, int col) const {
  const QTableWidgetItem* cell = ItemAt(row, col);
  return cell != nullptr && cell->data(Qt::FontRole).isValid() && cell->font().bold();
}

}  // namespace tabulix::app
