// The series viewer: for the family the user picks, the time-series plot of its parameter
// series and its autocorrelation function with Bartlett's 95% band, each printable and
// exportable as a picture, the series itself as CSV.
//
// The main window opens it with OpenSeriesFile(path); its own File menu opens any file (the
// menu actions are named mnuOpen, mnuExportTimeSeries, mnuExportACF, mnuExportCSV, mnuClose,
// mnuPrintTimeSeries and mnuPrintACF). Every message goes through kov::gui::ShowMessage, the
// file questions through document::FileDialogs and the printer through PrinterSetup, so that
// tests answer all three.
#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <QRect>
#include <QSize>
#include <QString>

#include <array>
#include <memory>

#include "parameter_series.h"

class QAction;
class QBoxLayout;
class QButtonGroup;
class QChart;
class QPainter;
class QRadioButton;
class QValueAxis;

namespace kov::document {
class FileDialogs;
}

namespace kov::series {

class PrinterSetup;
class SeriesChartView;

// The failed end of a print job, shown as its number.
inline constexpr std::int32_t kPrintJobFailed = 5201;

class frmSeriesPlots : public QMainWindow {
  Q_OBJECT

 public:
  enum ChartIndex : int { kTimeSeriesChart = 0, kAcfChart = 1 };

  explicit frmSeriesPlots(QWidget* parent = nullptr);
  ~frmSeriesPlots() override;

  // The seams; nullptr restores the window's own file dialog or print dialog. The window does
  // not own them.
  void SetFileDialogs(document::FileDialogs* dialogs);
  void SetPrinterSetup(PrinterSetup* setup);

  // Reads a series file (asking for one when path is empty), brings the window to the front and
  // shows its first family. A failed read shows its message and leaves the window empty. False
  // when the read failed or the user cancelled.
  bool OpenSeriesFile(const QString& path = {});

  // The window's size on a screen with this available area: as wanted, but never more than
  // nine tenths of the screen either way.
  static QSize FittedSize(QSize wanted, const QRect& available);

  // Re-reads the ranges, options and plots from the held series.
  void Init();
  // Draws both plots of a family (1..5); false when the family does not exist in the model.
  bool DisplaySeries(int family);
  // Draws the autocorrelation of the current family over the current window; false (after its
  // message) when the series is constant there.
  bool PlotACF();
  // Puts the charts side by side in a wide window, one above the other otherwise.
  void ResizeControls();

  // Prints one chart through the printer setup; false when cancelled or failed (after its
  // message).
  bool PrintChart(ChartIndex index);
  // One printed page: a header line with the series file and the time printed, the chart below.
  void PaintChartPage(ChartIndex index, QPainter& painter, const QRectF& page,
                      const QDateTime& printedAt);

  // Writes one chart as a PNG or SVG picture (by the file's suffix; none adds ".png"), asking
  // for the file when path is empty. False when cancelled or failed (after its message).
  bool ExportChart(ChartIndex index, const QString& path = {});
  // Writes the current family's series as CSV, one row per iteration of the file, unthinned:
  // "Iteration,<family>". False when cancelled or failed (after its message).
  bool ExportSeriesCsv(const QString& path = {});

  // The autocorrelation window in iterations (1..N, first < last); redraws the plot.
  bool SetAcfWindow(int first, int last);

  const ParameterSeries& Series() const { return *m_series; }
  const SeriesRanges& Ranges() const { return m_ranges; }
  int CurrentFamily() const { return m_family; }
  QChart* Chart(ChartIndex index) const;
  SeriesChartView* ChartView(ChartIndex index) const { return chtCharts[index]; }
  QRadioButton* FamilyOption(int family) const { return optParameters[family - 1]; }

 public slots:
  void clsPS_DataChanged();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Suspends a chart's repainting while it is rebuilt; nests. A change of the time-series axis
  // inside a batch is the window's own, never a zoom by the user.
  class ChartBatch;

  void BuildMenus();
  void BuildCharts();
  void PlotTimeSeries();
  void FillTimeSeries(int first, int last);
  void ResetPlots();
  void RenderChart(ChartIndex index, QPainter& painter, const QRectF& target);
  QString AskExportPath(const QString& filter, const QString& nameEnd);
  bool ReportWriteFailure(const QString& path, const QString& reason);
  void ClearCharts();
  void ShowAcfWindow();
  void OnTimeSeriesRangeChanged(qreal min, qreal max);

  ParameterSeries* m_series;
  SeriesRanges m_ranges;
  int m_family = 0;

  std::array<SeriesChartView*, 2> chtCharts{};
  std::array<int, 2> m_batchDepth{};
  std::array<QValueAxis*, 2> m_xAxes{};
  std::array<QValueAxis*, 2> m_yAxes{};
  std::array<QRadioButton*, kFamilyCount> optParameters{};
  QButtonGroup* m_options = nullptr;
  QBoxLayout* m_chartLayout = nullptr;

  QAction* mnuOpen = nullptr;
  QAction* mnuExportTimeSeries = nullptr;
  QAction* mnuExportACF = nullptr;
  QAction* mnuExportCSV = nullptr;
  QAction* mnuClose = nullptr;
  QAction* mnuPrintTimeSeries = nullptr;
  QAction* mnuPrintACF = nullptr;

  std::unique_ptr<document::FileDialogs> m_ownDialogs;
  std::unique_ptr<PrinterSetup> m_ownPrinterSetup;
  document::FileDialogs* m_dialogs;
  PrinterSetup* m_printerSetup;
};

}  // namespace kov::series
