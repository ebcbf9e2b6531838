// CHelp opens the help pages in our own help window: at a topic, at the contents, at the index
// or at the page of a context number; CloseAll closes every help window it opened. The pages
// live in the folder "help" beside the program in a build, or in the installed data folder
// (DefaultHelpFile); any other folder can be named, which is how tests show the pages of the
// source tree.
#pragma once

#include <QPointer>
#include <QString>

#include <optional>
#include <vector>

#include "help_window.h"

namespace kov::editor {

// What Show displays; the numbers are those of the help commands the editor has always passed.
enum class HelpCommand : int {
  kDisplayTopic = 0,     // the page named by the file, or the first page of the contents
  kDisplayContents = 1,  // the same, with the contents tab in front
  kDisplayIndex = 2,     // the index tab with the focus in its search field
  kHelpContext = 4,      // the page of a context number (a topic when no number is given)
};

// Context numbers of the pages (help/context.txt maps each to its page). Fields and grids of
// the editing form have numbers derived from their identifiers: ContextForInterfaceValue and
// ContextForGrid.
namespace help_context {
inline constexpr int kWelcome = 1;
inline constexpr int kConcepts = 2;
inline constexpr int kFirstModel = 3;
inline constexpr int kMainWindow = 4;
inline constexpr int kFiles = 5;
inline constexpr int kDataFile = 6;
inline constexpr int kGrids = 7;
inline constexpr int kRestrictions = 8;
inline constexpr int kStartingValues = 9;
inline constexpr int kRunningEm = 10;
inline constexpr int kRunningDa = 11;
inline constexpr int kRunWindow = 12;
inline constexpr int kSeriesViewer = 13;
inline constexpr int kMessages = 14;
inline constexpr int kCommandLine = 15;
inline constexpr int kGlossary = 16;
inline constexpr int kEstimatesFile = 17;
inline constexpr int kAbout = 18;

// The tabs of the editing form.
inline constexpr int kModelAndDataTab = 100;
inline constexpr int kEstimationTab = 101;
inline constexpr int kLabelsTab = 102;
inline constexpr int kGammaTab = 103;
inline constexpr int kLittleRhoTab = 104;
inline constexpr int kDeltaTab = 105;
inline constexpr int kTauTab = 106;
inline constexpr int kBigRhoTab = 107;
inline constexpr int kDataAugmentationTab = 108;

// The blocks of the reports and the side files.
inline constexpr int kReportOverview = 200;
inline constexpr int kReportHeader = 201;
inline constexpr int kReportStartValues = 202;
inline constexpr int kReportRestrictions = 203;
inline constexpr int kReportIterationHistory = 204;
inline constexpr int kReportModelFit = 205;
inline constexpr int kReportCellTables = 206;
inline constexpr int kReportFinalEstimates = 207;
inline constexpr int kReportDataAugmentation = 208;
inline constexpr int kDetailsFile = 209;
inline constexpr int kSeriesFile = 210;
inline constexpr int kImputedDataFiles = 211;

// Fields 1000 to 1022 keep their identifier; option groups -1 to -6 become 1101 to 1106.
inline constexpr int kFirstFieldContext = 1000;
inline constexpr int kOptionContextBase = 1100;
// Grid identities 0 to 13 become 2000 to 2013.
inline constexpr int kGridContextBase = 2000;
}  // namespace help_context

// The context number of a field or option group of the editing form, by its interface value
// identifier (1000 to 1022, -1 to -6); nothing for any other identifier.
std::optional<int> ContextForInterfaceValue(int identifier);
// The context number of a parameter grid, by its identity (0 to 13); nothing otherwise.
std::optional<int> ContextForGrid(int identity);

class CHelp {
 public:
  CHelp() = default;
  // Help windows do not outlive the object that opened them.
  ~CHelp();
  CHelp(const CHelp&) = delete;
  CHelp& operator=(const CHelp&) = delete;

  // The help folder of the running program: HelpFolderFor its own folder.
  static QString DefaultHelpFile();
  // "help" beside a program in programFolder when it is there (a build folder), else the pages
  // installed with it under the same prefix; when neither exists, the folder beside it, so that
  // the window says where the pages were looked for.
  static QString HelpFolderFor(const QString& programFolder);

  // file is a help folder, or a page inside one (then that page is the topic). One window per
  // folder: a second Show for the same folder reuses it and brings it to the front. True when
  // the window shows what was asked; false when the folder, the page or the context number is
  // unknown (the window then says so, or shows the first page for an unknown number).
  bool Show(const QString& file, HelpCommand command,
            std::optional<int> contextNumber = std::nullopt);

  // Closes every help window opened through this object.
  void CloseAll();

  // The open window of a help folder (or of the folder of a page), or null.
  HelpWindow* Window(const QString& file) const;
  int OpenWindowCount() const;

 private:
  HelpWindow* WindowFor(const QString& file);

  std::vector<QPointer<HelpWindow>> m_windows;
};

}  // namespace kov::editor
