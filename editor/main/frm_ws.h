// frmWS: the editor's frame. It holds the editing form and carries the file commands, the four
// recently used files, the run mode, the run launch, the reports, the series viewer and help.
#pragma once

#include <QMainWindow>
#include <QPointer>

#include <array>
#include <memory>

#include "document/document.h"
#include "recent_files.h"
#include "report_viewer.h"
#include "results/frm_results.h"
#include "run_launch.h"
#include "series/frm_series_plots.h"

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QMenu;

namespace kov::editor {

class CHelp;
class WidgetUi;
class frmMain;

class frmWS : public QMainWindow {
  Q_OBJECT

 public:
  // The messages and dialogs come from the caller when given (tests answer them); otherwise
  // the frame shows real message boxes and file dialogs. Neither is owned.
  explicit frmWS(gui::MessageSink* messages = nullptr, document::FileDialogs* dialogs = nullptr,
                 QWidget* parent = nullptr);
  ~frmWS() override;

  // Document events (0 new, 1 opened, 4 saved, 5 run type changed): the caption.
  void EventHandler(int event);
  // Shows the recently used files in the File menu.
  void SetLastUsedItems();

  void SetRunType(RunType runType);
  RunType RunTypeInForce() const { return m_runType; }

  // The commands behind the menus.
  RunLauncher::Outcome RunCurrentModel();
  // Opens the report of the current run type; false when there is none to open.
  bool ViewCurrentOutfile();
  bool ChooseOutfile();
  // Opens the series viewer on "File to contain parameter series:"; false when the file could
  // not be read (after the viewer's message).
  bool PlotSeries();
  // The Results window on the results file beside the current report (X.json for X.out), on a
  // results file the user picks, or on the comparison of an enumeration (X.compare.json).
  // False when there was none to show or it could not be read (after its message).
  bool ViewCurrentResults();
  bool ChooseResults();
  bool CompareSizes();
  // The results file of the current report, as an absolute path.
  QString CurrentResultsFile() const;
  void ShowHelp(int command);
  void ShowAbout();
  // Opens the current report in the desktop's own text editor.
  bool ViewCurrentOutfileInTextEditor();
  // Refuses a run whose starting values the engine would refuse, naming the table and row;
  // true when the model may run.
  bool CheckStartValuesBeforeRun();
  // Fills the starting values of a new model (after asking, when values are typed already).
  bool FillStartValues(bool random);
  // Opens a control file named on the command line or dropped on the window.
  bool OpenFile(const QString& path);
  // Sizes a top-level window to fit the screen it opens on.
  static void FitToScreen(QWidget* window, QSize wanted);

  document::Document& Document() { return *m_document; }
  frmMain& Form() { return *m_form; }
  RunLauncher& Launcher() { return *m_launcher; }
  RecentFiles& Recent() { return *m_recent; }
  CHelp& Help() { return *m_help; }
  // Where reports go to be shown; tests look instead of starting a text editor.
  void SetReportOpener(ReportViewer::Opener opener) { m_reportViewer.SetOpener(std::move(opener)); }

  // The menu items, for tests that use the program as a user would.
  QAction* FileNewAction() const { return mnuFileNew; }
  QAction* FileOpenAction() const { return mnuFileOpen; }
  QAction* FileSaveAction() const { return mnuFileSave; }
  QAction* FileSaveAsAction() const { return mnuFileSaveAs; }
  QAction* RecentFileAction(int n) const { return mnuLastUsed.at(static_cast<std::size_t>(n - 1)); }
  QAction* RecentSeparator() const { return mnuLastUsedSeparator; }
  QAction* ExitAction() const { return mnuFileExit; }
  QAction* CurrentOutfileAction() const { return mnuViewCurrent; }
  QAction* ChooseOutfileAction() const { return mnuViewChoose; }
  QAction* EmModeAction() const { return mnuModeEm; }
  QAction* DaModeAction() const { return mnuModeDa; }
  QAction* RunAction() const { return mnuRun; }
  QAction* PlotSeriesAction() const { return mnuPlotSeries; }
  QAction* HelpContentsAction() const { return mnuHelpContents; }
  QAction* HelpSearchAction() const { return mnuHelpSearch; }
  QAction* AboutAction() const { return mnuHelpAbout; }
  QAction* TextEditorOutfileAction() const { return mnuViewTextEditor; }
  QAction* FillEqualAction() const { return mnuFillEqual; }
  QAction* FillRandomAction() const { return mnuFillRandom; }
  series::frmSeriesPlots* SeriesViewer() const { return m_seriesViewer; }
  QAction* CurrentResultsAction() const { return mnuViewResults; }
  QAction* ChooseResultsAction() const { return mnuChooseResults; }
  QAction* CompareSizesAction() const { return mnuCompareSizes; }
  results::frmResults* ResultsWindow() const { return m_resultsWindow; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildMenus();
  void OpenRecent(int n);
  QString ReportOfRunType() const;
  // Where the relative names of the current model's files are taken: the folder its runs work in.
  QString RunFolder() const;
  results::frmResults* ResultsWindowToFill();

  std::unique_ptr<WidgetUi> m_ownUi;
  gui::MessageSink* m_messages;
  document::FileDialogs* m_dialogs;
  std::unique_ptr<document::Document> m_document;
  std::unique_ptr<RecentFiles> m_recent;
  std::unique_ptr<RunLauncher> m_launcher;
  std::unique_ptr<CHelp> m_help;
  ReportViewer m_reportViewer;
  frmMain* m_form = nullptr;
  QPointer<series::frmSeriesPlots> m_seriesViewer;
  QPointer<results::frmResults> m_resultsWindow;
  RunType m_runType = RunType::kEm;

  QAction* mnuFileNew = nullptr;
  QAction* mnuFileOpen = nullptr;
  QAction* mnuFileSave = nullptr;
  QAction* mnuFileSaveAs = nullptr;
  std::array<QAction*, RecentFiles::kCount> mnuLastUsed{};
  QAction* mnuLastUsedSeparator = nullptr;
  QAction* mnuFileExit = nullptr;
  QAction* mnuViewCurrent = nullptr;
  QAction* mnuViewChoose = nullptr;
  QAction* mnuModeEm = nullptr;
  QAction* mnuModeDa = nullptr;
  QAction* mnuRun = nullptr;
  QAction* mnuPlotSeries = nullptr;
  QAction* mnuHelpContents = nullptr;
  QAction* mnuHelpSearch = nullptr;
  QAction* mnuHelpAbout = nullptr;
  QAction* mnuViewTextEditor = nullptr;
  QAction* mnuFillEqual = nullptr;
  QAction* mnuFillRandom = nullptr;
  QAction* mnuViewResults = nullptr;
  QAction* mnuChooseResults = nullptr;
  QAction* mnuCompareSizes = nullptr;
};

}  // namespace kov::editor
