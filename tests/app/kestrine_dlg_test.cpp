// The main window driven as a person drives it, with the questions it asks answered by the
// test: start-up, loads through Browse, a drop and the command line, failed loads, saves
// and their names, the keys it swallows, the exit question, the status-line hints and the
// progress animation.

#include "app/kestrine_dlg.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/about_dlg.hpp"
#include "app/artwork.hpp"
#include "app/color_button.hpp"
#include "app/dialog_units.hpp"
#include "app/flex_grid.hpp"
#include "app/user_prompts.hpp"
#include "app/workbook_preview.hpp"
#include "document/cell_text.hpp"
#include "document/preview_format.hpp"
#include "support/test_support.hpp"

// Messages of failed expectations show texts, not code units.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tabulix::app {
namespace {

namespace fs = std::filesystem;
using test::CorpusDir;
using test::LogCapture;
using test::TempDir;

// Answers the window's questions from queues and records what it showed.
class ScriptedPrompts : public UserPrompts {
 public:
  std::deque<std::optional<QString>> openAnswers;
  std::deque<std::optional<QString>> saveAnswers;
  bool exitAnswer = false;
  bool replaceAnswer = false;
  bool openDocumentAnswer = false;
  // Runs inside ShowMessage, as a modal box's own event loop would.
  std::function<void(const QString&)> duringMessage;

  struct Message {
    QString text;
    QString detail;
  };
  std::vector<Message> messages;
  std::vector<QString> reports;
  std::vector<QString> documentsOpened;
  std::vector<QString> replaceQuestions;
  std::vector<int> endStatuses;
  int openQuestions = 0;
  int exitQuestions = 0;
  int aboutBoxes = 0;

  std::optional<QString> ChooseFileToOpen(QWidget*) override {
    ++openQuestions;
    if (openAnswers.empty()) return std::nullopt;
    auto answer = openAnswers.front();
    openAnswers.pop_front();
    return answer;
  }
  std::optional<QString> ChooseFileToSave(QWidget*) override {
    if (saveAnswers.empty()) return std::nullopt;
    auto answer = saveAnswers.front();
    saveAnswers.pop_front();
    return answer;
  }
  bool ConfirmReplace(QWidget*, const QString& path) override {
    replaceQuestions.push_back(path);
    return replaceAnswer;
  }
  bool ConfirmExit(QWidget*) override {
    ++exitQuestions;
    return exitAnswer;
  }
  void ShowMessage(QWidget*, const QString& text, const QString& detail) override {
    EXPECT_EQ(QThread::currentThread(), qApp->thread()) << "a box shown off the window's thread";
    messages.push_back({text, detail});
    if (duringMessage) duringMessage(text);
  }
  void ShowReport(QWidget*, const QString&, const QString& text) override {
    reports.push_back(text);
  }
  void ShowAbout(QWidget*) override { ++aboutBoxes; }
  bool OpenDocument(const QString& path) override {
    documentsOpened.push_back(path);
    return openDocumentAnswer;
  }
  void EndProgram(int status) override { endStatuses.push_back(status); }

  std::vector<QString> Texts() const {
    std::vector<QString> texts;
    for (const Message& message : messages) texts.push_back(message.text);
    return texts;
  }
};

QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }
// The path as the window shows a file opened by name: absolute and without "..".
QString Shown(const fs::path& path) { return Q(fs::absolute(path).lexically_normal()); }

