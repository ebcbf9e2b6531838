// frmResults: the results of one run, or the comparison of the sizes of a class enumeration,
// read from the JSON file the engine writes beside its report. A list on the left picks the
// page: the fit summary, each parameter table as a grid, and the charts. Every grid exports
// to CSV and every chart to PNG, SVG or PDF (by the file's suffix).
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

#include "results_model.h"

class QAbstractItemModel;
class QListWidget;
class QStackedWidget;
class QTableView;

namespace kov::document {
class FileDialogs;
}

namespace kov::results {

class frmResults : public QMainWindow {
  Q_OBJECT

 public:
  // Shows a report, given its absolute path; false when nothing could show it.
  using ReportOpener = std::function<bool(const QString& path)>;

  explicit frmResults(QWidget* parent = nullptr);
  ~frmResults() override;

  // The seams; nullptr restores the window's own file dialog. Not owned.
  void SetFileDialogs(document::FileDialogs* dialogs);
  void SetReportOpener(ReportOpener opener) { m_reportOpener = std::move(opener); }

  // Reads a run's results file and builds the pages. False, after a message, when it could not
  // be read.
  bool OpenResults(const QString& path);
  // Reads X.compare.json; its pages hold the table of sizes and the criteria by size.
  bool OpenComparison(const QString& path);

  // The page names in the list, in order.
  QStringList PageNames() const;
  bool ShowPage(const QString& name);
  QString CurrentPage() const;
  // The grid of a table page, or nullptr.
  QAbstractItemModel* PageModel(const QString& name) const;
  // The widget drawn on a chart page, or nullptr.
  QWidget* PageChart(const QString& name) const;

  // Exports a page's grid as CSV, or its chart as a picture; an empty path asks for one.
  // False when cancelled or failed (after its message).
  bool ExportTable(const QString& name, const QString& path = {});
  bool ExportChart(const QString& name, const QString& path = {});
  // The text report of the run shown, or of a size of the comparison; false when there is none.
  bool OpenReport();
  bool OpenSizeReport(int size);
  // Opens the results of one size of the comparison in a window of its own.
  frmResults* OpenSizeResults(int size);

  const Results& Data() const { return m_results; }
  const Comparison& Sizes() const { return m_comparison; }
  QString ReportPath() const;

 private:
  struct Page {
    QString name;
    QWidget* widget = nullptr;
    QAbstractItemModel* model = nullptr;
    QWidget* chart = nullptr;
  };

  void Clear();
  void FitListToNames();
  void AddPage(Page page);
  void AddSummaryPage();
  void AddTablePage(const QString& name, QAbstractItemModel* model, const QString& rowTitle,
                    QWidget* extra = nullptr);
  void AddChartPage(const QString& name, QWidget* chart);
  void AddResultsCharts();
  void AddComparisonPages();
  const Page* FindPage(const QString& name) const;
  bool Fail(const QString& text, const QString& title);
  QString AskExportPath(const QString& filter, const QString& name) const;

  Results m_results;
  Comparison m_comparison;
  bool m_isComparison = false;
  QListWidget* m_list = nullptr;
  QStackedWidget* m_stack = nullptr;
  std::vector<Page> m_pages;
  std::unique_ptr<document::FileDialogs> m_ownDialogs;
  document::FileDialogs* m_dialogs = nullptr;
  ReportOpener m_reportOpener;
};

}  // namespace kov::results
