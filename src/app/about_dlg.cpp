#include "app/about_dlg.hpp"

#include <QLabel>
#include <QPushButton>

#include "app/artwork.hpp"
#include "app/dialog_units.hpp"

namespace tabulix::app {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Quillbar Tabulix"));
  setFixedSize(DialogRight(165), DialogY(74));
  // Painted like the main window: white background, black text.
  QPalette colours = palette();
  colours.setColor(QPalette::Window, Qt::white);
  colours.setColor(QPalette::WindowText, Qt::black);
  setPalette(colours);
  setAutoFillBackground(true);

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setGeometry(DialogRect(7, 7, 20, 20));

  auto* name = new QLabel(QStringLiteral("Quillbar Tabulix Version 2.5"), this);
  name->setAlignment(Qt::AlignCenter);
  name->setGeometry(DialogRect(30, 8, 128, 10));
  auto* what = new QLabel(QStringLiteral("Recovers damaged Excel 97-2003 workbooks."), this);
  what->setAlignment(Qt::AlignCenter);
  what->setGeometry(DialogRect(30, 22, 128, 10));
  auto* build = new QLabel(QStringLiteral("Build " TABULIX_VERSION), this);
  build->setAlignment(Qt::AlignCenter);
  build->setGeometry(DialogRect(30, 34, 128, 10));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setProperty("controlId", 1);
  ok->setGeometry(DialogRect(56, 53, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tabulix::app
