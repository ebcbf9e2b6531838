// The series viewer window offscreen: the families it offers, both plots, the constant-series
// message, zoom and right-click reset, printing to PDF files, export, its size and a screenshot.
// Messages, the file questions and the printer are answered through the window's seams.
#include <QAction>
#include <QApplication>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPicture>
#include <QPrinter>
#include <QScreen>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <QtTest>

#include <cmath>

#include "document/user_interface.h"
#include "message_sink.h"
#include "series/frm_series_plots.h"
#include "series/print_setup.h"
#include "series/series_chart_view.h"
#include "series_files.h"

namespace kov::series::test {

namespace {

class ScriptedDialogs final : public document::FileDialogs {
 public:
  QString AskOpenPath(const QString& filter) override {
    filters << filter;
    return paths.isEmpty() ? QString() : paths.takeFirst();
  }
  QString AskSavePath(const QString& filter, const QString&) override {
    filters << filter;
    return savePaths.isEmpty() ? QString() : savePaths.takeFirst();
  }
  QStringList paths;  // none left means Cancel
  QStringList savePaths;
  QStringList filters;
};

class PdfFileSetup final : public PrinterSetup {
 public:
  explicit PdfFileSetup(QString path) : m_path(std::move(path)) {}
  bool Prepare(QPrinter& printer, QWidget*) override {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(m_path);
    return true;
  }

 private:
  QString m_path;
};

struct Fixture {
  gui::RecordingMessageSink messages;
  gui::ScopedMessageSink scope{messages};
  ScriptedDialogs dialogs;
  frmSeriesPlots window;
  Fixture() { window.SetFileDialogs(&dialogs); }
};

QAbstractSeries* SeriesNamed(QChart* chart, const QString& name) {
  for (QAbstractSeries* series : chart->series()) {
    if (series->name() == name) return series;
  }
  return nullptr;
}

QList<QPointF> Points(QChart* chart, const QString& name) {
  auto* line = qobject_cast<QLineSeries*>(SeriesNamed(chart, name));
  return line != nullptr ? line->points() : QList<QPointF>();
}

QValueAxis* Axis(QChart* chart, Qt::Orientation orientation) {
  return qobject_cast<QValueAxis*>(chart->axes(orientation).value(0));
}

}  // namespace

class SeriesPlotsTest : public QObject {
  Q_OBJECT

 private slots:
  void offersTheFamiliesOfTheModel();
  void plotsTheAutocorrelationWithItsBand();
  void showsAtMostLagsAndIterations_data();
  void showsAtMostLagsAndIterations();
  void constantFamilyShowsItsMessage();
  void failedOrCancelledOpenLeavesTheWindowEmpty();
  void zoomKeepsSeveralTicksAndRefinesTheTrace_data();
  void zoomKeepsSeveralTicksAndRefinesTheTrace();
  void zoomChoosesTheWindowAndRightClickResetsBoth_data();
  void zoomChoosesTheWindowAndRightClickResetsBoth();
  void printsChartsToPdfFiles();
  void printedPageNamesTheFileAndTheDate();
  void exportsChartsAndTheSeries_data();
  void exportsChartsAndTheSeries();
  void openFromItsMenuComesToTheFront();
  void fitsTheScreenItOpensOn_data();
  void fitsTheScreenItOpensOn();
  void rendersOffscreen();

