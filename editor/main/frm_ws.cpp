#include "frm_ws.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QMenu>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QShortcut>
#include <QTextCursor>
#include <QVBoxLayout>
#include <QMimeData>
#include <QRandomGenerator>
#include <QScreen>
#include <QStatusBar>
#include <QUrl>

#include "about_box.h"
#include "chelp.h"
#include "document/interface_values.h"
#include "frm_main.h"
#include "grids/grid_set.h"
#include "grids/start_values.h"
#include "report_dialog.h"
#include "results/frm_results.h"
#include "widget_ui.h"

namespace kov::editor {

namespace {

const QString kCaptionSeparator = QStringLiteral(" - ");
const QString kOutputFileFilter = QStringLiteral("Output File (*.out);;All Files (*)");
const QString kResultsFileFilter = QStringLiteral("Results File (*.json);;All Files (*)");
const QString kCompareFileFilter =
    QStringLiteral("Comparison of Sizes (*.compare.json);;All Files (*)");
constexpr int kNoteMs = 10000;
// Problems listed in the message before a run; the rest are marked in the grids.
constexpr int kListedProblems = 8;
// Of the screen a window may take at most.
constexpr double kScreenShare = 0.9;

QString LocalControlFile(const QMimeData* data) {
  if (data == nullptr) return {};
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".cnt"), Qt::CaseInsensitive)) {
      return url.toLocalFile();
    }
  }
  return {};
}

// A find field (Ctrl+F, Enter for the next match, from the top again after the last) and a
// print button over the report.
void AddFindAndPrint(gui::ReportDialog* dialog) {
  auto* layout = qobject_cast<QBoxLayout*>(dialog->layout());
  if (layout == nullptr) return;
  auto* bar = new QHBoxLayout;
  auto* find = new QLineEdit(dialog);
  find->setObjectName(QStringLiteral("txtFind"));
  find->setPlaceholderText(QStringLiteral("Find (Ctrl+F; Enter finds the next)"));
  auto* print = new QPushButton(QStringLiteral("&Print..."), dialog);
  bar->addWidget(find, 1);
  bar->addWidget(print);
  layout->insertLayout(0, bar);
  QPlainTextEdit* text = dialog->Text();
  auto* shortcut = new QShortcut(QKeySequence::Find, dialog);
  QObject::connect(shortcut, &QShortcut::activated, find, [find] {
    find->setFocus();
    find->selectAll();
  });
  QObject::connect(find, &QLineEdit::returnPressed, text, [text, find] {
    if (find->text().isEmpty() || text->find(find->text())) return;
    text->moveCursor(QTextCursor::Start);
    text->find(find->text());
  });
  QObject::connect(print, &QPushButton::clicked, dialog, [dialog, text] {
    QPrinter printer;
    QPrintDialog choice(&printer, dialog);
    if (choice.exec() == QDialog::Accepted) text->print(&printer);
  });
}

// The program's own report view: read-only, monospaced, Ctrl+F finds, Print prints.
bool ShowReportInWindow(QWidget* parent, const QString& path) {
  auto* dialog = new gui::ReportDialog(parent);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setModal(false);
  const bool loaded = dialog->Load(path);
  AddFindAndPrint(dialog);
  frmWS::FitToScreen(dialog, dialog->size());
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
  return loaded;
}

}  // namespace

