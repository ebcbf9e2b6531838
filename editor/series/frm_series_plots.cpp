#include "frm_series_plots.h"

#include <QAction>
#include <QBoxLayout>
#include <QButtonGroup>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QMenuBar>
#include <QPainter>
#include <QPrinter>
#include <QRadioButton>
#include <QResizeEvent>
#include <QSaveFile>
#include <QScopeGuard>
#include <QScreen>
#include <QStatusBar>
#include <QSvgGenerator>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>

#include "autocorrelation.h"
#include "document/user_interface.h"
#include "document/window_file_dialogs.h"
#include "message_sink.h"
#include "print_setup.h"
#include "series_chart_view.h"

namespace kov::series {

namespace {

const QString kCaption = QStringLiteral("Diagnostics");

using document::WindowFileDialogs;

// Hourglass for as long as the guard lives.
class BusyPointer {
 public:
  BusyPointer() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyPointer() { QGuiApplication::restoreOverrideCursor(); }
  BusyPointer(const BusyPointer&) = delete;
  BusyPointer& operator=(const BusyPointer&) = delete;
};

// A message with the ordinary pointer, even when it interrupts a busy stretch (a constant
// family shown as a file is read).
void ShowWindowMessage(QWidget* parent, const QString& text, const QString& title,
                       gui::MessageIcon icon) {
  const bool busy = QGuiApplication::overrideCursor() != nullptr;
  if (busy) QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
  gui::ShowMessage(parent, text, title, gui::MessageButtons::kOk, icon);
  if (busy) QGuiApplication::restoreOverrideCursor();
}

// 1, 2 or 5 times a power of ten, so that the span holds at most about eight steps.
double RoundStep(double span, double smallest) {
  const double rough = span / 8.0;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = 10.0 * power;
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= rough) {
      step = factor * power;
      break;
    }
  }
  return std::max(step, smallest);
}

// smallest is the finest tick the axis may have: 1 on an axis of iterations or lags.
QValueAxis* NewAxis(const QString& title, const QString& labelFormat, double smallest) {
  auto* axis = new QValueAxis;
  axis->setTitleText(title);
  axis->setLabelFormat(labelFormat);
  // Ticks on round numbers counted from 0, whatever the ends of the range; the step follows
  // every change of range, a zoom included, so that a narrow range still shows several ticks.
  axis->setTickType(QValueAxis::TicksDynamic);
  axis->setTickAnchor(0.0);
  QObject::connect(axis, &QValueAxis::rangeChanged, axis, [axis, smallest](qreal min, qreal max) {
    if (max > min) axis->setTickInterval(RoundStep(max - min, smallest));
  });
  return axis;
}

// "1st", "2nd", "3rd", "4th", ..., "11th", "12th", "13th", ..., "21st".
QString Ordinal(int n) {
  const int lastTwo = n % 100;
  const int last = n % 10;
  const char* suffix = "th";
  if (lastTwo < 11 || lastTwo > 13) {
    if (last == 1) suffix = "st";
    if (last == 2) suffix = "nd";
    if (last == 3) suffix = "rd";
  }
  return QString::number(n) + QLatin1String(suffix);
}

// What the title says about a span drawn thinned; nothing when every iteration is drawn.
QString ThinningNote(int iterations) {
  const int step = TimeSeriesStep(iterations);
  if (step == 1) return {};
  return QStringLiteral(" (every %1 of %2 iterations)").arg(Ordinal(step)).arg(iterations);
}

// The chosen path with the suffix the format needs when the user typed none.
QString WithSuffix(const QString& path, const QString& suffix) {
  return QFileInfo(path).suffix().isEmpty() ? path + QLatin1Char('.') + suffix : path;
}

// smallest is the finest tick the axis may have: 1 on an axis of iterations or lags.
void SetRange(QValueAxis* axis, double low, double high, double smallest = 0.0) {
  // A single point or a constant value still needs an axis of some length.
  if (!(high > low)) {
    const double pad = std::max(1.0, std::abs(low) * 0.05);
    low -= pad;
    high += pad;
  }
  axis->setTickInterval(RoundStep(high - low, smallest));
  axis->setRange(low, high);
}

}  // namespace