 private:
  QString TempPath(const QString& name) const { return m_dir.filePath(name); }
  QTemporaryDir m_dir;
};

void SeriesPlotsTest::offersTheFamiliesOfTheModel() {
  Fixture f;
  QCOMPARE(f.window.windowTitle(), QStringLiteral("Diagnostics"));
  for (int family = 1; family <= kFamilyCount; ++family) {
    QVERIFY(!f.window.FamilyOption(family)->isEnabled());
  }
  QVERIFY(!f.window.findChild<QAction*>("mnuPrintACF")->isEnabled());

  // Two classes and three statuses: every family, gamma first.
  QVERIFY(f.window.OpenSeriesFile(DataPath("leading_blanks.ser")));
  QCOMPARE(f.window.windowTitle(), QStringLiteral("Diagnostics-leading_blanks.ser"));
  for (int family = 1; family <= kFamilyCount; ++family) {
    QVERIFY(f.window.FamilyOption(family)->isEnabled());
  }
  QVERIFY(f.window.FamilyOption(kGamma)->isChecked());
  QChart* timeSeries = f.window.Chart(frmSeriesPlots::kTimeSeriesChart);
  QCOMPARE(timeSeries->title(), QStringLiteral("Time Series of Gamma"));
  QCOMPARE(Axis(timeSeries, Qt::Horizontal)->titleText(), QStringLiteral("Iteration"));
  QCOMPARE(Points(timeSeries, "Time Series"),
           QList<QPointF>({{1, 0.5}, {2, 1.5}, {3, 2.5}, {4, 3.5}, {5, 4.5}, {6, 5.5}}));

  // One class: no gamma or little rho; delta comes first. Choosing an option redraws.
  const QString path = TempPath("statuses.ser");
  QVERIFY(WriteSeriesFile(path, 2, 4, 1, 2, [](int t, int f) { return f * t % 3; }));
  QVERIFY(f.window.OpenSeriesFile(path));
  QVERIFY(!f.window.FamilyOption(kGamma)->isEnabled());
  QVERIFY(!f.window.FamilyOption(kLittleRho)->isEnabled());
  QVERIFY(f.window.FamilyOption(kDelta)->isChecked());
  QCOMPARE(timeSeries->title(), QStringLiteral("Time Series of Delta"));
  QVERIFY(!f.window.DisplaySeries(kGamma));
  f.window.FamilyOption(kBigRho)->click();
  QCOMPARE(f.window.CurrentFamily(), int(kBigRho));
  QCOMPARE(timeSeries->title(), QStringLiteral("Time Series of Big Rho"));
  QVERIFY(f.messages.Messages().empty());
}

void SeriesPlotsTest::plotsTheAutocorrelationWithItsBand() {
  // Tau runs 1..5 over the first k = 5 iterations, then anything: the window is 1..k. By hand
  // (as in the reading test): r = 1, .4, -.1, -.4, -.4, 0; half-widths 1.96 sqrt(s / 5) with
  // s = 1, 1, 1.32, 1.34, 1.66, 1.98, the widest 1.2334 beyond the axis' usual +-1.
  Fixture f;
  const QString path = TempPath("short.ser");
  QVERIFY(WriteSeriesFile(path, 2, 5, 1, 2, [](int t, int f) {
    return f == 2 ? (t <= 5 ? t : 100.0 * (t % 2) - 40.0) : std::cos(t);
  }));
  QVERIFY(f.window.OpenSeriesFile(path));
  QVERIFY(f.window.DisplaySeries(kTau));
  QChart* acf = f.window.Chart(frmSeriesPlots::kAcfChart);
  QCOMPARE(acf->title(), QStringLiteral("ACF of Tau"));
  QStringList names;
  for (QAbstractSeries* series : acf->series()) names << series->name();
  names.sort();
  QCOMPARE(names, QStringList({"95% CI", "ACF", "Zero"}));

  const QList<QPointF> r = Points(acf, "ACF");
  const double expectedR[] = {1.0, 0.4, -0.1, -0.4, -0.4, 0.0};
  const double sums[] = {1.0, 1.0, 1.32, 1.34, 1.66, 1.98};
  auto* band = qobject_cast<QAreaSeries*>(SeriesNamed(acf, "95% CI"));
  QVERIFY(band != nullptr);
  const QList<QPointF> upper = band->upperSeries()->points();
  const QList<QPointF> lower = band->lowerSeries()->points();
  QCOMPARE(r.size(), 6);
  QCOMPARE(upper.size(), 6);
  for (int h = 0; h < 6; ++h) {
    QCOMPARE(r[h].x(), double(h));
    QVERIFY(std::abs(r[h].y() - expectedR[h]) < 1e-5);
    const double width = 1.96 * std::sqrt(sums[h] / 5.0);
    QVERIFY2(std::abs(upper[h].y() - width) < 1e-5, qPrintable(QStringLiteral("lag %1").arg(h)));
    QVERIFY(std::abs(lower[h].y() + width) < 1e-5);
  }
  QCOMPARE(Points(acf, "Zero"), QList<QPointF>({{0, 0}, {5, 0}}));
  QCOMPARE(Axis(acf, Qt::Horizontal)->titleText(), QStringLiteral("Lag"));
  QVERIFY(std::abs(Axis(acf, Qt::Vertical)->max() - 1.96 * std::sqrt(1.98 / 5.0)) < 1e-9);
  QVERIFY(std::abs(Axis(acf, Qt::Vertical)->min() + 1.96 * std::sqrt(1.98 / 5.0)) < 1e-9);
}

void SeriesPlotsTest::showsAtMostLagsAndIterations_data() {
  QTest::addColumn<int>("imputations");
  QTest::addColumn<int>("between");
  QTest::addColumn<int>("lags");
  QTest::addColumn<int>("points");
  QTest::addColumn<int>("step");
  QTest::addColumn<QString>("title");
  QTest::newRow("k = 40") << 3 << 40 << 40 << 120 << 1 << "Time Series of Big Rho";
  QTest::newRow("k = 250") << 2 << 250 << 100 << 500 << 1 << "Time Series of Big Rho";
  QTest::newRow("10000 iterations, all drawn")
      << 1 << 10000 << 100 << 10000 << 1 << "Time Series of Big Rho";
  // ceil(20000 / 10000) = 2: iterations 1, 3, ..., 19999.
  QTest::newRow("20000 iterations, every 2nd")
      << 2 << 10000 << 100 << 10000 << 2
      << "Time Series of Big Rho (every 2nd of 20000 iterations)";
  // ceil(30003 / 10000) = 4: iterations 1, 5, ..., 30001, that is 7501 of them.
  QTest::newRow("30003 iterations, every 4th")
      << 3 << 10001 << 100 << 7501 << 4
      << "Time Series of Big Rho (every 4th of 30003 iterations)";
}

void SeriesPlotsTest::showsAtMostLagsAndIterations() {
  QFETCH(int, imputations);
  QFETCH(int, between);
  QFETCH(int, lags);
  QFETCH(int, points);
  QFETCH(int, step);
  QFETCH(QString, title);
  const int iterations = imputations * between;
  // Big rho is an AR(1) series with coefficient 0.5, so its autocorrelation is 0.5^h; the
  // sampling error of r_h over k = 10000 values is about 0.013.
  const std::vector<double> ar1 = Ar1Series(imputations * between, 777u);
  const QString path = TempPath("ar1.ser");
  QVERIFY(WriteSeriesFile(path, imputations, between, 1, 3,
                          [&](int t, int f) { return f == 4 ? ar1[t - 1] : std::sin(t * f); }));
  Fixture f;
  QVERIFY(f.window.OpenSeriesFile(path));
  QVERIFY(f.window.DisplaySeries(kBigRho));
  const QList<QPointF> r = Points(f.window.Chart(frmSeriesPlots::kAcfChart), "ACF");
  QCOMPARE(r.size(), lags + 1);
  QCOMPARE(r.last().x(), double(lags));
  // Every iteration of the chain is on the axis, every step-th drawn, and the title says so.
  QChart* timeSeries = f.window.Chart(frmSeriesPlots::kTimeSeriesChart);
  const QList<QPointF> trace = Points(timeSeries, "Time Series");
  QCOMPARE(trace.size(), points);
  QCOMPARE(trace[1].x(), double(1 + step));
  QCOMPARE(trace.last().x(), double(1 + (points - 1) * step));
  QCOMPARE(Axis(timeSeries, Qt::Horizontal)->max(), double(iterations));
  QCOMPARE(timeSeries->title(), title);
  if (between == 10000) {
    for (int h = 1; h <= 5; ++h) QVERIFY(std::abs(r[h].y() - std::pow(0.5, h)) < 0.05);
  }
}

void SeriesPlotsTest::constantFamilyShowsItsMessage() {
  Fixture f;
  QVERIFY(f.window.OpenSeriesFile(DataPath("leading_blanks.ser")));
  f.window.FamilyOption(kLittleRho)->click();
  QCOMPARE(f.messages.Messages().size(), std::size_t{1});
  const gui::Message& message = f.messages.Messages().front();
  QCOMPARE(message.title, QStringLiteral("Parameter Series"));
  QCOMPARE(message.text,
           QStringLiteral("All values in the series for parameter Little Rho are zero.\n"
                          "This indicates that no imputation was performed on this variable,\n"
                          "possibly due to parameter restrictions."));
  QVERIFY(f.window.Chart(frmSeriesPlots::kAcfChart)->series().isEmpty());
  QCOMPARE(Points(f.window.Chart(frmSeriesPlots::kTimeSeriesChart), "Time Series").size(), 6);
}

void SeriesPlotsTest::failedOrCancelledOpenLeavesTheWindowEmpty() {
  Fixture f;
  QAction* open = f.window.findChild<QAction*>("mnuOpen");
  f.dialogs.paths << DataPath("leading_blanks.ser") << DataPath("not_a_number.ser");
  open->trigger();
  QCOMPARE(f.dialogs.filters, QStringList({"Parameter Series (*.ser)"}));
  QVERIFY(f.window.Series().bValidData());

  open->trigger();
  QCOMPARE(f.messages.Messages().size(), std::size_t{1});
  QCOMPARE(f.messages.Messages().front().title, QStringLiteral("Unexpected Error"));
  QVERIFY(f.messages.Messages().front().text.startsWith(
      QStringLiteral("Series information missing or corrupt: \n")));
  QCOMPARE(f.window.windowTitle(), QStringLiteral("Diagnostics"));
  QVERIFY(!f.window.FamilyOption(kGamma)->isEnabled());
  QVERIFY(!f.window.FamilyOption(kGamma)->isChecked());
  QVERIFY(f.window.Chart(frmSeriesPlots::kTimeSeriesChart)->series().isEmpty());
  QVERIFY(f.window.Chart(frmSeriesPlots::kAcfChart)->series().isEmpty());
  QVERIFY(!f.window.findChild<QAction*>("mnuPrintTimeSeries")->isEnabled());

  // Cancelling the question reads nothing and says nothing.
  QVERIFY(!f.window.OpenSeriesFile());
  QCOMPARE(f.dialogs.filters.size(), 3);
  QCOMPARE(f.messages.Messages().size(), std::size_t{1});

  // A series cut short by an abort is plotted as far as it goes, with a word that is no error.
  QVERIFY(f.window.OpenSeriesFile(DataPath("cut_short.ser")));
  QCOMPARE(f.messages.Messages().size(), std::size_t{2});
  QCOMPARE(f.messages.Messages().back().icon, kov::gui::MessageIcon::kInformation);
  QVERIFY(f.messages.Messages().back().text.contains(QStringLiteral("4 of 6 iteration rows read")));
  QCOMPARE(Points(f.window.Chart(frmSeriesPlots::kTimeSeriesChart), "Time Series").size(), 4);
}

void SeriesPlotsTest::zoomKeepsSeveralTicksAndRefinesTheTrace_data() {
  QTest::addColumn<double>("min");
  QTest::addColumn<double>("max");
  QTest::addColumn<int>("points");
  // 30000 iterations are drawn every 3rd; a zoom draws every iteration it has room for, from
  // the iteration at or before its left edge to the one at or after its right edge.
  QTest::newRow("whole chain") << 1.0 << 30000.0 << 10000;
  QTest::newRow("a hundred iterations") << 4000.0 << 4100.0 << 101;
  QTest::newRow("a few iterations") << 4000.4 << 4003.6 << 5;
  QTest::newRow("half the chain") << 12000.5 << 27000.5 << 7501;
  QTest::newRow("near the start") << 1.0 << 40.2 << 41;
}

void SeriesPlotsTest::zoomKeepsSeveralTicksAndRefinesTheTrace() {
  QFETCH(double, min);
  QFETCH(double, max);
  QFETCH(int, points);
  const QString path = TempPath("long.ser");
  QVERIFY(WriteSeriesFile(path, 2, 15000, 2, 2, [](int t, int f) { return std::sin(0.01 * t + f); }));
  Fixture f;
  QVERIFY(f.window.OpenSeriesFile(path));
  QChart* chart = f.window.Chart(frmSeriesPlots::kTimeSeriesChart);
  QValueAxis* iterations = Axis(chart, Qt::Horizontal);
  iterations->setRange(min, max);
  // Ticks fall on multiples of the interval (anchored at 0) inside the range.
  const double step = iterations->tickInterval();
  const int ticks = int(std::floor(max / step) - std::ceil(min / step)) + 1;
  QVERIFY2(ticks >= 3 && ticks <= 10, qPrintable(QStringLiteral("%1 ticks").arg(ticks)));
  QVERIFY(step >= 1.0);
  QCOMPARE(Points(chart, "Time Series").size(), points);
}

void SeriesPlotsTest::zoomChoosesTheWindowAndRightClickResetsBoth_data() {
  QTest::addColumn<int>("clicked");
  QTest::newRow("time series") << int(frmSeriesPlots::kTimeSeriesChart);
  QTest::newRow("autocorrelation") << int(frmSeriesPlots::kAcfChart);
}

void SeriesPlotsTest::zoomChoosesTheWindowAndRightClickResetsBoth() {
  QFETCH(int, clicked);
  Fixture f;
  const QString path = TempPath("zoom.ser");
  QVERIFY(WriteSeriesFile(path, 2, 50, 2, 2, [](int t, int f) { return std::sin(0.3 * t + f); }));
  QVERIFY(f.window.OpenSeriesFile(path));
  QValueAxis* iterations = Axis(f.window.Chart(frmSeriesPlots::kTimeSeriesChart), Qt::Horizontal);
  // What a rubber band across iterations 19.6 to 60.2 does to the axis.
  iterations->setRange(19.6, 60.2);
  QCOMPARE(f.window.Ranges().acfFirst, 20);
  QCOMPARE(f.window.Ranges().acfLast, 60);

  // Either chart goes back to the first scaling of both: all 100 iterations, the
  // autocorrelation of the first interval.
  QTest::mousePress(
      f.window.ChartView(static_cast<frmSeriesPlots::ChartIndex>(clicked))->viewport(),
      Qt::RightButton);
  QCOMPARE(iterations->min(), 1.0);
  QCOMPARE(iterations->max(), 100.0);
  QCOMPARE(f.window.Ranges().acfFirst, 1);
  QCOMPARE(f.window.Ranges().acfLast, 50);
  QCOMPARE(Points(f.window.Chart(frmSeriesPlots::kAcfChart), "ACF").size(), 51);
  QCOMPARE(Points(f.window.Chart(frmSeriesPlots::kTimeSeriesChart), "Time Series").size(), 100);
  QVERIFY(f.messages.Messages().empty());
}

void SeriesPlotsTest::printsChartsToPdfFiles() {
  Fixture f;
  f.window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f.window));
  QVERIFY(f.window.OpenSeriesFile(DataPath("leading_blanks.ser")));
  QChart* acf = f.window.Chart(frmSeriesPlots::kAcfChart);
  const QBrush screen = acf->backgroundBrush();
  const bool shadow = acf->isDropShadowEnabled();

  for (const auto index : {frmSeriesPlots::kTimeSeriesChart, frmSeriesPlots::kAcfChart}) {
    const QString pdf = TempPath(QStringLiteral("chart%1.pdf").arg(index));
    PdfFileSetup setup(pdf);
    f.window.SetPrinterSetup(&setup);
    QVERIFY(f.window.PrintChart(index));
    QFile file(pdf);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.size() > 1000);
    QVERIFY(file.read(5) == "%PDF-");
  }
  QCOMPARE(acf->backgroundBrush(), screen);
  QCOMPARE(acf->isDropShadowEnabled(), shadow);
  QVERIFY(f.messages.Messages().empty());

  // A PDF file in a folder that does not exist cannot be drawn on.
  PdfFileSetup nowhere(TempPath("no/such/folder/chart.pdf"));
  f.window.SetPrinterSetup(&nowhere);
  QVERIFY(!f.window.PrintChart(frmSeriesPlots::kAcfChart));
  QCOMPARE(f.messages.Texts(), QStringList({"Print failed"}));
  QCOMPARE(acf->backgroundBrush(), screen);
  f.window.SetPrinterSetup(nullptr);
}

