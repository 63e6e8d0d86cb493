#pragma once
// What the window asks of the person in front of it, and what it asks of the desktop, goes
// through this one interface: the program answers with real dialogs, the widget tests with
// their own answers.

#include <QString>
#include <memory>
#include <optional>

class QWidget;

namespace tabulix::app {

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;

  // The file to load ("Excel Files (*.xls)"); nothing when the person cancels.
  virtual std::optional<QString> ChooseFileToOpen(QWidget* parent) = 0;
  // The file to save to ("Save As", asking before replacing a file); nothing on cancel.
  virtual std::optional<QString> ChooseFileToSave(QWidget* parent) = 0;
  // Whether `path`, which the name given to the save dialog became, may be replaced: the
  // save dialog asked about the name as typed, not about this one.
  virtual bool ConfirmReplace(QWidget* parent, const QString& path) = 0;
  // "Do you really want to exit ?", Yes or No.
  virtual bool ConfirmExit(QWidget* parent) = 0;
  // A message box with an OK button; `detail`, when not empty, is shown below the text.
  virtual void ShowMessage(QWidget* parent, const QString& text, const QString& detail = {}) = 0;
  // A read-only text in a window of its own (the recovery report).
  virtual void ShowReport(QWidget* parent, const QString& title, const QString& text) = 0;
  // The About box.
  virtual void ShowAbout(QWidget* parent) = 0;
  // Opens a local file with the desktop's default handler; false when it cannot.
  virtual bool OpenDocument(const QString& path) = 0;
  // Ends the program at once with `status`, without unwinding anything still running.
  virtual void EndProgram(int status) = 0;
};

// The real dialogs, message boxes and desktop services.
std::unique_ptr<UserPrompts> MakeDesktopPrompts();

}  // namespace tabulix::app
