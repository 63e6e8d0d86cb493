#include "app/kestrine_dlg.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <system_error>
#include <utility>

#include "app/artwork.hpp"
#include "app/color_button.hpp"
#include "app/dialog_units.hpp"
#include "app/user_prompts.hpp"
#include "app/workbook_preview.hpp"
#include "document/report_text.hpp"

namespace tabulix::app {

namespace {

// The window's client area: it reports every pointer move that reaches it, over its own
// surface or over a child that lets the move through (labels, the banner, the frame).
class ClientArea : public QWidget {
 public:
  ClientArea(QWidget* parent, std::function<void(const QPoint&)> onMove)
      : QWidget(parent), onMove_(std::move(onMove)) {
    setMouseTracking(true);
  }

 protected:
  void mouseMoveEvent(QMouseEvent* event) override {
    onMove_(event->position().toPoint());
    event->accept();
  }

 private:
  std::function<void(const QPoint&)> onMove_;
};

// Starts `work` on `worker`. `running` stands while it runs (the work clears it as the last
// thing it does) and falls again when the thread cannot be started.
void StartWorker(std::thread& worker, std::atomic<bool>& running, std::function<void()> work) {
  running = true;
  try {
    worker = std::thread(std::move(work));
  } catch (...) {
    running = false;
    throw;
  }
}

// Paths go to the core as the file system spells them, whatever the locale.
std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

QString Padded(int before, const char* text, int after) {
  return QString(before, QLatin1Char(' ')) + QString::fromLatin1(text) +
         QString(after, QLatin1Char(' '));
}

std::optional<QString> ProgressStatusText(int step) {
  // Tested in this order, so where several hold the last one shows.
  std::optional<QString> text;
  if (step % 5 == 0) text = QStringLiteral("Pls. wait processing..");
  if (step % 7 == 0) text = QStringLiteral("Pls. wait processing....");
  if (step % 11 == 0) text = QStringLiteral("Pls. wait processing......");
  return text;
}

QString MouseHint(int x, int y) {
  if (x >= 2 && y <= 1) return QStringLiteral("Select Menu");
  if (x >= 1 && x <= 645 && y >= 2 && y <= 96) return BannerCaption();
  if (x >= 492 && x <= 636 && y >= 99 && y <= 129)
    return QStringLiteral("Click browse to select a file.");
  if (y >= 135 && y <= 506) return QStringLiteral("Partial Excel View");
  if (x >= 511 && x <= 637 && y >= 514 && y <= 539)
    return QStringLiteral("Click save button to save file.");
  if (y >= 546) return QStringLiteral("Status Bar");
  return QStringLiteral("Ready");
}

QString SaveTarget(const QString& chosen) {
  if (QFileInfo(chosen).suffix() == QLatin1String("xls")) return chosen;
  return chosen + QStringLiteral(".xls");
}

QString CKestrineDlg::HelpFilePath() {
  return QCoreApplication::applicationDirPath() + QStringLiteral("/Tabulix.html");
}

CKestrineDlg::CKestrineDlg(UserPrompts& prompts, QWidget* parent)
    : QDialog(parent), prompts_(prompts) {
  setWindowTitle(QStringLiteral("Quillbar Tabulix 2.5"));
  // A fixed window with a minimise box and no maximise box, shown in the task bar.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(QFont(QStringLiteral("Verdana"), 8));
  setAcceptDrops(true);
  // Every control white with black text.
  QPalette colours = palette();
  colours.setColor(QPalette::Window, Qt::white);
  colours.setColor(QPalette::WindowText, Qt::black);
  colours.setColor(QPalette::Base, Qt::white);
  colours.setColor(QPalette::Text, Qt::black);
  setPalette(colours);
  setAutoFillBackground(true);
  BuildControls();
  BuildMenu();
  previousNotifier_ = SetNotifier(&notifier_);
  qApp->installEventFilter(this);
  OnInitDialog();
}

CKestrineDlg::~CKestrineDlg() {
  closing_ = true;
  m_bWorkDone = true;
  // No worker may outlive the workbook it uses.
  JoinWorkers();
  qApp->removeEventFilter(this);
  SetNotifier(previousNotifier_);
}

void CKestrineDlg::BuildControls() {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  client_ = new ClientArea(this, [this](const QPoint& point) { OnMouseMove(point); });
  client_->setFixedSize(DialogRight(371), DialogY(347));
  layout->addWidget(client_);

  auto* banner = new QLabel(client_);
  banner->setPixmap(BannerPixmap());
  banner->setGeometry(DialogRect(0, 0, 374, 61));

  auto* prompt = new QLabel(QStringLiteral("Select Excel (.xls) File:"), client_);
  prompt->setGeometry(DialogRect(5, 67, 78, 10));
  // The pointer over the banner, the labels and the frame is the window's own, for its
  // hints: they let it through.
  for (QWidget* passive : std::initializer_list<QWidget*>{banner, prompt})
    passive->setAttribute(Qt::WA_TransparentForMouseEvents);

  pathBox_ = new QLineEdit(client_);
  pathBox_->setObjectName(QString::number(kPathBoxId));
  pathBox_->setReadOnly(true);
  pathBox_->setAcceptDrops(false);
  pathBox_->setGeometry(DialogRect(88, 66, 183, 12));

  m_btnBrowse = new CColorButton(client_);
  m_btnBrowse->setText(QStringLiteral("Browse"));
  m_btnBrowse->setProperty("controlId", kBrowseId);
  m_btnBrowse->setGeometry(DialogRect(282, 62, 80, 17));
  connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });

