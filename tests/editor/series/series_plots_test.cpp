// The series viewer window offscreen: the families it offers, both plots, the constant-series
// message, right-click redraw, printing to PDF files and a screenshot. Messages, the file
// question and the printer are answered through the window's seams.
#include <QAction>
#include <QFile>
#include <QImage>
#include <QPrinter>
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
  QString AskSavePath(const QString&, const QString&) override { return {}; }
  QStringList paths;  // none left means Cancel
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
  void zoomChoosesTheWindowAndRightClickRedraws();
  void printsChartsToPdfFiles();
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
  QTest::addColumn<int>("iterations");
  QTest::newRow("k = 40") << 3 << 40 << 40 << 120;
  QTest::newRow("k = 250") << 2 << 250 << 100 << 500;
  QTest::newRow("20000 iterations") << 2 << 10000 << 100 << 10000;
}

void SeriesPlotsTest::showsAtMostLagsAndIterations() {
  QFETCH(int, imputations);
  QFETCH(int, between);
  QFETCH(int, lags);
  QFETCH(int, iterations);
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
  QChart* timeSeries = f.window.Chart(frmSeriesPlots::kTimeSeriesChart);
  QCOMPARE(Points(timeSeries, "Time Series").size(), iterations);
  QCOMPARE(Axis(timeSeries, Qt::Horizontal)->max(), double(iterations));
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

void SeriesPlotsTest::zoomChoosesTheWindowAndRightClickRedraws() {
  Fixture f;
  const QString path = TempPath("zoom.ser");
  QVERIFY(WriteSeriesFile(path, 2, 50, 2, 2, [](int t, int f) { return std::sin(0.3 * t + f); }));
  QVERIFY(f.window.OpenSeriesFile(path));
  QValueAxis* iterations = Axis(f.window.Chart(frmSeriesPlots::kTimeSeriesChart), Qt::Horizontal);
  // What a rubber band across iterations 19.6 to 60.2 does to the axis.
  iterations->setRange(19.6, 60.2);
  QCOMPARE(f.window.Ranges().acfFirst, 20);
  QCOMPARE(f.window.Ranges().acfLast, 60);

  QTest::mousePress(f.window.ChartView(frmSeriesPlots::kTimeSeriesChart)->viewport(),
                    Qt::RightButton);
  QCOMPARE(iterations->min(), 1.0);
  QCOMPARE(iterations->max(), 100.0);
  QCOMPARE(f.window.Ranges().acfFirst, 20);

  QTest::mousePress(f.window.ChartView(frmSeriesPlots::kAcfChart)->viewport(), Qt::RightButton);
  QCOMPARE(f.window.Ranges().acfFirst, 1);
  QCOMPARE(f.window.Ranges().acfLast, 50);
  QCOMPARE(Points(f.window.Chart(frmSeriesPlots::kAcfChart), "ACF").size(), 51);
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