frmWS::frmWS(gui::MessageSink* messages, document::FileDialogs* dialogs, QWidget* parent)
    : QMainWindow(parent) {
  if (messages == nullptr || dialogs == nullptr) m_ownUi = std::make_unique<WidgetUi>(this);
  m_messages = messages != nullptr ? messages : m_ownUi.get();
  m_dialogs = dialogs != nullptr ? dialogs : m_ownUi.get();

  m_document = std::make_unique<document::Document>(*m_messages, *m_dialogs);
  m_recent = std::make_unique<RecentFiles>(*m_messages);
  m_launcher = std::make_unique<RunLauncher>(*m_document, *m_messages, *m_dialogs);
  m_launcher->SetFrame(this);
  m_help = std::make_unique<CHelp>();

  BuildMenus();
  m_recent->Load();
  SetLastUsedItems();

  m_form = new frmMain(*m_document, *m_dialogs, this);
  setCentralWidget(m_form);
  connect(m_document.get(), &document::Document::DocumentEvent, this, &frmWS::EventHandler);
  connect(m_document.get(), &document::Document::FileUsed, this, [this](const QString& path) {
    m_recent->Add(path);
    SetLastUsedItems();
  });
  connect(m_document.get(), &document::Document::BusyPointerChanged, this, [](bool busy) {
    if (busy) {
      QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
      while (QGuiApplication::overrideCursor() != nullptr) QGuiApplication::restoreOverrideCursor();
    }
  });

  connect(m_document.get(), &document::Document::ModifiedChanged, this, &QWidget::setWindowModified);
  connect(m_form, &frmMain::Note, this, [this](const QString& text) { statusBar()->showMessage(text, kNoteMs); });
  statusBar();
  setAcceptDrops(true);
  m_reportViewer.SetOpener([this](const QString& path) { return ShowReportInWindow(this, path); });

  m_document->New();
  SetRunType(RunType::kEm);
}

frmWS::~frmWS() {
  // The form and its grids go before the document they show.
  delete m_form;
  m_form = nullptr;
  delete m_seriesViewer.data();
  delete m_resultsWindow.data();
}

void frmWS::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  mnuFileNew = file->addAction(QStringLiteral("&New Control File"), QKeySequence(Qt::CTRL | Qt::Key_N), this, [this] {
    m_form->FlushAllData();
    m_document->New();
  });
  mnuFileOpen = file->addAction(QStringLiteral("&Open Control File"), QKeySequence(Qt::CTRL | Qt::Key_O), this, [this] {
    m_form->FlushAllData();
    m_document->Open();
  });
  mnuFileSave = file->addAction(QStringLiteral("&Save"), QKeySequence(Qt::CTRL | Qt::Key_S), this,
                                [this] { m_document->Save(); });
  mnuFileSaveAs = file->addAction(QStringLiteral("S&ave as"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), this,
                                  [this] { m_document->SaveAs(); });
  file->addSeparator();
  for (int n = 1; n <= RecentFiles::kCount; ++n) {
    QAction* item = file->addAction(QString(), this, [this, n] { OpenRecent(n); });
    item->setVisible(false);
    mnuLastUsed[static_cast<std::size_t>(n - 1)] = item;
  }
  mnuLastUsedSeparator = file->addSeparator();
  mnuFileExit = file->addAction(QStringLiteral("E&xit"), QKeySequence(Qt::CTRL | Qt::Key_Q), this, &QWidget::close);

  QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
  mnuFillEqual = edit->addAction(QStringLiteral("Fill Start Values: &Equal"), this, [this] { FillStartValues(false); });
  mnuFillRandom = edit->addAction(QStringLiteral("Fill Start Values: &Random"), this, [this] { FillStartValues(true); });

  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  mnuViewCurrent = view->addAction(QStringLiteral("Current Kov &Outfile"), this, [this] { ViewCurrentOutfile(); });
  mnuViewChoose = view->addAction(QStringLiteral("&Choose Outfile"), this, [this] { ChooseOutfile(); });
  mnuViewTextEditor = view->addAction(QStringLiteral("Current Outfile in &Text Editor"), this,
                                      [this] { ViewCurrentOutfileInTextEditor(); });
  view->addSeparator();
  mnuViewResults =
      view->addAction(QStringLiteral("Current R&esults"), this, [this] { ViewCurrentResults(); });
  mnuChooseResults =
      view->addAction(QStringLiteral("&Results..."), this, [this] { ChooseResults(); });
  mnuCompareSizes =
      view->addAction(QStringLiteral("Compare &Sizes..."), this, [this] { CompareSizes(); });

  QMenu* mode = menuBar()->addMenu(QStringLiteral("Run &Mode"));
  auto* modes = new QActionGroup(this);
  mnuModeEm =
      mode->addAction(QStringLiteral("EM Mode"), this, [this] { SetRunType(RunType::kEm); });
  mnuModeDa =
      mode->addAction(QStringLiteral("DA Mode"), this, [this] { SetRunType(RunType::kDa); });
  for (QAction* item : {mnuModeEm, mnuModeDa}) {
    item->setCheckable(true);
    modes->addAction(item);
  }

  mnuRun = menuBar()->addAction(QStringLiteral("&Run"), this, [this] { RunCurrentModel(); });

  QMenu* diagnostics = menuBar()->addMenu(QStringLiteral("&Diagnostics"));
  mnuPlotSeries = diagnostics->addAction(QStringLiteral("&Plot Series"), this, [this] { PlotSeries(); });

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  mnuHelpContents = help->addAction(QStringLiteral("&Contents"), this,
                                    [this] { ShowHelp(static_cast<int>(HelpCommand::kDisplayTopic)); });
  mnuHelpSearch = help->addAction(QStringLiteral("&Search"), this,
                                  [this] { ShowHelp(static_cast<int>(HelpCommand::kDisplayIndex)); });
  mnuHelpAbout = help->addAction(QStringLiteral("&About"), this, [this] { ShowAbout(); });
}

