#pragma once
// The About box: the product's name and version, and an OK button.

#include <QDialog>

namespace tabulix::app {

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace tabulix::app