void SeriesPlotsTest::printedPageNamesTheFileAndTheDate() {
  Fixture f;
  QVERIFY(f.window.OpenSeriesFile(DataPath("leading_blanks.ser")));
  const QDateTime printedAt(QDate(2024, 3, 5), QTime(14, 7));
  for (const auto index : {frmSeriesPlots::kTimeSeriesChart, frmSeriesPlots::kAcfChart}) {
    QPicture page;
    QPainter painter(&page);
    f.window.PaintChartPage(index, painter, QRectF(0, 0, 1100, 850), printedAt);
    painter.end();
    // A picture keeps the text it was given, as QDataStream writes a QString (UTF-16).
    const QByteArray recorded(page.data(), page.size());
    const auto holds = [&recorded](const QString& text) {
      QByteArray bytes;
      QDataStream stream(&bytes, QIODevice::WriteOnly);
      stream << text;
      return recorded.contains(bytes.mid(4));
    };
    QVERIFY(holds(QDir::toNativeSeparators(DataPath("leading_blanks.ser"))));
    QVERIFY(holds(QStringLiteral("2024-03-05 14:07")));
    QVERIFY(holds(f.window.Chart(index)->title()));
  }
}

void SeriesPlotsTest::exportsChartsAndTheSeries_data() {
  QTest::addColumn<QString>("action");
  QTest::addColumn<QString>("answer");   // the path typed in the save question
  QTest::addColumn<QString>("written");  // the file that must then exist
  QTest::addColumn<QByteArray>("starts");
  QTest::newRow("time series as PNG")
      << "mnuExportTimeSeries" << "trace.png" << "trace.png" << QByteArray("\x89PNG");
  QTest::newRow("no suffix is PNG")
      << "mnuExportTimeSeries" << "trace" << "trace.png" << QByteArray("\x89PNG");
  QTest::newRow("ACF as SVG") << "mnuExportACF" << "acf.SVG" << "acf.SVG" << QByteArray("<?xml");
  // Gamma of leading_blanks.ser runs 0.5, 1.5, ..., 5.5 over its 6 iterations.
  QTest::newRow("series as CSV")
      << "mnuExportCSV" << "gamma" << "gamma.csv"
      << QByteArray("Iteration,Gamma\n1,0.5\n2,1.5\n3,2.5\n4,3.5\n5,4.5\n6,5.5\n");
}