// Serves the window's events until `done` holds; fails after two minutes.
bool WaitFor(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > 120000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

bool WaitIdle(CKestrineDlg& window) {
  // The completion is queued after the worker's last update: serve events once more after
  // the window says it is idle, so nothing of this load is left in the queue.
  const bool idle = WaitFor([&window] { return !window.Busy(); });
  QCoreApplication::processEvents();
  return idle;
}

std::vector<QString> TabNames(CKestrineDlg& window) {
  std::vector<QString> names;
  for (int i = 0; i < window.Preview().ItemCount(); ++i)
    names.push_back(window.Preview().ItemText(i));
  return names;
}

const std::vector<QString> kPlaceholders{"Sheet 1", "Sheet 2", "Sheet 3"};

bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

class MainWindow : public testing::Test {
 protected:
  LogCapture logs;
  TempDir dir;
  ScriptedPrompts prompts;
};

TEST_F(MainWindow, StartsWithPlaceholderTabsSaveDisabledAndTheTemplatesLayout) {
  CKestrineDlg window(prompts);
  EXPECT_EQ(TabNames(window), kPlaceholders);
  EXPECT_EQ(window.Preview().GetCurSel(), 0);
  EXPECT_FALSE(window.SaveEnabled());
  EXPECT_TRUE(window.BrowseEnabled());
  EXPECT_TRUE(window.ExitEnabled());
  EXPECT_EQ(window.StatusText(), "Ready");
  EXPECT_EQ(window.PathText(), "");
  EXPECT_EQ(window.ProgressValue(), 0);
  EXPECT_EQ(window.windowTitle(), "Quillbar Tabulix 2.5");
  EXPECT_FALSE(window.DetailedLog());
  // Dialog units at 1.75 x 1.625 px: where the hints expect the controls.
  EXPECT_EQ(window.Client().size(), QSize(649, 564));
  EXPECT_EQ(window.BrowseButton().geometry(), QRect(QPoint(493, 101), QPoint(633, 127)));
  EXPECT_TRUE(window.BrowseButton().attached());
  EXPECT_TRUE(window.SaveButton().attached());
  EXPECT_EQ(window.SaveButton().backgroundColor(), 0xFFFFFFu);
  EXPECT_EQ(window.SaveButton().textColor(), 0x010101u);
  EXPECT_EQ(window.SaveButton().disabledColor(), 0x808080u);
  EXPECT_EQ(window.SaveButton().bevelWidth(), 2);
  // The run header goes to both logs; no trace lines while detailed logging is off.
  const auto lines = logs.ExecutionLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "Last Log On");
  EXPECT_EQ(logs.ErrorLines().size(), 5u);
}

TEST_F(MainWindow, DetailedLoggingFromTheSettingsFileAndTheMenuToggle) {
  { std::ofstream(logs.locations().configFile, std::ios::binary) << "Log = 1"; }
  CKestrineDlg window(prompts);
  EXPECT_TRUE(window.DetailedLog());
  const auto lines = logs.ExecutionLines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "Code:0  Error:0  MSG:In CKestrineDlg::OnInitDialog()");
  EXPECT_EQ(lines[2], "Last Log On");
  EXPECT_EQ(lines[6], "Code:0  Error:0  MSG:............preparing..........");
  EXPECT_EQ(lines[7], "Code:0  Error:0  MSG:............prepared..........");

  // A missing help page is logged while detailed logging is on, and only then.
  window.OnHelpContents();
  ASSERT_EQ(prompts.documentsOpened.size(), 1u);
  EXPECT_TRUE(prompts.documentsOpened[0].endsWith("/Tabulix.html"));
  const std::string helpLine =
      "Error opening help file from " + CKestrineDlg::HelpFilePath().toStdString();
  EXPECT_EQ(logs.CountError(helpLine), 1);

  window.OnFileLog();
  EXPECT_FALSE(window.DetailedLog());
  EXPECT_EQ(test::ReadFileBytes(logs.locations().configFile),
            (std::vector<std::uint8_t>{'L', 'o', 'g', ' ', '=', ' ', '0'}));
  window.OnHelpContents();
  EXPECT_EQ(logs.CountError(helpLine), 1);
  prompts.openDocumentAnswer = true;
  window.OnFileLog();
  window.OnHelpContents();
  EXPECT_EQ(logs.CountError(helpLine), 1);
}