class frmSeriesPlots::ChartBatch {
 public:
  ChartBatch(frmSeriesPlots& window, ChartIndex index) : m_window(window), m_index(index) {
    if (m_window.m_batchDepth[m_index]++ == 0) {
      m_window.chtCharts[m_index]->setUpdatesEnabled(false);
    }
  }
  ~ChartBatch() {
    if (--m_window.m_batchDepth[m_index] == 0) {
      m_window.chtCharts[m_index]->setUpdatesEnabled(true);
      m_window.chtCharts[m_index]->viewport()->update();
    }
  }
  ChartBatch(const ChartBatch&) = delete;
  ChartBatch& operator=(const ChartBatch&) = delete;

 private:
  frmSeriesPlots& m_window;
  ChartIndex m_index;
};

frmSeriesPlots::frmSeriesPlots(QWidget* parent)
    : QMainWindow(parent),
      m_series(new ParameterSeries(this)),
      m_ownDialogs(std::make_unique<WindowFileDialogs>(this)),
      m_ownPrinterSetup(std::make_unique<PrintDialogSetup>()),
      m_dialogs(m_ownDialogs.get()),
      m_printerSetup(m_ownPrinterSetup.get()) {
  setWindowTitle(kCaption);
  BuildMenus();
  BuildCharts();
  connect(m_series, &ParameterSeries::DataChanged, this, &frmSeriesPlots::clsPS_DataChanged);
  // At 1.5 scaling a 1000-pixel-high screen is 667 pixels high to the window.
  const QSize wanted(900, 700);
  resize(screen() != nullptr ? FittedSize(wanted, screen()->availableGeometry()) : wanted);
  Init();
}

frmSeriesPlots::~frmSeriesPlots() = default;

QSize frmSeriesPlots::FittedSize(QSize wanted, const QRect& available) {
  constexpr double kScreenShare = 0.9;
  return wanted.boundedTo(QSize(static_cast<int>(available.width() * kScreenShare),
                                static_cast<int>(available.height() * kScreenShare)));
}

void frmSeriesPlots::SetFileDialogs(document::FileDialogs* dialogs) {
  m_dialogs = dialogs != nullptr ? dialogs : m_ownDialogs.get();
}

void frmSeriesPlots::SetPrinterSetup(PrinterSetup* setup) {
  m_printerSetup = setup != nullptr ? setup : m_ownPrinterSetup.get();
}

void frmSeriesPlots::BuildMenus() {
  QMenu* mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
  mnuOpen = mnuFile->addAction(QStringLiteral("&Open"));
  mnuFile->addSeparator();
  mnuExportTimeSeries = mnuFile->addAction(QStringLiteral("Export &Time-Series Chart..."));
  mnuExportACF = mnuFile->addAction(QStringLiteral("Export &ACF Chart..."));
  mnuExportCSV = mnuFile->addAction(QStringLiteral("Export Series as &CSV..."));
  mnuFile->addSeparator();
  mnuClose = mnuFile->addAction(QStringLiteral("C&lose"));
  QMenu* mnuPrint = menuBar()->addMenu(QStringLiteral("&Print"));
  mnuPrintTimeSeries = mnuPrint->addAction(QStringLiteral("Print &Time-Series"));
  mnuPrintACF = mnuPrint->addAction(QStringLiteral("Print &ACF"));
  mnuOpen->setObjectName(QStringLiteral("mnuOpen"));
  mnuExportTimeSeries->setObjectName(QStringLiteral("mnuExportTimeSeries"));
  mnuExportACF->setObjectName(QStringLiteral("mnuExportACF"));
  mnuExportCSV->setObjectName(QStringLiteral("mnuExportCSV"));
  mnuClose->setObjectName(QStringLiteral("mnuClose"));
  mnuPrintTimeSeries->setObjectName(QStringLiteral("mnuPrintTimeSeries"));
  mnuPrintACF->setObjectName(QStringLiteral("mnuPrintACF"));

  connect(mnuOpen, &QAction::triggered, this, [this] { OpenSeriesFile(); });
  connect(mnuExportTimeSeries, &QAction::triggered, this,
          [this] { ExportChart(kTimeSeriesChart); });
  connect(mnuExportACF, &QAction::triggered, this, [this] { ExportChart(kAcfChart); });
  connect(mnuExportCSV, &QAction::triggered, this, [this] { ExportSeriesCsv(); });
  connect(mnuClose, &QAction::triggered, this, &QWidget::close);
  connect(mnuPrintTimeSeries, &QAction::triggered, this, [this] { PrintChart(kTimeSeriesChart); });
  connect(mnuPrintACF, &QAction::triggered, this, [this] { PrintChart(kAcfChart); });
}