void SeriesPlotsTest::exportsChartsAndTheSeries() {
  QFETCH(QString, action);
  QFETCH(QString, answer);
  QFETCH(QString, written);
  QFETCH(QByteArray, starts);
  Fixture f;
  QAction* menu = f.window.findChild<QAction*>(action);
  QVERIFY(menu != nullptr);
  QVERIFY(!menu->isEnabled());
  QVERIFY(f.window.OpenSeriesFile(DataPath("leading_blanks.ser")));
  QVERIFY(menu->isEnabled());

  QTemporaryDir dir;
  f.dialogs.savePaths << dir.filePath(answer);
  menu->trigger();
  QFile file(dir.filePath(written));
  QVERIFY(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  QVERIFY2(bytes.startsWith(starts), bytes.left(40).constData());
  if (written.endsWith(QStringLiteral(".png"))) {
    QCOMPARE(QImage::fromData(bytes).size(), QSize(2000, 1250));
  } else if (written.endsWith(QStringLiteral(".SVG"))) {
    QVERIFY(bytes.contains("<svg"));
    QVERIFY(bytes.contains("ACF of Gamma"));
  }
  QVERIFY(f.messages.Messages().empty());

  // Cancelling writes nothing; a folder that does not exist is said so.
  menu->trigger();
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
  f.dialogs.savePaths << dir.filePath(QStringLiteral("no/such/folder/") + answer);
  menu->trigger();
  QCOMPARE(f.messages.Messages().size(), std::size_t{1});
  QCOMPARE(f.messages.Messages().front().icon, gui::MessageIcon::kCritical);
  QVERIFY(f.messages.Messages().front().text.startsWith(
      QStringLiteral("Unable to write file:\n") +
      QDir::toNativeSeparators(dir.filePath(QStringLiteral("no/such/folder/")))));
}

void SeriesPlotsTest::openFromItsMenuComesToTheFront() {
  Fixture f;
  QWidget editor;
  f.window.show();
  editor.show();
  editor.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&editor));
  f.dialogs.paths << DataPath("leading_blanks.ser");
  f.window.findChild<QAction*>("mnuOpen")->trigger();
  QVERIFY(QTest::qWaitForWindowActive(&f.window));
  QCOMPARE(QApplication::activeWindow(), &f.window);
}