  auto* frame = new QGroupBox(QStringLiteral("Partial Excel View"), client_);
  frame->setGeometry(DialogRect(0, 81, 371, 230));
  frame->setAttribute(Qt::WA_TransparentForMouseEvents);

  m_tabPreview = new WorkbookPreview(client_);
  m_tabPreview->setObjectName(QString::number(kPreviewId));
  m_tabPreview->setGeometry(DialogRect(3, 92, 364, 216));

  m_btnSave = new CColorButton(client_);
  m_btnSave->setText(QStringLiteral("Save"));
  m_btnSave->setProperty("controlId", kSaveId);
  m_btnSave->setGeometry(DialogRect(293, 317, 70, 14));
  connect(m_btnSave, &QPushButton::clicked, this, [this] { OnSave(); });

  for (CColorButton* button : {m_btnBrowse, m_btnSave}) {
    // Enter never presses a button of this window.
    button->setAutoDefault(false);
    button->setDefault(false);
  }

  progress_ = new QProgressBar(client_);
  progress_->setObjectName(QString::number(kProgressId));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  progress_->setGeometry(DialogRect(4, 318, 282, 13));

  status_ = new QLabel(QStringLiteral("Ready"), client_);
  status_->setObjectName(QString::number(kStatusId));
  status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status_->setGeometry(DialogRect(0, 336, 371, 11));
  status_->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void CKestrineDlg::BuildMenu() {
  menu_ = new QMenuBar(this);
  layout()->setMenuBar(menu_);
  QMenu* file = menu_->addMenu(QStringLiteral("&File"));
  openAction_ = file->addAction(QStringLiteral("&Open"), this, [this] { OnBrowse(); });
  saveAction_ = file->addAction(QStringLiteral("&Save"), this, [this] { OnSave(); });
  logAction_ =
      file->addAction(QStringLiteral("Enable detailed log"), this, [this] { OnFileLog(); });
  logAction_->setCheckable(true);
  file->addSeparator();
  exitAction_ = file->addAction(QStringLiteral("E&xit"), this, [this] { OnExit(); });
  QMenu* help = menu_->addMenu(QStringLiteral("Help"));
  help->addAction(QStringLiteral("About Us"), this, [this] { OnAboutUs(); });
  help->addAction(QStringLiteral("&Contents"), this, [this] { OnHelpContents(); });
  reportAction_ =
      help->addAction(QStringLiteral("Recovery report"), this, [this] { OnRecoveryReport(); });
  reportAction_->setEnabled(false);
}

void CKestrineDlg::OnInitDialog() {
  setWindowIcon(AppIcon());
  ReadLogSwitch(m_bDetailedLog);
  logAction_->setChecked(m_bDetailedLog.detailed);
  if (m_bDetailedLog.detailed) WriteLog(0, 0, "In CKestrineDlg::OnInitDialog()", false);
  ExecutionLog runStart;
  if (m_bDetailedLog.detailed) {
    WriteLog(0, 0, "............preparing..........", false);
    WriteLog(0, 0, "............prepared..........", false);
  }
  m_strLoadName.clear();
  m_tabPreview->Prepare();
  for (int i = 0; i < 3; ++i) m_tabPreview->InsertItem(i, QStringLiteral("Sheet %1").arg(i + 1));
  m_tabPreview->SetCurSel(0);
  m_tabPreview->ShowPage();
  EnableCommands(true, false, true);
  m_btnBrowse->Attach(kBrowseId, client_, 0xFFFFFF, 0x010101, 0x808080, 2);
  m_btnSave->Attach(kSaveId, client_, 0xFFFFFF, 0x010101, 0x808080, 2);
}

void CKestrineDlg::OnBrowse() {
  if (loading_ || saving_) return;
  SetStatus(QStringLiteral("Pls. Select File to be recovered"));
  const std::optional<QString> chosen = prompts_.ChooseFileToOpen(this);
  // Cancelled: everything stays as it was, the prompt included.
  if (!chosen) return;
  StartLoad(*chosen);
}

void CKestrineDlg::OpenFile(const QString& path) {
  if (loading_ || saving_ || closing_) return;
  StartLoad(QFileInfo(path).absoluteFilePath());
}

void CKestrineDlg::StartLoad(const QString& path) {
  try {
    JoinWorkers();
    m_strFilePath = path;
    m_strLoadName = path;
    SetProgress(0);
    m_bWorkDone = false;
    StartWorker(progressThread_, progressRunning_, [this] { ProgressWorker(); });
    m_tabPreview->ClearGrids();
    m_bFileChosen = true;
    pathBox_->setText(m_strFilePath);
    WriteLoadBanner(LocalPath(m_strFilePath));
    SetStatus(QStringLiteral("Please wait processing...."));
    m_tabPreview->SetBusy(true);
    loading_ = true;
    reportAction_->setEnabled(false);
    StartWorker(m_hLoadThread, loadRunning_,
                [this, name = LocalPath(m_strLoadName)] { LoadWorker(name); });
    EnableCommands(false, false, true);
  } catch (const std::exception&) {
    loading_ = false;
    SetStatus(QStringLiteral("Could Not Load File"));
    ResetWindow();
  }
}

void CKestrineDlg::OnSave() {
  if (loading_ || saving_ || !m_btnSave->isEnabled()) return;
  SetStatus(QStringLiteral("Please give the file name to save file."));
  const std::optional<QString> chosen = prompts_.ChooseFileToSave(this);
  if (!chosen) return;
  const QString target = SaveTarget(*chosen);
  // The dialog asked before replacing the name as typed; the name with ".xls" added is
  // another file, which must not be replaced unasked.
  if (target != *chosen && QFileInfo::exists(target) && !prompts_.ConfirmReplace(this, target))
    return;
  // The damaged file may still be needed (by another tool, or a later version of this
  // one): a save never replaces the file the workbook was recovered from.
  std::error_code ec;
  if (std::filesystem::equivalent(LocalPath(target), LocalPath(m_strFilePath), ec)) {
    SetStatus(QStringLiteral("Choose another name to save file."));
    prompts_.ShowMessage(
        this,
        QStringLiteral("The recovered workbook cannot be saved over the file it was "
                       "recovered from."),
        QStringLiteral("Choose another name: the damaged file may still be needed."));
    return;
  }
  EnableCommands(false, m_btnSave->isEnabled(), false);
  SetStatus(QStringLiteral("Please wait processing...."));
  try {
    JoinWorkers();
    m_strSavePath = target;
    saving_ = true;
    reportAction_->setEnabled(false);
    StartWorker(m_hSaveThread, saveRunning_,
                [this, name = LocalPath(m_strSavePath)] { SaveWorker(name); });
    EnableCommands(false, false, false);
  } catch (const std::exception&) {
    saving_ = false;
    WriteLog(11002, 0, "Could Not Save File", true);
    SetStatus(QStringLiteral("ERROR:Counld Not Save File."));
    // No save runs: the window must not stay locked as if one did.
    reportAction_->setEnabled(haveReport_);
    EnableCommands(true, true, true);
  }
}

void CKestrineDlg::OnFileLog() {
  ToggleLogSwitch(m_bDetailedLog);
  logAction_->setChecked(m_bDetailedLog.detailed);
}

void CKestrineDlg::OnExit() {
  if (!prompts_.ConfirmExit(this)) return;
  if (saving_) {
    // Ending now would cut the save short: the program ends once it has finished.
    exitAfterSave_ = true;
    EnableCommands(false, false, false);
    SetStatus(QStringLiteral("Finishing the save before exit. Please wait...."));
    return;
  }
  // A running load is left behind, as the person asked.
  FlushLogRepeats();
  prompts_.EndProgram(0);
}

void CKestrineDlg::OnAboutUs() { prompts_.ShowAbout(this); }

void CKestrineDlg::OnHelpContents() {
  const QString path = HelpFilePath();
  if (prompts_.OpenDocument(path)) return;
  m_strMessage = QStringLiteral("Error opening help file from %1").arg(path);
  if (m_bDetailedLog.detailed) WriteLog(0, 0, LocalPath(m_strMessage), true);
}

void CKestrineDlg::OnRecoveryReport() {
  if (!haveReport_ || loading_ || saving_) return;
  std::ostringstream text;
  const RecoveryReport& report = m_workbook.report();
  PrintLoadReport(report, LocalPath(reportedFile_), text);
  if (!report.sheets_.empty()) PrintSheetReport(report, text);
  PrintDetails(report, text);
  prompts_.ShowReport(this, QStringLiteral("Recovery report"), QString::fromStdString(text.str()));
}

void CKestrineDlg::OnMouseMove(const QPoint& client) {
  // While the window waits for a save to end before exiting, the status line says so.
  if (exitAfterSave_) return;
  SetStatus(MouseHint(client.x(), client.y()));
}

void CKestrineDlg::ResetWindow() {
  m_strLoadName.clear();
  m_strFilePath.clear();
  m_bWorkDone = true;
  if (m_bFileChosen) {
    m_tabPreview->DeleteAllItems();
    for (int i = 0; i < 3; ++i) m_tabPreview->InsertItem(i, QStringLiteral("Sheet %1").arg(i + 1));
    m_tabPreview->ClearGrids();
    m_tabPreview->SetWorkbook(nullptr);
    m_tabPreview->SetCurSel(0);
    m_tabPreview->ShowPage();
  }
  EnableCommands(true, false, true);
  SetProgress(0);
  SetStatus(QStringLiteral("Ready"));
  m_tabPreview->SetBusy(false);
  pathBox_->setText(m_strFilePath);
}

void CKestrineDlg::ProgressWorker() {
  int step = 0;
  while (!m_bWorkDone) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    OnWindowThread([this, step] {
      SetProgress(step);
      if (const std::optional<QString> text = ProgressStatusText(step)) SetStatus(*text);
    });
    step = (step + 1) % 100;
  }
  OnWindowThread([this] { SetProgress(100); });
  progressRunning_ = false;
}

