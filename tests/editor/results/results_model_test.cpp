// Reading results files without a window: the tables of each shape with their errors or
// intervals, prevalences carried through the transitions, warnings, missing keys and nulls,
// comparisons in both layouts, and CSV as RFC 4180 has it.
#include <QAbstractItemModelTester>
#include <QtTest>

#include "results/results_model.h"
#include "results/results_table_model.h"
#include "results_fixtures.h"

namespace kov::results::test {

class ResultsModelTest : public QObject {
  Q_OBJECT

 private slots:
  void tablesOfEachShape_data();
  void tablesOfEachShape();
  void prevalencesFollowTheTransitions();
  void summaryWarningsAndNulls_data();
  void summaryWarningsAndNulls();
  void refusesWhatIsNoResultsFile_data();
  void refusesWhatIsNoResultsFile();
  void comparisonInBothLayouts_data();
  void comparisonInBothLayouts();
  void csvQuoting_data();
  void csvQuoting();
  void gridExportsFullNumbers();
};

namespace {

Results Parsed(const QByteArray& json) {
  Results results;
  QString error;
  if (!results.Parse(json, &error)) qFatal("fixture not read: %s", qPrintable(error));
  return results;
}

}  // namespace

void ResultsModelTest::tablesOfEachShape_data() {
  QTest::addColumn<QByteArray>("json");
  QTest::addColumn<QStringList>("keys");
  QTest::addColumn<QString>("key");
  QTest::addColumn<int>("rows");
  QTest::addColumn<int>("columns");
  QTest::addColumn<int>("row");
  QTest::addColumn<QString>("rowLabel");
  // The cell at (row, column 1): estimate, then the second and third grid columns beside it.
  QTest::addColumn<double>("estimate");
  QTest::addColumn<QStringList>("headers");
  QTest::addColumn<QStringList>("extras");

  QTest::newRow("class prevalences as one row")
      << kClassOnlyEm << QStringList{"gamma", "little_rho"} << "gamma" << 1 << 2 << 0 << "Estimate"
      << 0.75 << QStringList{"Class 2", "Class 2 SE"} << QStringList{"0.0125", ""};
  QTest::newRow("class items, a fixed row without errors")
      << kClassOnlyEm << QStringList{"gamma", "little_rho"} << "little_rho" << 4 << 2 << 1
      << "Class 1, Item 2" << 0.2 << QStringList{"Category 2", "Category 2 SE"} << QStringList{""};
  QByteArray named = kClassOnlyEm;
  named.replace(
      R"("run_type")",
      R"("labels": {"classes": ["Univ", "Partic"], "class_items": ["Item1", "Role"]}, "run_type")");
  QTest::newRow("names from the control file")
      << named << QStringList{"gamma", "little_rho"} << "little_rho" << 4 << 2 << 1 << "Univ, Role"
      << 0.2 << QStringList{"Category 2", "Category 2 SE"} << QStringList{""};
  QTest::newRow("later transition rows named apart")
      << kStatusesEm << QStringList{"delta", "tau", "big_rho"} << "tau" << 8 << 2 << 6
      << "Class 2, Transition 2, from status 1" << 0.25 << QStringList{"Status 2"} << QStringList{};
  QTest::newRow("status items by occasion and status")
      << kStatusesEm << QStringList{"delta", "tau", "big_rho"} << "big_rho" << 8 << 2 << 3
      << "Class 1, Occasion 1, Item 2, Status 2" << 0.6 << QStringList{"Category 2"}
      << QStringList{};
  QTest::newRow("intervals and missing information")
      << kStatusesDa << QStringList{"delta", "tau", "big_rho"} << "tau" << 2 << 2 << 1
      << "Class 1, From status 2" << 0.8
      << QStringList{"Status 2", "Status 2 lower", "Status 2 upper", "Status 2 FMI"}
      << QStringList{"0.7500", "0.8500", "0.5000"};
}

void ResultsModelTest::tablesOfEachShape() {
  QFETCH(QByteArray, json);
  QFETCH(QStringList, keys);
  QFETCH(QString, key);
  QFETCH(int, rows);
  QFETCH(int, columns);
  QFETCH(int, row);
  QFETCH(QString, rowLabel);
  QFETCH(double, estimate);
  QFETCH(QStringList, headers);
  QFETCH(QStringList, extras);
  const Results results = Parsed(json);
  QStringList found;
  for (const ParameterTable& table : results.Tables()) found << table.key;
  QCOMPARE(found, keys);
  const ParameterTable* table = results.Table(key);
  QVERIFY(table != nullptr);
  QCOMPARE(table->Rows(), rows);
  QCOMPARE(table->Columns(), columns);
  QCOMPARE(table->rowLabels[row], rowLabel);
  QCOMPARE(*table->At(row, 1).estimate, estimate);

  ParameterTableModel model(*table, ParameterTableModel::ExtrasFor(results, *table));
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
  const int span = static_cast<int>(headers.size());
  QCOMPARE(model.columnCount(), columns * span);
  QCOMPARE(model.headerData(row, Qt::Vertical).toString(), rowLabel);
  for (int part = 0; part < span; ++part)
    QCOMPARE(model.headerData(span + part, Qt::Horizontal).toString(), headers[part]);
  for (int part = 1; part < span; ++part) {
    const QString shown = model.data(model.index(row, span + part)).toString();
    QCOMPARE(shown.isEmpty() ? shown : QString::number(shown.toDouble(), 'f', 4),
             extras[part - 1].isEmpty() ? QString()
                                        : QString::number(extras[part - 1].toDouble(), 'f', 4));
  }
}

void ResultsModelTest::prevalencesFollowTheTransitions() {
  // Class 1: (0.6, 0.4) through ((0.9, 0.1), (0.2, 0.8)) is (0.62, 0.38); through the uniform
  // later matrix (0.5, 0.5). Class 2: (0.8, 0.2) through the identity, then through
  // ((0.75, 0.25), (0.25, 0.75)): 0.8 * 0.75 + 0.2 * 0.25 = 0.65.
  const std::vector<Matrix> prevalences = Parsed(kStatusesEm).StatusPrevalences();
  const std::vector<std::vector<std::vector<double>>> expected{
      {{0.6, 0.4}, {0.62, 0.38}, {0.5, 0.5}}, {{0.8, 0.2}, {0.8, 0.2}, {0.65, 0.35}}};
  QCOMPARE(prevalences.size(), expected.size());
  for (std::size_t c = 0; c < expected.size(); ++c) {
    QCOMPARE(prevalences[c].values.size(), expected[c].size());
    for (std::size_t t = 0; t < expected[c].size(); ++t) {
      for (std::size_t s = 0; s < 2; ++s)
        QVERIFY(qAbs(prevalences[c].values[t][s] - expected[c][t][s]) < 1e-12);
    }
  }
  const std::vector<Matrix> transitions = Parsed(kStatusesEm).TransitionMatrices();
  QCOMPARE(transitions.size(), std::size_t{4});
  QCOMPARE(transitions[3].title, QStringLiteral("Class 2, transitions 2 on"));
  QCOMPARE(transitions[3].rowLabels, (QStringList{"From status 1", "From status 2"}));
  QCOMPARE(transitions[3].values[1][1], 0.75);
  // One profile per class and status of the status items.
  QCOMPARE(Parsed(kStatusesEm).ItemProfiles().size(), std::size_t{4});
  QCOMPARE(Parsed(kClassOnlyEm).ItemProfiles().size(), std::size_t{2});
  // Items the same at both occasions: one chart per status, not one per status and occasion.
  QCOMPARE(Parsed(kStatusesDa).ItemProfiles().size(), std::size_t{2});
}

void ResultsModelTest::summaryWarningsAndNulls_data() {
  QTest::addColumn<QByteArray>("json");
  QTest::addColumn<bool>("hasAic");
  QTest::addColumn<int>("startsAtBest");
  QTest::addColumn<int>("warnings");
  QTest::addColumn<bool>("errors");
  QTest::newRow("best reached once") << kClassOnlyEm << true << 1 << 1 << true;
  QTest::newRow("not identified, errors null") << kStatusesEm << true << 0 << 1 << false;
  QTest::newRow("no fit statistics at all") << kStatusesDa << false << 0 << 0 << true;
  QTest::newRow("nulls and missing keys")
      << QByteArray(R"({"loglik": null, "AIC": null, "identified": false, "best_replicated": false,
                        "converged": false, "estimates": {"gamma": null, "delta": []}})")
      << false << 0 << 3 << false;
}

