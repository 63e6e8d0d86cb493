#pragma once
// The main window, the whole of the desktop program: a banner, the chosen file, Browse and
// Save, the tabbed preview of the recovered sheets, a progress bar and a status line. It
// owns the workbook object and runs the load and the save in worker threads, whose
// completion comes back to the window's thread as a queued call. It never reads a file
// itself: it shows what the workbook object returns.

#include <QDialog>
#include <QPoint>
#include <QString>
#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "base/log.hpp"
#include "base/notifier.hpp"
#include "document/xls_document.hpp"

class QAction;
class QLabel;
class QLineEdit;
class QMenuBar;
class QProgressBar;

namespace tabulix::app {

class CColorButton;
class UserPrompts;
class WorkbookPreview;

// Control ids of the window, also the numbers of the completion events.
inline constexpr int kPreviewId = 1000;
inline constexpr int kBrowseId = 1001;
inline constexpr int kPathBoxId = 1003;
inline constexpr int kSaveId = 1021;
inline constexpr int kProgressId = 1022;
inline constexpr int kStatusId = 1026;

// The texts of the message boxes, padded as the program has always shown them.
QString Padded(int before, const char* text, int after);

// The status text the progress animation shows at step i (0-99), or nothing when step i
// leaves the text as it was.
std::optional<QString> ProgressStatusText(int step);

// The status-line hint for the pointer at client position (x, y).
QString MouseHint(int x, int y);

// The name a save goes to: "xls" (exactly, case-sensitive) as the extension keeps the
// name, anything else gets ".xls" appended (book -> book.xls, book.XLS -> book.XLS.xls).
QString SaveTarget(const QString& chosen);

class CKestrineDlg : public QDialog {
  Q_OBJECT

 public:
  // `prompts` answers every question the window asks; it must outlive the window.
  explicit CKestrineDlg(UserPrompts& prompts, QWidget* parent = nullptr);
  ~CKestrineDlg() override;

  // Loads `path` as if it had been chosen with Browse (a file named on the command line or
  // dropped on the window). Ignored while a load or save runs.
  void OpenFile(const QString& path);

  // The commands, as the menu and the buttons call them.
  void OnBrowse();
  void OnSave();
  void OnFileLog();
  void OnExit();
  void OnAboutUs();
  void OnHelpContents();
  void OnRecoveryReport();
  void OnMouseMove(const QPoint& client);

  // For the tests: the controls and the state.
  QString StatusText() const;
  QString PathText() const;
  int ProgressValue() const;
  bool Busy() const { return loading_ || saving_; }
  bool BrowseEnabled() const;
  bool SaveEnabled() const;
  bool ExitEnabled() const;
  bool DetailedLog() const { return m_bDetailedLog.detailed; }
  WorkbookPreview& Preview() { return *m_tabPreview; }
  CColorButton& BrowseButton() { return *m_btnBrowse; }
  CColorButton& SaveButton() { return *m_btnSave; }
  QWidget& Client() { return *client_; }
  QMenuBar& Menu() { return *menu_; }
  const XlsDocument& Workbook() const { return m_workbook; }
  // The help page Help > Contents opens: "Tabulix.html" beside the executable.
  static QString HelpFilePath();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildControls();
  void BuildMenu();
  void OnInitDialog();
  void StartLoad(const QString& path);
  void ResetWindow();
  void SetStatus(const QString& text);
  void SetProgress(int percent);
  // Runs `update` on the window's thread and waits until it has run: the workers' status
  // and progress updates.
  void OnWindowThread(const std::function<void()>& update);
  void EnableCommands(bool browse, bool save, bool exit);
  // Waits for every worker to end (serving their requests meanwhile) and joins them.
  void JoinWorkers();

  // The workers and their completion on the window's thread.
  void ProgressWorker();
  void LoadWorker(std::string path);
  void SaveWorker(std::string path);
  void OnLoadDone();
  void OnSaveDone();

  WorkbookPreview* m_tabPreview = nullptr;
  QString m_strFilePath;
  QString m_strMessage;
  LogSwitch m_bDetailedLog;
  std::atomic<bool> m_bWorkDone{true};
  XlsDocument m_workbook;
  CColorButton* m_btnSave = nullptr;
  CColorButton* m_btnBrowse = nullptr;
  std::thread m_hSaveThread;
  std::thread m_hLoadThread;
  std::thread progressThread_;
  std::atomic<int> m_nResult{0};
  QString m_strSavePath;
  QString m_strLoadName;
  bool m_bFileChosen = false;

  UserPrompts& prompts_;
  // The core's messages, shown in a box on this window's thread whichever thread raised
  // them.
  class WindowNotifier : public Notifier {
   public:
    explicit WindowNotifier(CKestrineDlg& window) : window_(window) {}
    void Notify(std::string_view text) override;

   private:
    CKestrineDlg& window_;
  };
  WindowNotifier notifier_{*this};
  Notifier* previousNotifier_ = nullptr;

  QWidget* client_ = nullptr;
  QMenuBar* menu_ = nullptr;
  QLineEdit* pathBox_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QAction* openAction_ = nullptr;
  QAction* saveAction_ = nullptr;
  QAction* logAction_ = nullptr;
  QAction* exitAction_ = nullptr;
  QAction* reportAction_ = nullptr;

  // Each worker clears its flag as the last thing it does.
  std::atomic<bool> loadRunning_{false};
  std::atomic<bool> saveRunning_{false};
  std::atomic<bool> progressRunning_{false};
  bool loading_ = false;
  bool saving_ = false;
  // The person asked to exit while a save ran: the program ends when the save has.
  bool exitAfterSave_ = false;
  // The window is going away: completions that arrive now change nothing.
  bool closing_ = false;
  // The file of the last load that ran to its end, for the recovery report.
  QString reportedFile_;
  bool haveReport_ = false;
};

}  // namespace tabulix::app