void CKestrineDlg::LoadWorker(std::string path) {
  bool loaded = false;
  try {
    loaded = m_workbook.Load(path);
  } catch (...) {
    // Whatever escapes the load is a load that failed: the window must still hear of it.
    loaded = false;
  }
  m_nResult = loaded ? 1 : 0;
  m_bWorkDone = true;
  // The animation's last step lands before the completion, so the bar stands at 100
  // until the completion's message box is closed.
  if (progressThread_.joinable()) progressThread_.join();
  QMetaObject::invokeMethod(
      this, [this] { OnLoadDone(); }, Qt::QueuedConnection);
  loadRunning_ = false;
}

void CKestrineDlg::SaveWorker(std::string path) {
  bool saved = false;
  try {
    saved = m_workbook.SaveStorageFile(
        path, [this](int percent) { OnWindowThread([this, percent] { SetProgress(percent); }); });
  } catch (...) {
    saved = false;
  }
  m_nResult = saved ? 1 : 0;
  QMetaObject::invokeMethod(
      this, [this] { OnSaveDone(); }, Qt::QueuedConnection);
  saveRunning_ = false;
}

void CKestrineDlg::OnLoadDone() {
  if (closing_) return;
  loading_ = false;
  reportedFile_ = m_strFilePath;
  haveReport_ = true;
  reportAction_->setEnabled(true);
  if (m_nResult == 0) {
    SetStatus(QStringLiteral("Could Not Load File."));
    prompts_.ShowMessage(this, Padded(16, "Could not load file.", 17));
    ResetWindow();
    return;
  }
  try {
    SetStatus(QStringLiteral("File loaded successfully."));
    m_tabPreview->DeleteAllItems();
    const auto sheets = WorkbookPreview::PreviewSheets(m_workbook);
    for (std::size_t i = 0; i < sheets.size() && i < 5; ++i)
      m_tabPreview->InsertItem(static_cast<int>(i), sheets[i].second);
    EnableCommands(true, true, true);
    m_tabPreview->SetWorkbook(&m_workbook);
    m_tabPreview->SetCurSel(0);
    m_tabPreview->ShowPage();
    m_tabPreview->SetBusy(false);
    prompts_.ShowMessage(this, Padded(16, "File loaded successfully.", 17));
    SetProgress(0);
  } catch (const std::exception&) {
    SetStatus(QStringLiteral("Could not load file."));
    ResetWindow();
  }
}

