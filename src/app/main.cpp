// tabulix-gui: the desktop program. One window; `tabulix-gui FILE` opens FILE at start.

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>

#include "app/kestrine_dlg.hpp"
#include "app/user_prompts.hpp"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tabulix-gui"));
  QApplication::setApplicationVersion(QStringLiteral(TABULIX_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Quillbar Tabulix: recovers damaged Excel 97-2003 workbooks."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("FILE"),
                               QStringLiteral("An .xls file to open at start (optional)."));
  parser.process(application);
  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) {
    std::fputs("tabulix-gui: give at most one file to open\n", stderr);
    return 2;
  }

  const auto prompts = tabulix::app::MakeDesktopPrompts();
  tabulix::app::CKestrineDlg window(*prompts);
  if (!files.isEmpty()) {
    const QString file = files.front();
    // Once the window is up, so that the load's messages have a window to show over.
    QTimer::singleShot(0, &window, [&window, file] { window.OpenFile(file); });
  }
  // The window ends the program itself, through its exit question.
  return window.exec();
}