void frmSeriesPlots::BuildCharts() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  auto* options = new QGroupBox(central);
  auto* optionLayout = new QHBoxLayout(options);
  m_options = new QButtonGroup(this);
  for (int family = 1; family <= kFamilyCount; ++family) {
    auto* option = new QRadioButton(ParameterSeries::FamilyName(family), options);
    optParameters[family - 1] = option;
    m_options->addButton(option, family);
    optionLayout->addWidget(option);
  }
  optionLayout->addStretch();
  connect(m_options, &QButtonGroup::idToggled, this, [this](int family, bool checked) {
    if (checked && family != m_family) DisplaySeries(family);
  });
  layout->addWidget(options);

  m_chartLayout = new QBoxLayout(QBoxLayout::TopToBottom);
  const QString xTitles[2] = {QStringLiteral("Iteration"), QStringLiteral("Lag")};
  for (int index : {kTimeSeriesChart, kAcfChart}) {
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    m_xAxes[index] = NewAxis(xTitles[index], QStringLiteral("%.0f"), 1.0);
    m_yAxes[index] = NewAxis({}, QStringLiteral("%g"), 0.0);
    chart->addAxis(m_xAxes[index], Qt::AlignBottom);
    chart->addAxis(m_yAxes[index], Qt::AlignLeft);
    auto* view = new SeriesChartView(chart, central);
    view->setRenderHint(QPainter::Antialiasing);
    chtCharts[index] = view;
    m_chartLayout->addWidget(view);
    // The two plots are one view of one window of the chain: resetting either resets both.
    connect(view, &SeriesChartView::RedrawRequested, this, &frmSeriesPlots::ResetPlots);
  }
  // Dragging across the time series zooms into those iterations and takes them as the
  // autocorrelation's window, so the user can see whether a stretch of the chain mixes better.
  chtCharts[kTimeSeriesChart]->setRubberBand(QChartView::HorizontalRubberBand);
  connect(m_xAxes[kTimeSeriesChart], &QValueAxis::rangeChanged, this,
          &frmSeriesPlots::OnTimeSeriesRangeChanged);
  layout->addLayout(m_chartLayout, 1);
  setCentralWidget(central);
}

QChart* frmSeriesPlots::Chart(ChartIndex index) const { return chtCharts[index]->chart(); }

bool frmSeriesPlots::OpenSeriesFile(const QString& path) {
  QString chosen = path;
  if (chosen.isEmpty()) {
    chosen = m_dialogs->AskOpenPath(kSeriesFileFilter);
    if (chosen.isEmpty()) return false;
  }
  // The file dialog hands the focus back to whichever window had it, often the editor.
  show();
  raise();
  activateWindow();
  bool read = false;
  {
    BusyPointer busy;
    read = m_series->OpenSeries(chosen);
  }
  if (!read) {
    Init();
    const ParameterSeries::Failure& failure = m_series->LastFailure();
    ShowWindowMessage(this, failure.text, failure.title, gui::MessageIcon::kCritical);
  } else if (!m_series->Notice().isEmpty()) {
    ShowWindowMessage(this, m_series->Notice(), QStringLiteral("Series cut short"),
                      gui::MessageIcon::kInformation);
  }
  return read;
}