TEST_F(MainWindow, LoadThroughBrowseShowsTheSheetsAndEnablesSave) {
  CKestrineDlg window(prompts);
  // Cancelling the open dialog changes nothing but the status line.
  window.OnBrowse();
  EXPECT_EQ(window.StatusText(), "Pls. Select File to be recovered");
  EXPECT_EQ(TabNames(window), kPlaceholders);
  EXPECT_TRUE(window.BrowseEnabled());

  const fs::path file = CorpusDir() / "real" / "12843-1.xls";
  prompts.openAnswers.push_back(Q(file));
  window.OnBrowse();
  EXPECT_FALSE(window.BrowseEnabled());
  EXPECT_FALSE(window.SaveEnabled());
  EXPECT_TRUE(window.ExitEnabled());
  EXPECT_EQ(window.PathText(), Q(file));
  ASSERT_TRUE(WaitIdle(window));

  EXPECT_EQ(prompts.Texts(), std::vector<QString>{Padded(16, "File loaded successfully.", 17)});
  EXPECT_EQ(window.StatusText(), "File loaded successfully.");
  EXPECT_TRUE(window.SaveEnabled());
  EXPECT_TRUE(window.BrowseEnabled());
  EXPECT_EQ(window.ProgressValue(), 0);

  // Five tabs at most, named after the first worksheets as the report names them.
  const RecoveryReport& report = window.Workbook().report();
  std::vector<QString> expected;
  std::vector<std::size_t> worksheets;
  for (std::size_t i = 0; i < report.sheets_.size() && expected.size() < 5; ++i) {
    if (!report.sheets_[i].IsWorksheet()) continue;
    expected.push_back(QString::fromStdString(report.sheets_[i].name_));
    worksheets.push_back(i);
  }
  ASSERT_EQ(expected.size(), 5u);
  EXPECT_EQ(TabNames(window), expected);

  // The first page shows the first worksheet's corner with the shared cell texts.
  const WorksheetView& view = window.Workbook().sheetViews()[worksheets[0]];
  int compared = 0;
  for (std::uint32_t r = 0; r < std::min<std::uint32_t>(view.RowCount(), 100); ++r) {
    for (std::uint32_t c = 0; c < view.ColumnCount(); ++c) {
      const ViewCell* cell = view.CellAt(r, c);
      if (!cell) continue;
      const auto text = PreviewCellText(window.Workbook().workbook(), *cell);
      if (!text) continue;
      EXPECT_EQ(window.Preview().Grid(0).GetTextMatrix(r + 1, c + 1), QString::fromStdString(*text))
          << r << "," << c;
      ++compared;
    }
  }
  EXPECT_GT(compared, 20);
  EXPECT_TRUE(window.Preview().PageFilled(0));
  EXPECT_FALSE(window.Preview().PageFilled(1));

  // The load banner went to both logs, whatever the detailed-logging switch says.
  const std::string banner = "Code:0  Error:0  MSG:File Name : " + file.string();
  EXPECT_TRUE(Contains(logs.ExecutionLines(), banner));
  EXPECT_TRUE(Contains(logs.ErrorLines(), banner));

  // The report of the load, in the core's words.
  window.OnRecoveryReport();
  ASSERT_EQ(prompts.reports.size(), 1u);
  EXPECT_TRUE(prompts.reports[0].contains(expected[0])) << prompts.reports[0].toStdString();
  EXPECT_TRUE(prompts.reports[0].contains("intact")) << prompts.reports[0].toStdString();

  // Loading again replaces the preview; this workbook's cells have fills, font colours and
  // bold, which the grid shows as the core formats them.
  const fs::path other = CorpusDir() / "real" / "47245_test.xls";
  window.OpenFile(Q(other));
  ASSERT_TRUE(WaitIdle(window));
  EXPECT_EQ(window.PathText(), Shown(other));
  const auto shown = WorkbookPreview::PreviewSheets(window.Workbook());
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(window.Preview().ItemText(0), shown[0].second);
  const WorksheetView& formatted = window.Workbook().sheetViews()[shown[0].first];
  int filled = 0;
  int coloured = 0;
  int bold = 0;
  for (std::uint32_t r = 0; r < std::min<std::uint32_t>(formatted.RowCount(), 100); ++r) {
    for (std::uint32_t c = 0; c < formatted.ColumnCount(); ++c) {
      const ViewCell* cell = formatted.CellAt(r, c);
      if (!cell || !PreviewCellText(window.Workbook().workbook(), *cell)) continue;
      const PreviewFormat format =
          PreviewFormatOf(window.Workbook().workbook(), cell->formatIndex_);
      const CMSFlexGrid& grid = window.Preview().Grid(0);
      const int row = static_cast<int>(r) + 1;
      const int column = static_cast<int>(c) + 1;
      const auto asGrid = [](std::optional<std::uint32_t> rgb) {
        return rgb ? std::optional<std::uint32_t>(GridColour(*rgb)) : std::nullopt;
      };
      EXPECT_EQ(grid.CellBackColorAt(row, column), asGrid(format.fill)) << r << "," << c;
      EXPECT_EQ(grid.CellForeColorAt(row, column), asGrid(format.text)) << r << "," << c;
      EXPECT_EQ(grid.CellFontBoldAt(row, column), format.bold) << r << "," << c;
      filled += format.fill ? 1 : 0;
      coloured += format.text && *format.text != 0 ? 1 : 0;
      bold += format.bold ? 1 : 0;
    }
  }
  EXPECT_GT(filled, 0);
  EXPECT_GT(coloured, 0);
  EXPECT_GT(bold, 0);
}

