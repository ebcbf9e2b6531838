#include "frm_ws.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>

#include "about_box.h"
#include "chelp.h"
#include "document/interface_values.h"
#include "frm_main.h"
#include "widget_ui.h"

namespace kov::editor {

namespace {

const QString kCaptionSeparator = QStringLiteral(" - ");
const QString kOutputFileFilter = QStringLiteral("Output File (*.out);;All Files (*)");

}  // namespace

frmWS::frmWS(document::MessageSink* messages, document::FileDialogs* dialogs, QWidget* parent)
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

  m_document->New();
  SetRunType(kRunTypeEm);
}

frmWS::~frmWS() {
  // The form and its grids go before the document they show.
  delete m_form;
  m_form = nullptr;
  delete m_seriesViewer.data();
}

void frmWS::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  mnuFileNew = file->addAction(QStringLiteral("&New Control File"), this, [this] {
    m_form->FlushAllData();
    m_document->New();
  });
  mnuFileOpen = file->addAction(QStringLiteral("&Open Control File"), this, [this] {
    m_form->FlushAllData();
    m_document->Open();
  });
  mnuFileSave = file->addAction(QStringLiteral("&Save"), this, [this] { m_document->Save(); });
  mnuFileSaveAs = file->addAction(QStringLiteral("S&ave as"), this, [this] { m_document->SaveAs(); });
  file->addSeparator();
  for (int n = 1; n <= RecentFiles::kCount; ++n) {
    QAction* item = file->addAction(QString(), this, [this, n] { OpenRecent(n); });
    item->setVisible(false);
    mnuLastUsed[static_cast<std::size_t>(n - 1)] = item;
  }
  mnuLastUsedSeparator = file->addSeparator();
  mnuFileExit = file->addAction(QStringLiteral("E&xit"), this, &QWidget::close);

  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  mnuViewCurrent = view->addAction(QStringLiteral("Current Kov &Outfile"), this, [this] { ViewCurrentOutfile(); });
  mnuViewChoose = view->addAction(QStringLiteral("&Choose Outfile"), this, [this] { ChooseOutfile(); });

  QMenu* mode = menuBar()->addMenu(QStringLiteral("Run &Mode"));
  auto* modes = new QActionGroup(this);
  mnuModeEm = mode->addAction(QStringLiteral("EM Mode"), this, [this] { SetRunType(kRunTypeEm); });
  mnuModeDa = mode->addAction(QStringLiteral("DA Mode"), this, [this] { SetRunType(kRunTypeDa); });
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
      setWindowTitle(kProgramTitle + kCaptionSeparator + QStringLiteral("Untitled"));
      break;
    case document::Document::kEventOpened:
    case document::Document::kEventSaved:
      if (!m_document->Path().isEmpty()) {
        setWindowTitle(kProgramTitle + kCaptionSeparator + m_document->Path());
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
  (runType == kRunTypeDa ? mnuModeDa : mnuModeEm)->setChecked(true);
  m_form->SetRunType(runType);
  m_form->EventHandler(frmMain::kEventRunTypeChanged);
  EventHandler(frmMain::kEventRunTypeChanged);
}

RunLauncher::Outcome frmWS::RunCurrentModel() {
  m_form->FlushAllData();
  return m_launcher->Run(m_runType);
}

QString frmWS::ReportOfRunType() const {
  const int id = m_runType == kRunTypeDa ? document::kDaOutFile : document::kOutFile;
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
  return m_seriesViewer->OpenSeriesFile(path);
}

void frmWS::ShowHelp(int command) {
  m_help->Show(CHelp::DefaultHelpFile(), static_cast<HelpCommand>(command));
}

void frmWS::ShowAbout() {
  AboutBox box(this);
  box.exec();
}

void frmWS::closeEvent(QCloseEvent* event) {
  m_form->FlushAllData();
  if (!m_document->QueryExit()) {
    event->ignore();
    return;
  }
  m_help->CloseAll();
  if (m_seriesViewer != nullptr) m_seriesViewer->close();
  event->accept();
}

}  // namespace kov::editor
