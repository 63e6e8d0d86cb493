#pragma once
// One page of the preview: the grid of one sheet and, below it, the note that the preview
// is partial. White background, black text, laid out in dialog units.

#include <QWidget>

class QLabel;

namespace tabulix::app {

class CMSFlexGrid;

class SheetPreview2 : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidthUnits = 362;
  static constexpr int kHeightUnits = 202;

  explicit SheetPreview2(QWidget* parent = nullptr);

  CMSFlexGrid& Grid() { return *grid_; }
  const CMSFlexGrid& Grid() const { return *grid_; }
  const QLabel& Note() const { return *note_; }

  QSize sizeHint() const override;

 private:
  CMSFlexGrid* grid_;
  QLabel* note_;
};

}  // namespace tabulix::app