void frmSeriesPlots::clsPS_DataChanged() { Init(); }

void frmSeriesPlots::Init() {
  const bool valid = m_series->bValidData();
  m_ranges = m_series->Ranges();
  m_family = 0;
  int first = 0;
  {
    const QSignalBlocker blocker(m_options);
    // An exclusive group keeps one button checked; clear it to show that nothing is chosen.
    m_options->setExclusive(false);
    for (int family = 1; family <= kFamilyCount; ++family) {
      const bool exists = valid && m_series->FamilyExists(family);
      optParameters[family - 1]->setChecked(false);
      optParameters[family - 1]->setEnabled(exists);
      if (exists && first == 0) first = family;
    }
    m_options->setExclusive(true);
  }
  for (QAction* action :
       {mnuPrintTimeSeries, mnuPrintACF, mnuExportTimeSeries, mnuExportACF, mnuExportCSV}) {
    action->setEnabled(valid);
  }
  setWindowTitle(valid
                     ? kCaption + QStringLiteral("-") + QFileInfo(m_series->sFilename()).fileName()
                     : kCaption);
  ClearCharts();
  statusBar()->clearMessage();
  if (first != 0) DisplaySeries(first);
}

void frmSeriesPlots::ClearCharts() {
  for (int index : {kTimeSeriesChart, kAcfChart}) {
    ChartBatch batch(*this, static_cast<ChartIndex>(index));
    Chart(static_cast<ChartIndex>(index))->removeAllSeries();
    Chart(static_cast<ChartIndex>(index))->setTitle({});
  }
}

bool frmSeriesPlots::DisplaySeries(int family) {
  if (!m_series->bValidData() || !m_series->FamilyExists(family)) return false;
  m_family = family;
  {
    const QSignalBlocker blocker(m_options);
    optParameters[family - 1]->setChecked(true);
  }
  PlotTimeSeries();
  PlotACF();
  return true;
}

void frmSeriesPlots::PlotTimeSeries() {
  ChartBatch batch(*this, kTimeSeriesChart);
  QChart* chart = Chart(kTimeSeriesChart);
  chart->removeAllSeries();

  const std::vector<double>& values = m_series->FamilyValues(m_family);
  const int first = m_ranges.timeSeriesFirst;
  const int last = m_ranges.timeSeriesLast;
  // The value axis spans every iteration, also those that thinning leaves out.
  const auto [low, high] = std::minmax_element(values.begin() + (first - 1), values.begin() + last);
  auto* line = new QLineSeries;
  line->setName(QStringLiteral("Time Series"));
  chart->addSeries(line);
  line->attachAxis(m_xAxes[kTimeSeriesChart]);
  line->attachAxis(m_yAxes[kTimeSeriesChart]);
  FillTimeSeries(first, last);

  chart->zoomReset();
  SetRange(m_xAxes[kTimeSeriesChart], first, last, 1.0);
  const double margin = (*high - *low) * 0.05;
  SetRange(m_yAxes[kTimeSeriesChart], *low - margin, *high + margin);
}

void frmSeriesPlots::FillTimeSeries(int first, int last) {
  ChartBatch batch(*this, kTimeSeriesChart);
  QChart* chart = Chart(kTimeSeriesChart);
  auto* line = qobject_cast<QLineSeries*>(chart->series().value(0));
  if (line == nullptr) return;
  const std::vector<double>& values = m_series->FamilyValues(m_family);
  const int count = last - first + 1;
  const int step = TimeSeriesStep(count);
  QList<QPointF> points;
  points.reserve((count - 1) / step + 1);
  for (int t = first; t <= last; t += step) points.append(QPointF(t, values[t - 1]));
  line->replace(points);
  chart->setTitle(QStringLiteral("Time Series of ") + ParameterSeries::FamilyName(m_family) +
                  ThinningNote(count));
}