TEST_F(MainWindow, FailedLoadsSayWhyAndLeaveTheWindowUsable) {
  CKestrineDlg window(prompts);
  const fs::path zip = dir / "book.xls";
  test::WriteFileBytes(zip, {'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0, 'x', 'l', '/', 0, 0, 0, 0, 0});
  const fs::path vanished = dir / "gone.xls";
  const fs::path password = CorpusDir() / "odd" / "password.xls";
  struct Case {
    fs::path file;
    QString coreSays;  // a text of the core's own message, shown before the window's
  };
  for (const Case& each : {Case{zip, "zip"}, Case{vanished, "no file"},
                           Case{password, "File is password protected."}}) {
    SCOPED_TRACE(each.file.string());
    prompts.messages.clear();
    prompts.openAnswers.push_back(Q(each.file));
    window.OnBrowse();
    ASSERT_TRUE(WaitIdle(window));
    const auto texts = prompts.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.back(), Padded(16, "Could not load file.", 17));
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end() - 1, [&](const QString& text) {
      return text.contains(each.coreSays);
    })) << texts.front().toStdString();
    EXPECT_EQ(window.StatusText(), "Ready");
    EXPECT_EQ(TabNames(window), kPlaceholders);
    EXPECT_EQ(window.PathText(), "");
    EXPECT_FALSE(window.SaveEnabled());
    EXPECT_TRUE(window.BrowseEnabled());
    EXPECT_EQ(window.ProgressValue(), 0);
    for (int page = 0; page < 5; ++page) {
      EXPECT_EQ(window.Preview().Grid(page).GetTextMatrix(1, 1), "");
      EXPECT_EQ(window.Preview().Grid(page).GetTextMatrix(0, 1), "A");
    }
  }
  // The report says why the last load failed.
  window.OnRecoveryReport();
  ASSERT_EQ(prompts.reports.size(), 1u);
  EXPECT_TRUE(prompts.reports[0].contains("password")) << prompts.reports[0].toStdString();

  // And the window still loads.
  prompts.messages.clear();
  prompts.openAnswers.push_back(Q(CorpusDir() / "real" / "13224.xls"));
  window.OnBrowse();
  ASSERT_TRUE(WaitIdle(window));
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{Padded(16, "File loaded successfully.", 17)});
  EXPECT_TRUE(window.SaveEnabled());
}