void frmWS::EventHandler(int event) {
  switch (event) {
    case document::Document::kEventNew:
      setWindowTitle(kProgramTitle + kCaptionSeparator + QStringLiteral("Untitled[*]"));
      break;
    case document::Document::kEventOpened:
    case document::Document::kEventSaved:
      if (!m_document->Path().isEmpty()) {
        setWindowTitle(kProgramTitle + kCaptionSeparator + m_document->Path() + QStringLiteral("[*]"));
      }
      break;
    default:
      break;
  }
}

void frmWS::SetLastUsedItems() {
  bool any = false;
  for (int n = 1; n <= RecentFiles::kCount; ++n) {
    const QString path = m_recent->Entry(n);
    QAction* item = RecentFileAction(n);
    item->setVisible(!path.isEmpty());
    item->setText(QStringLiteral("&") + QString::number(n) + QStringLiteral(" - ") + path);
    any = any || !path.isEmpty();
  }
  mnuLastUsedSeparator->setVisible(any);
}

void frmWS::OpenRecent(int n) {
  const QString path = m_recent->Entry(n);
  if (path.isEmpty()) return;
  m_form->FlushAllData();
  m_document->Open(path);
}

void frmWS::SetRunType(RunType runType) {
  m_runType = runType;
  (runType == RunType::kDa ? mnuModeDa : mnuModeEm)->setChecked(true);
  m_form->SetRunType(runType);
  m_form->EventHandler(frmMain::kEventRunTypeChanged);
  EventHandler(frmMain::kEventRunTypeChanged);
}

RunLauncher::Outcome frmWS::RunCurrentModel() {
  m_form->FlushAllData();
  // Data augmentation takes its starting values from a file, not from the grids.
  if (m_runType == RunType::kEm && !m_launcher->IsRunning()) {
    if (const QString refusal = m_document->EmRunRefusal(); !refusal.isEmpty()) {
      document::ShowFailure(*m_messages, QStringLiteral("The run was not started. ") + refusal);
      return RunLauncher::Outcome::kStopped;
    }
    if (!CheckStartValuesBeforeRun()) return RunLauncher::Outcome::kStopped;
  }
  const RunLauncher::Outcome outcome = m_launcher->Run(m_runType);
  if (outcome != RunLauncher::Outcome::kFinished) return outcome;
  // A comparison of sizes writes X.compare.json beside the report and no X.json of its own; one
  // left by an earlier comparison is not shown after a plain run.
  QString comparison = CurrentResultsFile();
  if (!comparison.isEmpty())
    comparison.replace(comparison.size() - 5, 5, QStringLiteral(".compare.json"));
  if (!comparison.isEmpty() && m_runType == RunType::kEm &&
      m_document->vGetInterfaceValue(document::kCompareSizes).toBool() &&
      QFileInfo(comparison).isFile()) {
    results::frmResults* window = ResultsWindowToFill();
    if (window->OpenComparison(comparison)) {
      window->show();
      window->raise();
    }
    return outcome;
  }
  // A finished run's results come up by themselves; a run that wrote none leaves nothing to show.
  if (QFileInfo(CurrentResultsFile()).isFile()) ViewCurrentResults();
  return outcome;
}