void ResultsModelTest::summaryWarningsAndNulls() {
  QFETCH(QByteArray, json);
  QFETCH(bool, hasAic);
  QFETCH(int, startsAtBest);
  QFETCH(int, warnings);
  QFETCH(bool, errors);
  const Results results = Parsed(json);
  QCOMPARE(results.Fit().aic.has_value(), hasAic);
  QCOMPARE(results.Fit().startsAtBest, startsAtBest);
  QCOMPARE(results.Warnings().size(), warnings);
  QCOMPARE(results.HasErrors(), errors);
}

void ResultsModelTest::refusesWhatIsNoResultsFile_data() {
  QTest::addColumn<QByteArray>("json");
  QTest::newRow("not JSON") << QByteArray("ITERATION LOG-LIKELIHOOD");
  QTest::newRow("an array") << QByteArray("[1, 2]");
  QTest::newRow("cut short") << kClassOnlyEm.left(100);
}

void ResultsModelTest::refusesWhatIsNoResultsFile() {
  QFETCH(QByteArray, json);
  Results results;
  QString error;
  QVERIFY(!results.Parse(json, &error));
  QVERIFY(error.startsWith(QStringLiteral("Not a results file")));
  QVERIFY(!results.Read(QStringLiteral("/nonexistent/x.json"), &error));
  QVERIFY(error.contains(QStringLiteral("x.json")));
}