TEST_F(MainWindow, SavesFollowTheNamingRulesAndXlrdReadsThem) {
  CKestrineDlg window(prompts);
  const fs::path source = dir / "book.xls";
  fs::copy_file(CorpusDir() / "real" / "13224.xls", source);
  window.OpenFile(Q(source));
  ASSERT_TRUE(WaitIdle(window));
  prompts.messages.clear();

  // Never over the file it was recovered from, under any name.
  const auto original = test::ReadFileBytes(source);
  fs::create_symlink(source, dir / "link.xls");
  for (const fs::path& same : {source, dir / "link.xls", dir / "book"}) {
    prompts.messages.clear();
    prompts.replaceAnswer = true;
    prompts.saveAnswers.push_back(Q(same));
    window.OnSave();
    ASSERT_TRUE(WaitIdle(window));
    ASSERT_EQ(prompts.messages.size(), 1u) << same;
    EXPECT_TRUE(prompts.messages[0].text.contains("cannot be saved over")) << same;
    EXPECT_EQ(test::ReadFileBytes(source), original);
    EXPECT_TRUE(window.SaveEnabled());
  }
  prompts.replaceAnswer = false;
  prompts.replaceQuestions.clear();
  prompts.messages.clear();

  struct Case {
    std::string typed;
    std::string written;
  };
  for (const Case& each : {Case{"report", "report.xls"}, Case{"report2.xls", "report2.xls"},
                           Case{"report3.XLS", "report3.XLS.xls"}}) {
    SCOPED_TRACE(each.typed);
    prompts.saveAnswers.push_back(Q(dir / each.typed));
    window.OnSave();
    EXPECT_FALSE(window.SaveEnabled());
    EXPECT_FALSE(window.BrowseEnabled());
    EXPECT_FALSE(window.ExitEnabled());
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_TRUE(fs::is_regular_file(dir / each.written));
    EXPECT_EQ(prompts.Texts().back(), Padded(12, "File saved successfully.", 13));
    EXPECT_EQ(window.StatusText(), "File saved successfully.");
    EXPECT_TRUE(window.SaveEnabled());
    EXPECT_TRUE(window.BrowseEnabled());
    EXPECT_TRUE(window.ExitEnabled());
    EXPECT_EQ(window.ProgressValue(), 0);
  }
  EXPECT_FALSE(fs::exists(dir / "report3.XLS"));

  // xlrd reads the same sheets and cells from the saved file as from the original.
  std::string fromOriginal;
  std::string saved;
  const std::string script =
      " -c \"import sys, xlrd; b = xlrd.open_workbook(sys.argv[1]); "
      "print([(s.name, [[c.value for c in s.row(r)] for r in range(s.nrows)]) for s in "
      "b.sheets()])\" ";
  ASSERT_EQ(
      test::RunCommand(TABULIX_PYTHON + script + test::ShellQuote(source.string()), &fromOriginal),
      0);
  ASSERT_EQ(test::RunCommand(
                TABULIX_PYTHON + script + test::ShellQuote((dir / "report.xls").string()), &saved),
            0);
  EXPECT_EQ(saved, fromOriginal);

  // "report" is now taken as report.xls: the window asks before replacing it.
  const auto before = fs::last_write_time(dir / "report.xls");
  prompts.saveAnswers.push_back(Q(dir / "report"));
  window.OnSave();
  ASSERT_TRUE(WaitIdle(window));
  ASSERT_EQ(prompts.replaceQuestions.size(), 1u);
  EXPECT_EQ(prompts.replaceQuestions[0], Q(dir / "report.xls"));
  EXPECT_EQ(fs::last_write_time(dir / "report.xls"), before);
  EXPECT_TRUE(window.SaveEnabled());

  // A folder that cannot be written: the reason is shown, nothing is left there, and the
  // workbook stays loaded for another try.
  const fs::path locked = dir / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  // Root writes anywhere: a folder that does not exist fails for everyone.
  const fs::path target = geteuid() == 0 ? dir / "missing" / "out.xls" : locked / "out.xls";
  prompts.messages.clear();
  prompts.saveAnswers.push_back(Q(target));
  window.OnSave();
  ASSERT_TRUE(WaitIdle(window));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, Padded(17, "Error : Saving File.", 16));
  EXPECT_FALSE(prompts.messages[0].detail.isEmpty());
  EXPECT_EQ(window.StatusText(), "Could Not Save File.");
  EXPECT_TRUE(window.SaveEnabled());
  EXPECT_TRUE(window.BrowseEnabled());
  EXPECT_TRUE(fs::is_empty(locked));
  fs::permissions(locked, fs::perms::owner_all);

  prompts.messages.clear();
  prompts.saveAnswers.push_back(Q(dir / "again.xls"));
  window.OnSave();
  ASSERT_TRUE(WaitIdle(window));
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{Padded(12, "File saved successfully.", 13)});
}