bool frmWS::CheckStartValuesBeforeRun() {
  const QStringList problems = grids::FindStartValueProblems(m_form->Grids());
  if (problems.isEmpty()) return true;
  QStringList listed = problems.mid(0, kListedProblems);
  if (problems.size() > kListedProblems) {
    listed << QStringLiteral("... and %1 more rows, marked in the grids").arg(problems.size() - kListedProblems);
  }
  document::ShowFailure(
      *m_messages,
      QStringLiteral("The run was not started: the engine would refuse these starting values.") +
          QStringLiteral("\n\n") + listed.join(u'\n') + QStringLiteral("\n\n") +
          QStringLiteral("Each row must hold probabilities that sum to 1 (Edit > Fill Start Values "
                         "fills them)."));
  return false;
}

bool frmWS::FillStartValues(bool random) {
  m_form->FlushAllData();
  if (grids::HasTypedStartValues(m_form->Grids()) &&
      document::AskQuestion(
          *m_messages,
          QStringLiteral("Replace the starting values already typed? Fixed values are kept."),
          gui::MessageButtons::kYesNo) != gui::MessageAnswer::kYes) {
    return false;
  }
  const int changed = grids::FillStartValues(m_form->Grids(), random ? grids::FillKind::kRandom : grids::FillKind::kEqual,
                                             QRandomGenerator::global()->generate());
  statusBar()->showMessage(changed > 0 ? QStringLiteral("%1 starting values filled").arg(changed)
                                       : QStringLiteral("No starting values to fill: they are written for a new estimation only"),
                           kNoteMs);
  return changed > 0;
}

bool frmWS::OpenFile(const QString& path) {
  m_form->FlushAllData();
  return m_document->Open(QFileInfo(path).absoluteFilePath());
}

void frmWS::FitToScreen(QWidget* window, QSize wanted) {
  const QScreen* screen = window->screen() != nullptr ? window->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    window->resize(wanted);
    return;
  }
  const QRect available = screen->availableGeometry();
  const QSize fits(std::min(wanted.width(), static_cast<int>(available.width() * kScreenShare)),
                   std::min(wanted.height(), static_cast<int>(available.height() * kScreenShare)));
  window->resize(fits);
  if (!available.contains(window->frameGeometry())) window->move(available.topLeft());
}

QString frmWS::ReportOfRunType() const {
  const int id = m_runType == RunType::kDa ? document::kDaOutFile : document::kOutFile;
  return m_document->vGetInterfaceValue(id).toString();
}

QString frmWS::RunFolder() const {
  // An untitled model has not run anywhere yet; its names can only mean the current folder.
  const QString controlFile = m_document->Path();
  return controlFile.isEmpty() ? QDir::currentPath() : RunLauncher::WorkingFolderOf(controlFile);
}

bool frmWS::ViewCurrentOutfile() {
  m_form->FlushAllData();
  return m_reportViewer.View(ReportOfRunType(), RunFolder());
}

bool frmWS::ViewCurrentOutfileInTextEditor() {
  m_form->FlushAllData();
  return ReportViewer(ReportViewer::OpenInTextEditor).View(ReportOfRunType(), RunFolder());
}

bool frmWS::ChooseOutfile() {
  m_form->FlushAllData();
  const QString path = m_dialogs->AskOpenPath(kOutputFileFilter);
  if (path.isEmpty()) return false;
  return m_reportViewer.View(path, RunFolder());
}

bool frmWS::PlotSeries() {
  m_form->FlushAllData();
  const QString series = m_document->vGetInterfaceValue(document::kSeriesFile).toString();
  // The engine wrote a relative name in the folder the run worked in. Without a name the
  // viewer asks for a file, as its own "&Open" does.
  const QString path = series.isEmpty() ? QString() : QDir(RunFolder()).absoluteFilePath(series);
  if (m_seriesViewer.isNull()) {
    m_seriesViewer = new series::frmSeriesPlots;
    m_seriesViewer->SetFileDialogs(m_dialogs);
  }
  m_seriesViewer->show();
  m_seriesViewer->raise();
  m_seriesViewer->activateWindow();
  return m_seriesViewer->OpenSeriesFile(path);
}