void frmSeriesPlots::ResetPlots() {
  if (!m_series->bValidData() || m_family == 0) return;
  m_ranges = m_series->Ranges();
  PlotTimeSeries();
  PlotACF();
}

bool frmSeriesPlots::PlotACF() {
  if (!m_series->bValidData() || m_family == 0) return false;
  const QString name = ParameterSeries::FamilyName(m_family);
  const Autocorrelation acf =
      ComputeAutocorrelation(m_series->FamilyValues(m_family), m_ranges.acfFirst - 1,
                             m_ranges.acfLast - 1, m_ranges.maxLag);
  {
    ChartBatch batch(*this, kAcfChart);
    QChart* chart = Chart(kAcfChart);
    chart->removeAllSeries();
    chart->setTitle(QStringLiteral("ACF of ") + name);
    if (acf.varies) {
      auto* upper = new QLineSeries;
      auto* lower = new QLineSeries;
      auto* correlations = new QLineSeries;
      double widest = 0.0;
      for (int h = 0; h <= m_ranges.maxLag; ++h) {
        upper->append(h, acf.halfWidth[h]);
        lower->append(h, -acf.halfWidth[h]);
        correlations->append(h, acf.r[h]);
        widest = std::max(widest, acf.halfWidth[h]);
      }
      auto* band = new QAreaSeries(upper, lower);
      // The area series does not own its boundary lines: without a parent every redraw of the
      // chart would leave two behind.
      upper->setParent(band);
      lower->setParent(band);
      band->setName(QStringLiteral("95% CI"));
      auto* zero = new QLineSeries;
      zero->setName(QStringLiteral("Zero"));
      zero->append(0, 0.0);
      zero->append(m_ranges.maxLag, 0.0);
      correlations->setName(QStringLiteral("ACF"));
      correlations->setPointsVisible(true);
      for (QAbstractSeries* series :
           {static_cast<QAbstractSeries*>(band), static_cast<QAbstractSeries*>(zero),
            static_cast<QAbstractSeries*>(correlations)}) {
        chart->addSeries(series);
        series->attachAxis(m_xAxes[kAcfChart]);
        series->attachAxis(m_yAxes[kAcfChart]);
      }
      // After addSeries, which paints every series in the theme's colours.
      band->setColor(QColor(70, 130, 180, 50));
      band->setBorderColor(QColor(70, 130, 180));
      zero->setColor(Qt::black);
      SetRange(m_xAxes[kAcfChart], 0, m_ranges.maxLag, 1.0);
      const double reach = std::max(1.0, widest);
      SetRange(m_yAxes[kAcfChart], -reach, reach);
    }
  }
  ShowAcfWindow();
  if (!acf.varies) {
    ShowWindowMessage(this,
                      QStringLiteral("All values in the series for parameter ") + name +
                          QStringLiteral(" are zero.\n"
                                         "This indicates that no imputation was performed on "
                                         "this variable,\n"
                                         "possibly due to parameter restrictions."),
                      QStringLiteral("Parameter Series"), gui::MessageIcon::kInformation);
  }
  return acf.varies;
}

void frmSeriesPlots::ShowAcfWindow() {
  statusBar()->showMessage(QStringLiteral("Autocorrelation of iterations %1 to %2, lags 0 to %3")
                               .arg(m_ranges.acfFirst)
                               .arg(m_ranges.acfLast)
                               .arg(m_ranges.maxLag));
}

bool frmSeriesPlots::SetAcfWindow(int first, int last) {
  if (!m_series->bValidData() || first < 1 || last > m_series->lNumberOfIterations() ||
      last <= first) {
    return false;
  }
  m_ranges.acfFirst = first;
  m_ranges.acfLast = last;
  return PlotACF();
}