TEST_F(MainWindow, ClosingDuringASaveWaitsForItAndOnlyTheExitQuestionEndsTheProgram) {
  CKestrineDlg window(prompts);
  window.show();
  // Enter and Escape, on the window or on a focused button, do nothing.
  for (QWidget* target :
       {static_cast<QWidget*>(&window), static_cast<QWidget*>(&window.BrowseButton())}) {
    for (const int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(target, &press);
    }
  }
  QCoreApplication::processEvents();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(prompts.openQuestions, 0);
  EXPECT_EQ(prompts.exitQuestions, 0);

  // Closing asks; No keeps the window.
  window.close();
  EXPECT_EQ(prompts.exitQuestions, 1);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(prompts.endStatuses.empty());

  window.OpenFile(Q(CorpusDir() / "real" / "12843-1.xls"));
  ASSERT_TRUE(WaitIdle(window));
  prompts.messages.clear();

  // Yes during a save: the save runs to its end, then the program ends, with no box.
  const fs::path target = dir / "closing.xls";
  prompts.saveAnswers.push_back(Q(target));
  window.OnSave();
  prompts.exitAnswer = true;
  window.close();
  EXPECT_TRUE(prompts.endStatuses.empty());
  EXPECT_EQ(window.StatusText(), "Finishing the save before exit. Please wait....");
  // The hint does not hide that the window is waiting.
  window.OnMouseMove(QPoint(10, 300));
  EXPECT_EQ(window.StatusText(), "Finishing the save before exit. Please wait....");
  ASSERT_TRUE(WaitIdle(window));
  EXPECT_EQ(prompts.endStatuses, std::vector<int>{0});
  EXPECT_TRUE(prompts.messages.empty());
  EXPECT_TRUE(fs::is_regular_file(target));
  std::string read;
  EXPECT_EQ(test::RunCommand(
                std::string(TABULIX_PYTHON) +
                    " -c \"import sys, xlrd; print(xlrd.open_workbook(sys.argv[1]).nsheets)\" " +
                    test::ShellQuote(target.string()),
                &read),
            0);

  // Yes while idle ends at once.
  prompts.endStatuses.clear();
  window.OnExit();
  EXPECT_EQ(prompts.endStatuses, std::vector<int>{0});
}

TEST_F(MainWindow, PointerHintsLandOnTheirAreas) {
  CKestrineDlg window(prompts);
  window.show();
  struct Case {
    QPoint at;
    QString hint;
  };
  const Case cases[] = {
      {{600, 120}, "Click browse to select a file."},
      {{10, 300}, "Partial Excel View"},
      {{10, 560}, "Status Bar"},
      {{5, 0}, "Select Menu"},
      {{700, 10}, "Ready"},
      {{520, 520}, "Click save button to save file."},
  };
  for (const Case& each : cases) {
    QMouseEvent move(QEvent::MouseMove, QPointF(each.at),
                     window.Client().mapToGlobal(QPointF(each.at)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&window.Client(), &move);
    EXPECT_EQ(window.StatusText(), each.hint) << each.at.x() << "," << each.at.y();
  }
  window.OnMouseMove(QPoint(100, 50));
  EXPECT_EQ(window.StatusText(), BannerCaption());
  // Over the banner, the labels and the preview's frame the pointer is the window's own;
  // over the buttons, the path box and the preview it belongs to them.
  for (const QPoint at : {QPoint(100, 50), QPoint(20, 112), QPoint(2, 140), QPoint(10, 560)})
    EXPECT_EQ(window.Client().childAt(at), nullptr) << at.x() << "," << at.y();
  EXPECT_EQ(window.Client().childAt(QPoint(600, 120)), &window.BrowseButton());
  EXPECT_TRUE(window.Preview().isAncestorOf(window.Client().childAt(QPoint(300, 300))));
}

TEST_F(MainWindow, TheProgressAnimationRunsWhileALoadWaits) {
  EXPECT_EQ(ProgressStatusText(0), "Pls. wait processing......");
  EXPECT_EQ(ProgressStatusText(35), "Pls. wait processing....");
  EXPECT_EQ(ProgressStatusText(55), "Pls. wait processing......");
  EXPECT_EQ(ProgressStatusText(77), "Pls. wait processing......");
  EXPECT_EQ(ProgressStatusText(5), "Pls. wait processing..");
  EXPECT_EQ(ProgressStatusText(14), "Pls. wait processing....");
  EXPECT_EQ(ProgressStatusText(1), std::nullopt);

  // The core's message about a missing file holds the load worker (as a box would) while
  // the animation steps on: the bar climbs and the status cycles through its texts.
  CKestrineDlg window(prompts);
  std::vector<QString> seen;
  int highest = 0;
  prompts.duringMessage = [&](const QString& text) {
    if (!text.contains("Could not open")) return;
    WaitFor([&] {
      if (seen.empty() || seen.back() != window.StatusText()) seen.push_back(window.StatusText());
      highest = std::max(highest, window.ProgressValue());
      return highest >= 8;
    });
  };
  prompts.openAnswers.push_back(Q(dir / "missing.xls"));
  window.OnBrowse();
  ASSERT_TRUE(WaitIdle(window));
  EXPECT_GE(highest, 8);
  EXPECT_NE(std::find(seen.begin(), seen.end(), "Pls. wait processing.."), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), "Pls. wait processing...."), seen.end());
  EXPECT_EQ(window.StatusText(), "Ready");
  EXPECT_EQ(window.ProgressValue(), 0);
}