results::frmResults* frmWS::ResultsWindowToFill() {
  if (m_resultsWindow.isNull()) {
    m_resultsWindow = new results::frmResults;
    m_resultsWindow->SetFileDialogs(m_dialogs);
    m_resultsWindow->SetReportOpener(
        [this](const QString& path) { return m_reportViewer.View(path, RunFolder()); });
  }
  return m_resultsWindow;
}

QString frmWS::CurrentResultsFile() const {
  const QString report = ReportOfRunType();
  if (report.isEmpty()) return {};
  const QFileInfo info(QDir(RunFolder()).absoluteFilePath(report));
  const QString base = info.suffix().compare(QLatin1String("out"), Qt::CaseInsensitive) == 0
                           ? info.dir().filePath(info.completeBaseName())
                           : info.absoluteFilePath();
  return base + QStringLiteral(".json");
}

bool frmWS::ViewCurrentResults() {
  m_form->FlushAllData();
  const QString path = CurrentResultsFile();
  if (path.isEmpty() || !QFileInfo(path).isFile()) {
    document::ShowFailure(*m_messages,
                          QStringLiteral("No results to show: the run has not written\n") +
                              QDir::toNativeSeparators(path));
    return false;
  }
  results::frmResults* window = ResultsWindowToFill();
  if (!window->OpenResults(path)) return false;
  window->show();
  window->raise();
  window->activateWindow();
  return true;
}

bool frmWS::ChooseResults() {
  m_form->FlushAllData();
  const QString path = m_dialogs->AskOpenPath(kResultsFileFilter);
  if (path.isEmpty()) return false;
  results::frmResults* window = ResultsWindowToFill();
  const bool opened = path.endsWith(QStringLiteral(".compare.json"), Qt::CaseInsensitive)
                          ? window->OpenComparison(QDir(RunFolder()).absoluteFilePath(path))
                          : window->OpenResults(QDir(RunFolder()).absoluteFilePath(path));
  if (!opened) return false;
  window->show();
  window->raise();
  return true;
}

bool frmWS::CompareSizes() {
  m_form->FlushAllData();
  const QString path = m_dialogs->AskOpenPath(kCompareFileFilter);
  if (path.isEmpty()) return false;
  results::frmResults* window = ResultsWindowToFill();
  if (!window->OpenComparison(QDir(RunFolder()).absoluteFilePath(path))) return false;
  window->show();
  window->raise();
  return true;
}

void frmWS::ShowHelp(int command) {
  m_help->Show(CHelp::DefaultHelpFile(), static_cast<HelpCommand>(command));
}

void frmWS::ShowAbout() {
  AboutBox box(this);
  box.exec();
}

void frmWS::dragEnterEvent(QDragEnterEvent* event) {
  if (!LocalControlFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void frmWS::dropEvent(QDropEvent* event) {
  const QString path = LocalControlFile(event->mimeData());
  if (path.isEmpty()) return;
  event->acceptProposedAction();
  OpenFile(path);
}

void frmWS::closeEvent(QCloseEvent* event) {
  m_form->FlushAllData();
  if (m_launcher->IsRunning() &&
      document::AskQuestion(
          *m_messages,
          QStringLiteral("A run is in progress: ") + m_launcher->RunningControlFile() +
              QStringLiteral("\nLeave the editor anyway? The run goes on in its own window."),
          gui::MessageButtons::kYesNo) != gui::MessageAnswer::kYes) {
    event->ignore();
    return;
  }
  if (!m_document->QueryExit()) {
    event->ignore();
    return;
  }
  m_help->CloseAll();
  if (m_seriesViewer != nullptr) m_seriesViewer->close();
  if (m_resultsWindow != nullptr) m_resultsWindow->close();
  event->accept();
}

}  // namespace kov::editor