void frmSeriesPlots::OnTimeSeriesRangeChanged(qreal min, qreal max) {
  // While the window rebuilds the chart, the axis follows the window, not the user.
  if (m_batchDepth[kTimeSeriesChart] > 0 || !m_series->bValidData() || m_family == 0) return;
  const double shownFirst = m_ranges.timeSeriesFirst;
  const double shownLast = m_ranges.timeSeriesLast;
  const int first = static_cast<int>(std::ceil(std::clamp(min, shownFirst, shownLast)));
  const int last = static_cast<int>(std::floor(std::clamp(max, shownFirst, shownLast)));
  // A zoom into a thinned chain draws the iterations it now has room for, out to the edges.
  FillTimeSeries(static_cast<int>(std::floor(std::clamp(min, shownFirst, shownLast))),
                 static_cast<int>(std::ceil(std::clamp(max, shownFirst, shownLast))));
  SetAcfWindow(first, last);
}

void frmSeriesPlots::ResizeControls() {
  const QBoxLayout::Direction direction =
      width() >= 1.6 * height() ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
  if (m_chartLayout->direction() != direction) m_chartLayout->setDirection(direction);
}

void frmSeriesPlots::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  ResizeControls();
}

void frmSeriesPlots::RenderChart(ChartIndex index, QPainter& painter, const QRectF& target) {
  // Paper and pictures get a flat white chart shaped like the target, laid out at about a
  // screen's width so that its text keeps the proportions it has on screen; the screen gets its
  // own look and size back however the drawing ends.
  QChart* chart = Chart(index);
  const QBrush screenBackground = chart->backgroundBrush();
  const bool screenShadow = chart->isDropShadowEnabled();
  const QRectF screenGeometry = chart->geometry();
  const auto restore = qScopeGuard([&] {
    chart->setBackgroundBrush(screenBackground);
    chart->setDropShadowEnabled(screenShadow);
    chart->setGeometry(screenGeometry);
  });
  chart->setBackgroundBrush(Qt::white);
  chart->setDropShadowEnabled(false);
  constexpr qreal kPaperWidth = 1000.0;
  const QRectF paper(screenGeometry.topLeft(),
                     QSizeF(kPaperWidth, kPaperWidth * target.height() / target.width()));
  chart->setGeometry(paper);
  chart->layout()->activate();
  chart->scene()->render(&painter, target, paper, Qt::KeepAspectRatio);
}