TEST_F(MainWindow, AFileDroppedOnTheWindowLoadsAsIfChosen) {
  CKestrineDlg window(prompts);
  window.show();
  const fs::path file = CorpusDir() / "real" / "13224.xls";
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(Q(file))});
  const QPoint at(300, 300);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &drop);
  EXPECT_EQ(window.PathText(), Shown(file));
  ASSERT_TRUE(WaitIdle(window));
  EXPECT_EQ(prompts.Texts(), std::vector<QString>{Padded(16, "File loaded successfully.", 17)});
  EXPECT_TRUE(window.SaveEnabled());
  EXPECT_EQ(prompts.openQuestions, 0);

  // Two files at once, or something that is no file, are not taken.
  QMimeData two;
  two.setUrls({QUrl::fromLocalFile(Q(file)), QUrl::fromLocalFile(Q(file))});
  QDragEnterEvent enterTwo(at, Qt::CopyAction, &two, Qt::LeftButton, Qt::NoModifier);
  enterTwo.ignore();
  QApplication::sendEvent(&window, &enterTwo);
  EXPECT_FALSE(enterTwo.isAccepted());
}

TEST_F(MainWindow, AboutUsShowsTheProductAndClosesWithOk) {
  CKestrineDlg window(prompts);
  window.OnAboutUs();
  EXPECT_EQ(prompts.aboutBoxes, 1);

  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), "About Quillbar Tabulix");
  EXPECT_EQ(about.size(), QSize(DialogRight(165), DialogY(74)));
  const auto labels = about.findChildren<QLabel*>();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
    return label->text() == "Quillbar Tabulix Version 2.5";
  }));
  auto* ok = about.findChild<QPushButton*>();
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), "OK");
  EXPECT_EQ(ok->geometry(), DialogRect(56, 53, 50, 14));
  about.show();
  ok->click();
  EXPECT_EQ(about.result(), QDialog::Accepted);
  EXPECT_FALSE(about.isVisible());
}

TEST(DesktopProgram, AnswersHelpAnywhereAndSaysWhyItCannotStartWithoutADisplay) {
  const std::string program = test::ShellQuote(TABULIX_GUI_PATH);
  const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
  std::string help;
  EXPECT_EQ(test::RunCommand(noDisplay + program + " --help", &help), 0);
  EXPECT_NE(help.find("FILE"), std::string::npos) << help;
  std::string said;
  EXPECT_NE(test::RunCommand(noDisplay + program + " book.xls 2>&1", &said), 0);
  EXPECT_NE(said.find("no display"), std::string::npos) << said;
  EXPECT_NE(said.find("tabulix recover"), std::string::npos) << said;
  EXPECT_NE(test::RunCommand("QT_QPA_PLATFORM=offscreen " + program + " a.xls b.xls 2>/dev/null"),
            0);
}

}  // namespace
}  // namespace tabulix::app