void CKestrineDlg::OnSaveDone() {
  if (closing_) return;
  saving_ = false;
  reportAction_->setEnabled(haveReport_);
  const bool saved = m_nResult != 0;
  try {
    if (saved) {
      SetStatus(QStringLiteral("File saved successfully."));
      if (!exitAfterSave_) prompts_.ShowMessage(this, Padded(12, "File saved successfully.", 13));
    } else {
      SetStatus(QStringLiteral("Could Not Save File."));
      // Why, in words: the error log may be where the person cannot look.
      prompts_.ShowMessage(this, Padded(17, "Error : Saving File.", 16),
                           QString::fromStdString(m_workbook.saveError()));
    }
  } catch (const std::exception&) {
    WriteLog(11002, 0, "ERROR:Could not save file", true);
    SetStatus(QStringLiteral("ERROR:Could not save file."));
  }
  EnableCommands(true, true, true);
  SetProgress(0);
  if (exitAfterSave_) {
    FlushLogRepeats();
    prompts_.EndProgram(0);
  }
}

void CKestrineDlg::SetStatus(const QString& text) { status_->setText(text); }

void CKestrineDlg::SetProgress(int percent) { progress_->setValue(percent); }

void CKestrineDlg::OnWindowThread(const std::function<void()>& update) {
  if (QThread::currentThread() == thread()) {
    update();
    return;
  }
  QMetaObject::invokeMethod(this, update, Qt::BlockingQueuedConnection);
}