void SeriesPlotsTest::fitsTheScreenItOpensOn_data() {
  QTest::addColumn<QRect>("available");
  QTest::addColumn<QSize>("fitted");
  // Nine tenths of the screen at most: a 1000-pixel-high screen at 1.5 scaling offers 667
  // pixels (less a panel), and 0.9 x 640 = 576.
  QTest::newRow("1000 pixels at 1.5") << QRect(0, 27, 1280, 640) << QSize(900, 576);
  QTest::newRow("small laptop") << QRect(0, 0, 800, 600) << QSize(720, 540);
  QTest::newRow("full HD") << QRect(0, 0, 1920, 1050) << QSize(900, 700);
}

void SeriesPlotsTest::fitsTheScreenItOpensOn() {
  QFETCH(QRect, available);
  QFETCH(QSize, fitted);
  QCOMPARE(frmSeriesPlots::FittedSize(QSize(900, 700), available), fitted);
  // The offscreen screen is 800 x 600, smaller than the window would like to be.
  Fixture f;
  const QRect screen = f.window.screen()->availableGeometry();
  QVERIFY(f.window.width() <= screen.width() && f.window.height() <= screen.height());
}

void SeriesPlotsTest::rendersOffscreen() {
  Fixture f;
  f.window.resize(1200, 600);
  f.window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f.window));
  QVERIFY(f.window.OpenSeriesFile(DataPath("leading_blanks.ser")));
  // A wide window puts the charts side by side.
  QVERIFY(f.window.ChartView(frmSeriesPlots::kAcfChart)->x() >
          f.window.ChartView(frmSeriesPlots::kTimeSeriesChart)->x());

  const QString png = TempPath("viewer.png");
  QVERIFY(f.window.grab().save(png, "PNG"));
  QVERIFY(QFileInfo(png).size() > 0);
  const QImage image(png);
  QCOMPARE(image.size(), f.window.size() * f.window.devicePixelRatio());
  // Something was drawn: not a single colour.
  const QRgb corner = image.pixel(0, 0);
  bool drawn = false;
  for (int y = 0; y < image.height() && !drawn; y += 7) {
    for (int x = 0; x < image.width() && !drawn; x += 7) drawn = image.pixel(x, y) != corner;
  }
  QVERIFY(drawn);
}

}  // namespace kov::series::test

QTEST_MAIN(kov::series::test::SeriesPlotsTest)
#include "series_plots_test.moc"
