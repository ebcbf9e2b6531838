// Reading a parameter series file (the engine's layout, its quirks and every failure message)
// and the autocorrelation with its Bartlett band, without a window.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cmath>

#include "series/autocorrelation.h"
#include "series/parameter_series.h"
#include "series_files.h"

namespace kov::series::test {

class ParameterSeriesTest : public QObject {
  Q_OBJECT

 private slots:
  void readsTheEngineLayoutAfterLeadingBlankLines();
  void failedReadsShowTheirMessage_data();
  void failedReadsShowTheirMessage();
  void engineWrittenFileReadsBack();
  void autocorrelationOfAShortSeriesByHand();
  void autocorrelationOfAnAr1Series();
  void constantWindowHasNoAutocorrelation();

 private:
  QTemporaryDir m_dir;
};

void ParameterSeriesTest::readsTheEngineLayoutAfterLeadingBlankLines() {
  // Four blank lines (empty, blanks, a tab) with Windows line ends before the header.
  ParameterSeries series;
  QSignalSpy changed(&series, &ParameterSeries::DataChanged);
  const QString path = DataPath(QStringLiteral("leading_blanks.ser"));
  QVERIFY(series.OpenSeries(path));
  QCOMPARE(changed.count(), 1);
  QVERIFY(series.bValidData());
  QVERIFY(series.LastFailure().IsEmpty());
  QCOMPARE(series.sFilename(), path);
  QCOMPARE(series.lNumberOfSeries(), 2);
  QCOMPARE(series.lKthIterationSaved(), 3);
  QCOMPARE(series.lNumberOfIterations(), 6);
  QCOMPARE(series.lNumberOfVariables(), 5);
  QCOMPARE(series.lClasses(), 2);
  QCOMPARE(series.lStatuses(), 3);
  QVERIFY(series.bHasClasses() && series.bHasStatuses());
  QCOMPARE(ParameterSeries::varVariableNames(),
           QStringList({"Gamma", "Delta", "Tau", "Little Rho", "Big Rho"}));
  // The fixture's rows, read off the file.
  QCOMPARE(series.varParameterData(1, kGamma), 0.5);
  QCOMPARE(series.varParameterData(3, kDelta), -3.0);
  QCOMPARE(series.varParameterData(4, kTau), 3.0);
  QCOMPARE(series.varParameterData(5, kLittleRho), 0.0);
  QCOMPARE(series.varParameterData(6, kBigRho), -999.12345);
  QCOMPARE(series.FamilyValues(kBigRho).size(), std::size_t{6});
}

void ParameterSeriesTest::failedReadsShowTheirMessage_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("text");
  const QString incomplete = QStringLiteral(
      "Series data file \"%1\"\nis incomplete or corrupt.  Cannot display series data.");
  const QString corrupt = QStringLiteral("Series information missing or corrupt: \n");
  QTest::newRow("only blank lines") << "blank.ser" << incomplete;
  QTest::newRow("no names line") << "header_only.ser" << incomplete;
  // Header 2 x 3: six rows are due.
  QTest::newRow("no rows") << "names_only.ser"
                           << corrupt + "-1 - Input past end of file: 0 of 6 iteration rows";
  QTest::newRow("asterisks") << "not_a_number.ser"
                             << corrupt + "5001 - Line 6: \"**********\" is not a number";
  QTest::newRow("bad header") << "bad_header.ser"
                              << corrupt +
                                     "5001 - The header (line 1) does not hold four whole numbers";
  QTest::newRow("no file") << "no_such_file.ser"
                           << "Unexpected error reading file: \n%1\n2 - " + qt_error_string(ENOENT);
}

void ParameterSeriesTest::failedReadsShowTheirMessage() {
  QFETCH(QString, name);
  QFETCH(QString, text);
  ParameterSeries series;
  QVERIFY(series.OpenSeries(DataPath(QStringLiteral("leading_blanks.ser"))));
  QSignalSpy changed(&series, &ParameterSeries::DataChanged);
  const QString path = DataPath(name);
  QVERIFY(!series.OpenSeries(path));
  QCOMPARE(series.LastFailure().title, QStringLiteral("Unexpected Error"));
  QCOMPARE(series.LastFailure().text, text.contains("%1") ? text.arg(path) : text);
  // The series read before is gone, and nobody is told of a change.
  QVERIFY(!series.bValidData());
  QCOMPARE(series.lNumberOfIterations(), 0);
  QVERIFY(series.FamilyValues(kGamma).empty());
  QVERIFY(!series.bSetTimeSeriesInfo());
  QCOMPARE(changed.count(), 0);
}