void ResultsModelTest::comparisonInBothLayouts_data() {
  QTest::addColumn<QByteArray>("json");
  QTest::newRow("object with rows") << kCompareObject;
  QTest::newRow("bare array") << CompareArray();
}

void ResultsModelTest::comparisonInBothLayouts() {
  QFETCH(QByteArray, json);
  Comparison comparison;
  QString error;
  QVERIFY2(comparison.Parse(json, &error), qPrintable(error));
  std::vector<int> sizes;
  for (const CompareRow& row : comparison.Rows()) sizes.push_back(row.size);
  QCOMPARE(sizes, (std::vector<int>{1, 2, 3}));
  QVERIFY(!comparison.Rows()[0].entropy);
  QVERIFY(!comparison.Rows()[0].blrtP);
  QCOMPARE(*comparison.Rows()[1].bic, 2471.0);
  QCOMPARE(comparison.Rows()[1].bestReplicated, std::optional<bool>(false));
  QVERIFY(!Comparison().Parse("[]", &error));
}

void ResultsModelTest::csvQuoting_data() {
  QTest::addColumn<QString>("field");
  QTest::addColumn<QString>("written");
  QTest::newRow("plain") << "Class 1"
                         << "Class 1";
  QTest::newRow("comma") << "Class 1, Item 2"
                         << "\"Class 1, Item 2\"";
  QTest::newRow("quote doubled") << "the \"best\" start"
                                 << "\"the \"\"best\"\" start\"";
  QTest::newRow("line feed") << "two\nlines"
                             << "\"two\nlines\"";
  QTest::newRow("carriage return") << "a\rb"
                                   << "\"a\rb\"";
  QTest::newRow("empty") << ""
                         << "";
}

void ResultsModelTest::csvQuoting() {
  QFETCH(QString, field);
  QFETCH(QString, written);
  QCOMPARE(CsvField(field), written);
  QCOMPARE(CsvText({{field, field}}), (written + u',' + written + QStringLiteral("\r\n")).toUtf8());
}

void ResultsModelTest::gridExportsFullNumbers() {
  // The grid shows four decimals; the file keeps every digit, and a fixed parameter's error is
  // an empty field.
  const Results results = Parsed(kClassOnlyEm);
  const ParameterTable& table = *results.Table(QStringLiteral("little_rho"));
  ParameterTableModel model(table, ParameterTableModel::ExtrasFor(results, table));
  const QList<QByteArray> lines = ModelCsv(model, QStringLiteral("Parameter")).split('\n');
  QCOMPARE(lines[0], QByteArray("Parameter,Category 1,Category 1 SE,Category 2,Category 2 SE\r"));
  QCOMPARE(lines[2], QByteArray("\"Class 1, Item 2\",0.8,,0.2,\r"));
  QCOMPARE(lines[4], QByteArray("\"Class 2, Item 2\",0.125,0.03,0.875,0.03\r"));
  QCOMPARE(model.data(model.index(3, 0)).toString(), QStringLiteral("0.1250"));
}

}  // namespace kov::results::test

QTEST_GUILESS_MAIN(kov::results::test::ResultsModelTest)
#include "results_model_test.moc"
