// tabulix-gui: the desktop program. One window; `tabulix-gui FILE` opens FILE at start.

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/kestrine_dlg.hpp"
#include "app/user_prompts.hpp"
#include "base/large_pages.hpp"

namespace {

// Names the program and reads its command line: help and the version are answered here
// (the program ends), and what is left are the files to open.
QStringList ParseCommandLine(QCoreApplication& application) {
  QCoreApplication::setApplicationName(QStringLiteral("tabulix-gui"));
  QCoreApplication::setApplicationVersion(QStringLiteral(TABULIX_VERSION));
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Quillbar Tabulix: recovers damaged Excel 97-2003 workbooks.\n"
                     "Without a display, use the command line: tabulix recover FILE"));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("FILE"),
                               QStringLiteral("An .xls file to open at start (optional)."));
  parser.process(application);
  return parser.positionalArguments();
}

bool Asks(int argc, char** argv, std::initializer_list<const char*> options) {
  for (int i = 1; i < argc; ++i) {
    for (const char* option : options) {
      if (std::strcmp(argv[i], option) == 0) return true;
    }
  }
  return false;
}

bool HaveDisplay() {
  // A platform chosen by hand (offscreen, vnc, eglfs) needs no display server.
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
         !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  // Help and the version are answered without a window, where there is no display too.
  if (Asks(argc, argv, {"-h", "--help", "-?", "--help-all", "-v", "--version"})) {
    QCoreApplication application(argc, argv);
    ParseCommandLine(application);
    return 0;
  }
  if (!HaveDisplay()) {
    std::fputs(
        "tabulix-gui: there is no display to show the window on (DISPLAY and WAYLAND_DISPLAY "
        "are not set).\nWithout a display, recover with the command line: tabulix recover "
        "FILE\n",
        stderr);
    return 1;
  }

  // Any file may be chosen once the window is up, and a large one loads two to three times
  // faster with the heap on huge pages.
  tabulix::RestartWithLargePages(argv);
  QApplication application(argc, argv);
  const QStringList files = ParseCommandLine(application);
  if (files.size() > 1) {
    std::fputs("tabulix-gui: give at most one file to open\n", stderr);
    return 2;
  }

  const std::unique_ptr<tabulix::app::UserPrompts> prompts = tabulix::app::MakeDesktopPrompts();
  tabulix::app::CKestrineDlg window(*prompts);
  if (!files.isEmpty()) {
    const QString file = files.front();
    // Once the window is up, so that the load's messages have a window to show over.
    QTimer::singleShot(0, &window, [&window, file] { window.OpenFile(file); });
  }
  // The window ends the program itself, through its exit question.
  return window.exec();
}