void ParameterSeriesTest::engineWrittenFileReadsBack() {
  // A model with statuses only: the engine writes 0 in the gamma and little rho columns.
  const QString path = m_dir.filePath(QStringLiteral("engine.ser"));
  const auto value = [](int t, int f) {
    return f == 0 || f == 3 ? 0.0 : (f + 1) * 1.25 * t - 7.0 / t;
  };
  QVERIFY(WriteSeriesFile(path, 2, 3, 1, 3, value));
  ParameterSeries series;
  QVERIFY2(series.OpenSeries(path), qPrintable(series.LastFailure().text));
  QCOMPARE(series.lNumberOfIterations(), 6);
  QVERIFY(!series.bHasClasses());
  QVERIFY(series.bHasStatuses());
  QVERIFY(!series.FamilyExists(kGamma) && !series.FamilyExists(kLittleRho));
  QVERIFY(series.FamilyExists(kDelta) && series.FamilyExists(kTau) && series.FamilyExists(kBigRho));
  for (int t = 1; t <= 6; ++t) {
    for (int f = 1; f <= 5; ++f) {
      // Five decimals in the file.
      QVERIFY(std::abs(series.varParameterData(t, f) - value(t, f - 1)) <= 5e-6);
    }
  }

  // An aborted run stops after its last completed iteration: the rows there are are read, and
  // the notice says how many (cut_short.ser holds 4 of its 6, the file written here 2 of 6).
  struct Cut {
    QString path;
    int rows;
  };
  QVERIFY(WriteSeriesFile(path, 2, 3, 1, 3, value, 2));
  for (const Cut& cut : {Cut{path, 2}, Cut{DataPath(QStringLiteral("cut_short.ser")), 4}}) {
    QVERIFY2(series.OpenSeries(cut.path), qPrintable(series.LastFailure().text));
    QVERIFY(series.LastFailure().IsEmpty());
    QCOMPARE(series.lNumberOfIterations(), cut.rows);
    QCOMPARE(series.FamilyValues(kBigRho).size(), std::size_t(cut.rows));
    QCOMPARE(series.Notice(), QStringLiteral("The series file ends early: %1 of 6 iteration rows "
                                             "read; the run ended early (it was aborted or failed).")
                                  .arg(cut.rows));
    // Imputations 3 iterations apart: the autocorrelation window is never longer than the rows.
    QCOMPARE(series.Ranges().acfLast, std::min(3, cut.rows));
    QCOMPARE(series.Ranges().timeSeriesLast, cut.rows);
  }
  QVERIFY(series.OpenSeries(DataPath(QStringLiteral("leading_blanks.ser"))));
  QVERIFY(series.Notice().isEmpty());
}

void ParameterSeriesTest::autocorrelationOfAShortSeriesByHand() {
  // x = 1..5: deviations -2 -1 0 1 2, S0 = 10; c1 = 2+0+0+2 = 4, c2 = 0-1+0 = -1,
  // c3 = -2-2 = -4, c4 = -4, c5 = 0 (no pairs). Half-widths 1.96 sqrt((1 + 2 sum r^2) / 5), i.e.
  // 1.96 sqrt(s / 5) with s = 1 at lags 0 and 1, then 1.32, 1.34, 1.66 and 1.98 at lags 2 to 5.
  const std::vector<double> x = {9.0, 1.0, 2.0, 3.0, 4.0, 5.0, -9.0};
  const Autocorrelation acf = ComputeAutocorrelation(x, 1, 5, 5);
  QVERIFY(acf.varies);
  const std::vector<double> r = {1.0, 0.4, -0.1, -0.4, -0.4, 0.0};
  const std::vector<double> sums = {1.0, 1.0, 1.32, 1.34, 1.66, 1.98};
  QCOMPARE(acf.r.size(), r.size());
  for (std::size_t h = 0; h < r.size(); ++h) {
    QVERIFY(std::abs(acf.r[h] - r[h]) < 1e-12);
    QVERIFY(std::abs(acf.halfWidth[h] - 1.96 * std::sqrt(sums[h] / 5.0)) < 1e-12);
  }
}

void ParameterSeriesTest::autocorrelationOfAnAr1Series() {
  // The sampling error of r_h is about sqrt(1.25 / 0.75 / 20000) = 0.009 here.
  const std::vector<double> x = Ar1Series(20000, 20240517u);
  const Autocorrelation acf = ComputeAutocorrelation(x, 0, 19999, 100);
  QVERIFY(acf.varies);
  QCOMPARE(acf.r.size(), std::size_t{101});
  for (int h = 1; h <= 5; ++h) {
    QVERIFY2(std::abs(acf.r[h] - std::pow(0.5, h)) < 0.05,
             qPrintable(QStringLiteral("lag %1: %2").arg(h).arg(acf.r[h])));
  }
  QVERIFY(std::abs(acf.halfWidth[1] - 1.96 / std::sqrt(20000.0)) < 1e-12);
  QCOMPARE(acf.halfWidth[0], acf.halfWidth[1]);
  // The band widens with the correlations below the lag: 1 + 2 (0.25 + 0.0625 + ...) = 5/3.
  QVERIFY(std::abs(acf.halfWidth[100] / acf.halfWidth[1] - std::sqrt(5.0 / 3.0)) < 0.05);
}

void ParameterSeriesTest::constantWindowHasNoAutocorrelation() {
  QVERIFY(!ComputeAutocorrelation(std::vector<double>(50, 0.0), 0, 49, 10).varies);
  QVERIFY(!ComputeAutocorrelation(std::vector<double>(50, 7.0), 0, 49, 10).varies);
  // Only the window counts.
  std::vector<double> x(50, 3.0);
  x[40] = 4.0;
  QVERIFY(!ComputeAutocorrelation(x, 0, 39, 10).varies);
  QVERIFY(ComputeAutocorrelation(x, 0, 40, 10).varies);
}

}  // namespace kov::series::test

QTEST_GUILESS_MAIN(kov::series::test::ParameterSeriesTest)
#include "parameter_series_test.moc"