void CKestrineDlg::EnableCommands(bool browse, bool save, bool exit) {
  m_btnBrowse->setEnabled(browse);
  openAction_->setEnabled(browse);
  m_btnSave->setEnabled(save);
  saveAction_->setEnabled(save);
  exitAction_->setEnabled(exit);
}

void CKestrineDlg::JoinWorkers() {
  // A worker that has not ended may be waiting for this thread to show something: serve
  // it until it ends, then join.
  while (loadRunning_ || saveRunning_ || progressRunning_) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (std::thread* worker : {&m_hLoadThread, &m_hSaveThread, &progressThread_}) {
    if (worker->joinable()) worker->join();
  }
}

QString CKestrineDlg::StatusText() const { return status_->text(); }
QString CKestrineDlg::PathText() const { return pathBox_->text(); }
int CKestrineDlg::ProgressValue() const { return progress_->value(); }
bool CKestrineDlg::BrowseEnabled() const {
  return m_btnBrowse->isEnabled() && openAction_->isEnabled();
}
bool CKestrineDlg::SaveEnabled() const {
  return m_btnSave->isEnabled() && saveAction_->isEnabled();
}
bool CKestrineDlg::ExitEnabled() const { return exitAction_->isEnabled(); }

void CKestrineDlg::closeEvent(QCloseEvent* event) {
  // The window closes only through the exit question.
  event->ignore();
  OnExit();
}

// Escape would reject the dialog: the window closes only through the exit question.
void CKestrineDlg::reject() {}

bool CKestrineDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* widget = qobject_cast<QWidget*>(watched);
    const int key = static_cast<QKeyEvent*>(event)->key();
    // Enter and Escape do nothing anywhere in this window (its own message boxes and menus
    // are windows of their own and keep them).
    if (widget && widget->window() == this &&
        (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape)) {
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CKestrineDlg::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* mime = event->mimeData();
  if (!loading_ && !saving_ && mime->hasUrls() && mime->urls().size() == 1 &&
      mime->urls().front().isLocalFile()) {
    event->acceptProposedAction();
  }
}

void CKestrineDlg::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return;
  event->acceptProposedAction();
  OpenFile(urls.front().toLocalFile());
}

void CKestrineDlg::WindowNotifier::Notify(std::string_view text) {
  const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  window_.OnWindowThread([this, &message] {
    if (!window_.closing_) window_.prompts_.ShowMessage(&window_, message);
  });
}

}  // namespace tabulix::app
