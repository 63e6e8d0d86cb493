#include "app/user_prompts.hpp"

#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>

#include "app/about_dlg.hpp"

namespace tabulix::app {

namespace {

const QString kExcelFilter = QStringLiteral("Excel Files (*.xls)");

class DesktopPrompts : public UserPrompts {
 public:
  std::optional<QString> ChooseFileToOpen(QWidget* parent) override {
    const QString path = QFileDialog::getOpenFileName(parent, QString(), QString(), kExcelFilter);
    if (path.isEmpty()) return std::nullopt;
    return path;
  }

  std::optional<QString> ChooseFileToSave(QWidget* parent) override {
    const QString path =
        QFileDialog::getSaveFileName(parent, QStringLiteral("Save As"), QString(), kExcelFilter);
    if (path.isEmpty()) return std::nullopt;
    return path;
  }

  bool ConfirmReplace(QWidget* parent, const QString& path) override {
    return QMessageBox::question(parent, QStringLiteral("Save As"),
                                 QStringLiteral("%1 already exists.\nDo you want to replace it?")
                                     .arg(QFileInfo(path).fileName()),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  }

  bool ConfirmExit(QWidget* parent) override {
    return QMessageBox::question(parent, QStringLiteral("Quillbar Tabulix 2.5"),
                                 QStringLiteral("Do you really want to exit ?"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  }

  void ShowMessage(QWidget* parent, const QString& text, const QString& detail) override {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quillbar Tabulix 2.5"), text,
                    QMessageBox::Ok, parent);
    if (!detail.isEmpty()) box.setInformativeText(detail);
    box.exec();
  }

  void ShowReport(QWidget* parent, const QString& title, const QString& text) override {
    QDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.resize(640, 480);
    auto* layout = new QVBoxLayout(&dialog);
    auto* view = new QPlainTextEdit(text, &dialog);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(view);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.exec();
  }

  void ShowAbout(QWidget* parent) override {
    CAboutDlg about(parent);
    about.exec();
  }

  bool OpenDocument(const QString& path) override {
    // openUrl does not say whether the file is there: a missing guide would open an
    // error page in the browser, or nothing, and never be logged.
    if (!QFileInfo(path).isFile()) return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  }

  void EndProgram(int status) override { std::_Exit(status); }
};

}  // namespace

std::unique_ptr<UserPrompts> MakeDesktopPrompts() { return std::make_unique<DesktopPrompts>(); }

}  // namespace tabulix::app