void frmSeriesPlots::PaintChartPage(ChartIndex index, QPainter& painter, const QRectF& page,
                                    const QDateTime& printedAt) {
  painter.save();
  QFont font = painter.font();
  font.setPointSizeF(9.0);
  painter.setFont(font);
  painter.setPen(Qt::black);
  const qreal lineHeight = painter.fontMetrics().height();
  const QRectF header(page.left(), page.top(), page.width(), lineHeight);
  painter.drawText(header, Qt::AlignLeft | Qt::AlignVCenter,
                   QDir::toNativeSeparators(QFileInfo(m_series->sFilename()).absoluteFilePath()));
  painter.drawText(header, Qt::AlignRight | Qt::AlignVCenter,
                   printedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
  painter.restore();
  const qreal gap = 0.5 * lineHeight;
  RenderChart(index, painter,
              QRectF(page.left(), header.bottom() + gap, page.width(),
                     page.height() - header.height() - gap));
}

bool frmSeriesPlots::PrintChart(ChartIndex index) {
  if (!m_series->bValidData()) return false;
  QPrinter printer(QPrinter::HighResolution);
  printer.setPageOrientation(QPageLayout::Landscape);
  printer.setDocName(Chart(index)->title());
  if (!m_printerSetup->Prepare(printer, this)) return false;

  QPainter painter;
  if (!painter.begin(&printer)) {
    ShowWindowMessage(this, QStringLiteral("Print failed"), {}, gui::MessageIcon::kCritical);
    return false;
  }
  const QRectF page(QPointF(0, 0), printer.pageRect(QPrinter::DevicePixel).size());
  PaintChartPage(index, painter, page, QDateTime::currentDateTime());
  if (!painter.end() || printer.printerState() == QPrinter::Error) {
    ShowWindowMessage(this,
                      QStringLiteral("Print error: \n%1-%2")
                          .arg(kPrintJobFailed)
                          .arg(QStringLiteral("The printer reported an error as the job ended")),
                      {}, gui::MessageIcon::kCritical);
    return false;
  }
  return true;
}

QString frmSeriesPlots::AskExportPath(const QString& filter, const QString& nameEnd) {
  // Beside the series file and named after it.
  const QFileInfo source(m_series->sFilename());
  const QString suggested = source.dir().filePath(source.completeBaseName() + nameEnd);
  return m_dialogs->AskSavePath(filter, suggested);
}

bool frmSeriesPlots::ReportWriteFailure(const QString& path, const QString& reason) {
  ShowWindowMessage(this,
                    QStringLiteral("Unable to write file:\n%1\n%2")
                        .arg(QDir::toNativeSeparators(path), reason),
                    QStringLiteral("Export"), gui::MessageIcon::kCritical);
  return false;
}

bool frmSeriesPlots::ExportChart(ChartIndex index, const QString& path) {
  if (!m_series->bValidData() || m_family == 0) return false;
  QString chosen = path;
  if (chosen.isEmpty()) {
    chosen = AskExportPath(QStringLiteral("PNG Image (*.png);;SVG Image (*.svg)"),
                           index == kTimeSeriesChart ? QStringLiteral("_timeseries.png")
                                                     : QStringLiteral("_acf.png"));
    if (chosen.isEmpty()) return false;
  }
  chosen = WithSuffix(chosen, QStringLiteral("png"));
  const bool svg = QFileInfo(chosen).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0;

  // A picture shaped like a landscape page, as the chart is printed.
  const QSize size(1000, 625);
  QSaveFile file(chosen);
  if (!file.open(QIODevice::WriteOnly)) return ReportWriteFailure(chosen, file.errorString());
  if (svg) {
    QSvgGenerator generator;
    generator.setOutputDevice(&file);
    generator.setSize(size);
    generator.setViewBox(QRect(QPoint(0, 0), size));
    generator.setTitle(Chart(index)->title());
    QPainter painter;
    if (!painter.begin(&generator)) return ReportWriteFailure(chosen, file.errorString());
    RenderChart(index, painter, QRectF(QPointF(0, 0), size));
    painter.end();
  } else {
    // Twice the layout size, so that the picture stays sharp in a document.
    QImage image(size * 2, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    RenderChart(index, painter, QRectF(QPointF(0, 0), image.size()));
    painter.end();
    if (!image.save(&file, "PNG")) return ReportWriteFailure(chosen, file.errorString());
  }
  if (!file.commit()) return ReportWriteFailure(chosen, file.errorString());
  return true;
}

bool frmSeriesPlots::ExportSeriesCsv(const QString& path) {
  if (!m_series->bValidData() || m_family == 0) return false;
  QString chosen = path;
  if (chosen.isEmpty()) {
    chosen = AskExportPath(QStringLiteral("CSV File (*.csv)"), QStringLiteral(".csv"));
    if (chosen.isEmpty()) return false;
  }
  chosen = WithSuffix(chosen, QStringLiteral("csv"));
  QSaveFile file(chosen);
  if (!file.open(QIODevice::WriteOnly)) return ReportWriteFailure(chosen, file.errorString());
  // Shortest round-trip digits and a point for the decimals, whatever the user's locale.
  QByteArray text = "Iteration," + ParameterSeries::FamilyName(m_family).toUtf8() + "\n";
  const std::vector<double>& values = m_series->FamilyValues(m_family);
  for (int t = m_ranges.timeSeriesFirst; t <= m_ranges.timeSeriesLast; ++t) {
    text += QByteArray::number(t) + ',' +
            QByteArray::number(values[t - 1], 'g', QLocale::FloatingPointShortest) + '\n';
  }
  if (file.write(text) != text.size() || !file.commit()) {
    return ReportWriteFailure(chosen, file.errorString());
  }
  return true;
}

}  // namespace kov::series
