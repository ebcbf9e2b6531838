// Control files through the real grids: every example opens and saves byte for byte, sections
// appear exactly when the engine reads them, and a model entered cell by cell through the grid
// models is read by the engine's own reader to the same parameters.
#include <QAbstractItemModelTester>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <map>
#include <memory>
#include <string>

#include "document/control_file_io.h"
#include "document/document.h"
#include "document/text_helpers.h"
#include "grids/grid_set.h"
#include "grids/grid_table_model.h"
#include "input/control_file.h"
#include "scripted_ui.h"
#include "test_files.h"

namespace kov::grids::test {

namespace {

using namespace kov::document;
using document::test::ComposedLines;
using document::test::ReadBytes;
using document::test::ScriptedUi;

struct Fixture {
  ScriptedUi ui;
  Document document{ui, ui};
  GridSet grids{document};
};

std::string Padded(const std::string& text, std::size_t width) {
  std::string field = text;
  field.resize(width, ' ');
  return field;
}

double Parsed(const QString& text) {
  double value = 0.0;
  ParseReal(text, &value);
  return value;
}

// Start values as four decimals, so that the text the engine parses is the one expected.
QString StartText(int n) { return QStringLiteral("0.%1").arg(n, 4, 10, QLatin1Char('0')); }

}  // namespace

class GridsRoundTripTest : public QObject {
  Q_OBJECT

 private slots:
  void examplesSaveByteForByte_data();
  void examplesSaveByteForByte();
  void sectionsExistWhenTheEngineReadsThem();
  void engineReadsTheModelEnteredInTheGrids();
  void longPanelShowsEveryOccasion();

 private:
  QTemporaryDir m_dir;
};

void GridsRoundTripTest::examplesSaveByteForByte_data() {
  QTest::addColumn<QString>("path");
  const QDir examples(QStringLiteral(MARNEL_EXAMPLES_DIR));
  const QStringList names = examples.entryList({QStringLiteral("*.cnt")}, QDir::Files, QDir::Name);
  QVERIFY(names.size() >= 4);
  for (const QString& name : names) QTest::newRow(qPrintable(name)) << examples.filePath(name);
  QTest::newRow("small.cnt") << QStringLiteral(GRIDS_TEST_DATA "/small.cnt");
  QTest::newRow("seven_waves.cnt") << QStringLiteral(GRIDS_TEST_DATA "/seven_waves.cnt");
}

void GridsRoundTripTest::examplesSaveByteForByte() {
  QFETCH(QString, path);
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.ui.messages, QStringList());
  QVERIFY(!f.document.IsModified());

  const QString copy = m_dir.filePath(QStringLiteral("copy.cnt"));
  QVERIFY(f.document.SaveAs(copy));
  QCOMPARE(f.ui.messages, QStringList());
  QCOMPARE(ReadBytes(copy), ReadBytes(path));
}

void GridsRoundTripTest::sectionsExistWhenTheEngineReadsThem() {
  // small.cnt has 21 lines before its grids' values: 2 comments, 2 common, 4 EM, 5 DA, 2
  // category lines, 2 label lines and 4 item lines. Then codes: gamma 1, delta 1, tau 4,
  // little rho 6, big rho 24 (36 lines); start values: gamma 1, delta 1, tau 4, little rho 6,
  // big rho 8 (20 lines).
  struct Case {
    const char* name;
    int maxIterations;
    qint16 type;
    int expectedLines;
  };
  const Case cases[] = {{"codes and start values", 100, kNewEstimation, 21 + 36 + 20},
                        {"no iterations: no codes", 0, kNewEstimation, 21 + 20},
                        {"continued run: no start values", 100, kContinuePrevious, 21 + 36},
                        {"fit only without iterations: neither", 0, kNoEstimation, 21}};
  for (const Case& c : cases) {
    Fixture f;
    QVERIFY(f.document.Open(QStringLiteral(GRIDS_TEST_DATA "/small.cnt")));
    f.document.SetInterfaceValue(kMaxIterations, c.maxIterations);
    f.document.SetInterfaceValue(kEstimationType, QVariant::fromValue(c.type));
    QStringList lines;
    QVERIFY2(ComposedLines(f.document, &lines), c.name);
    QVERIFY2(lines.size() == c.expectedLines, qPrintable(QStringLiteral("%1: %2 lines").arg(c.name).arg(lines.size())));
  }

  // Without class items there are no class labels, gamma or little rho; without status items
  // no status labels, delta, tau or big rho. The 13 lines of comments and model information
  // remain, with the category line, the labels and the items of the kind that is left.
  Fixture f;
  QVERIFY(f.document.Open(QStringLiteral(GRIDS_TEST_DATA "/small.cnt")));
  f.document.SetInterfaceValue(kClassItemCount, 0);
  QStringList lines;
  QVERIFY(ComposedLines(f.document, &lines));
  // 13 + 1 category line + 1 status label line + 2 status items = 17; codes:
  // delta 1, tau 4, big rho 24; start values: delta 1, tau 4, big rho 8.
  QCOMPARE(lines.size(), 17 + 29 + 13);
  f.document.SetInterfaceValue(kStatusItemCount, 0);
  QVERIFY(ComposedLines(f.document, &lines));
  QCOMPARE(lines.size(), 13);
}

// seven_waves.cnt: one class, two statuses, three items, seven occasions. The later tau starts
// of transition x -> x + 1 (x = 2 .. 6) are 0.7(x-1) 0.2(11-x) in the first row, and the big rho
// code of item 2, category 1, status 1 is 0 at time 7 only.
void GridsRoundTripTest::longPanelShowsEveryOccasion() {
  const QString path = QStringLiteral(GRIDS_TEST_DATA "/seven_waves.cnt");
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.ui.messages, QStringList());
  GridTableModel tau(f.grids, kTauStartingValues);
  QCOMPARE(tau.SelectorEntries().size(), 6);
  GridTableModel bigRho(f.grids, kBigRhoRestrictions);
  QCOMPARE(bigRho.SelectorEntries().size(), 7);
  for (int x = 2; x <= 6; ++x) {
    tau.SelectEntry(x - 1);
    QCOMPARE(tau.data(tau.index(0, 1)).toString(), QStringLiteral("0.7%1").arg(x - 1));
  }
  for (int t = 1; t <= 7; ++t) {
    bigRho.SelectEntry(t - 1);
    QCOMPARE(bigRho.data(bigRho.index(2, 1)).toString(), QString::number(t == 7 ? 0 : 1));
  }

  input::Model model;
  const Status read =
      input::ReadControlFile(Padded(path.toStdString(), input::kFileNameWidth), &model);
  QVERIFY2(read.IsOk(), read.Message().c_str());
  const input::ModelDimensions& d = model.dims;
  QCOMPARE(d.occasions, 7);
  QCOMPARE(model.start.tau[input::TauShape(d)(2 + 4 * 2, 0, 0)], 0.75);  // row 1 of 6 -> 7
  QCOMPARE(model.codes.bigRho[input::BigRhoShape(d)(0, 1, 0, 0, 6)], 0);
}

void GridsRoundTripTest::engineReadsTheModelEnteredInTheGrids() {
  Fixture f;
  // The fields as the window passes them, as text.
  const std::pair<int, QVariant> fields[] = {
      {kClassCount, QStringLiteral("2")},      {kClassItemCount, QStringLiteral("2")},
      {kStatusCount, QStringLiteral("2")},     {kStatusItemCount, QStringLiteral("2")},
      {kTimeCount, QStringLiteral("4")},       {kFirstOrder, false},
      {kDatasetFile, QStringLiteral("m.dat")}, {kOutFile, QStringLiteral("m.out")},
      {kMaxIterations, QStringLiteral("500")}, {kEstimationType, int(kNewEstimation)},
  };
  for (const auto& [id, value] : fields) QVERIFY(f.document.SetInterfaceValue(id, value));

  std::map<int, std::unique_ptr<GridTableModel>> models;
  std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
  for (int identity = 0; identity < kGridCount; ++identity) {
    models[identity] = std::make_unique<GridTableModel>(f.grids, identity);
    testers.push_back(std::make_unique<QAbstractItemModelTester>(
        models[identity].get(), QAbstractItemModelTester::FailureReportingMode::QtTest));
  }
  const auto type = [&](int identity, int row, int column, const QString& text) {
    GridTableModel& model = *models[identity];
    QVERIFY2(model.setData(model.index(row, column), text),
             qPrintable(QStringLiteral("grid %1 (%2, %3) refused %4").arg(identity).arg(row).arg(column).arg(text)));
  };

  // Class items with 2 and 3 categories (Kc = 3), status items with 2 each (Ks = 2).
  type(kClassItems, 0, 2, QStringLiteral("2"));
  type(kClassItems, 1, 2, QStringLiteral("3"));
  type(kStatusItems, 0, 2, QStringLiteral("2"));
  type(kStatusItems, 1, 2, QStringLiteral("2"));
  QCoreApplication::processEvents();  // the items grids show their new label columns
  QCOMPARE(models[kClassItems]->columnCount(), 6);
  QCOMPARE(models[kLittleRhoRestrictions]->rowCount(), 6);
  type(kClassLabels, 0, 1, QStringLiteral("O'Neil"));
  type(kStatusLabels, 1, 1, QStringLiteral("Users"));
  type(kClassItems, 1, 1, QStringLiteral("Mood"));
  type(kClassItems, 1, 5, QStringLiteral("Sad"));

  // Codes and start values as functions of what the cell means (class c, status s, transition
  // row r, target j, item i, category k, occasion t), entered where the grid shows that cell.
  const auto gammaCode = [](int c) { return c + 1; };
  const auto deltaCode = [](int c, int s) { return 10 * c + s; };
  const auto tauCode = [](int c, int r, int j) { return 1000 * c + 10 * r + j; };
  const auto littleCode = [](int c, int k, int i) { return 100 * c + 10 * k + i; };
  const auto bigCode = [](int c, int t, int k, int i, int s) {
    return 10000 * c + 1000 * t + 100 * k + 10 * i + s;
  };
  const auto bigStart = [](int c, int k, int i, int s) { return 1000 * c + 100 * k + 10 * i + s; };
  for (int c = 1; c <= 2; ++c) {
    type(kGammaRestrictions, c - 1, 1, QString::number(gammaCode(c)));
    type(kGammaStartingValues, c - 1, 1, StartText(c));
    for (int s = 1; s <= 2; ++s) {
      type(kDeltaRestrictions, c - 1, s, QString::number(deltaCode(c, s)));
      type(kDeltaStartingValues, c - 1, s, StartText(deltaCode(c, s)));
    }
    for (int k = 1; k <= 3; ++k) {
      for (int i = 1; i <= 2; ++i) {
        // Rows: item by item, the categories of each (Kc of them).
        type(kLittleRhoRestrictions, (i - 1) * 3 + k - 1, c, QString::number(littleCode(c, k, i)));
        type(kLittleRhoStartingValues, (i - 1) * 3 + k - 1, c, StartText(littleCode(c, k, i)));
      }
    }
  }
  // Tau: per class the first transition (S = 2 rows), then 2 -> 3 and 3 -> 4, each with
  // S^2 = 4 rows of a second-order process: R = 2 + 8 rows.
  for (int identity : {kTauRestrictions, kTauStartingValues}) {
    GridTableModel& model = *models[identity];
    QCOMPARE(model.SelectorEntries().size(), 6);
    for (int entry = 0; entry < 6; ++entry) {
      model.SelectEntry(entry);
      const int c = entry / 3 + 1, transition = entry % 3;
      const int firstRow = transition == 0 ? 1 : 2 + (transition - 1) * 4 + 1;
      QCOMPARE(model.rowCount(), transition == 0 ? 2 : 4);
      for (int row = 0; row < model.rowCount(); ++row) {
        for (int j = 1; j <= 2; ++j) {
          const int code = tauCode(c, firstRow + row, j);
          type(identity, row, j, identity == kTauRestrictions ? QString::number(code) : StartText(code));
        }
      }
    }
  }
  // Big rho: codes per class and occasion, starting values per class for all occasions.
  for (int identity : {kBigRhoRestrictions, kBigRhoStartingValues}) {
    GridTableModel& model = *models[identity];
    const int times = identity == kBigRhoRestrictions ? 4 : 1;
    QCOMPARE(model.SelectorEntries().size(), 2 * times);
    for (int entry = 0; entry < 2 * times; ++entry) {
      model.SelectEntry(entry);
      const int c = entry / times + 1, t = entry % times + 1;
      for (int i = 1; i <= 2; ++i) {
        for (int k = 1; k <= 2; ++k) {
          for (int s = 1; s <= 2; ++s) {
            type(identity, (i - 1) * 2 + k - 1, s,
                 identity == kBigRhoRestrictions ? QString::number(bigCode(c, t, k, i, s))
                                                 : StartText(bigStart(c, k, i, s)));
          }
        }
      }
    }
  }

  const QString path = m_dir.filePath(QStringLiteral("entered.cnt"));
  QVERIFY(f.document.SaveAs(path));
  QCOMPARE(f.ui.messages, QStringList());

  input::Model model;
  const Status read =
      input::ReadControlFile(Padded(path.toStdString(), input::kFileNameWidth), &model);
  QVERIFY2(read.IsOk(), read.Message().c_str());

  const input::ModelDimensions& d = model.dims;
  QCOMPARE(d.occasions, 4);
  QCOMPARE(d.order, 2);
  QCOMPARE(d.extraTransitionRows, 8);  // (4 - 2) x 2^2
  QCOMPARE(d.maxClassCategories, 3);
  QCOMPARE(model.classLabels[0], Padded("O'Neil", input::kLabelWidth));
  QCOMPARE(model.classLabels[1], Padded("LC 2", input::kLabelWidth));
  QCOMPARE(model.statusLabels[1], Padded("Users", input::kLabelWidth));
  QCOMPARE(model.classItemLabels[1], Padded("Mood", input::kLabelWidth));
  QCOMPARE(model.classCategoryLabels[1], (std::vector<std::string>{Padded("RC 1", 8), Padded("RC 2", 8), Padded("Sad", 8)}));
  QCOMPARE(model.statusCategoryLabels[0].size(), std::size_t{2});

  QVERIFY(model.restrictionsRead);
  for (int c = 1; c <= 2; ++c) {
    QCOMPARE(model.codes.gamma[c - 1], gammaCode(c));
    QCOMPARE(model.start.gamma[c - 1], Parsed(StartText(c)));
    for (int s = 1; s <= 2; ++s) {
      QCOMPARE(model.codes.delta[input::DeltaCodeShape(d)(c - 1, s - 1)], deltaCode(c, s));
      QCOMPARE(model.start.delta[input::DeltaShape(d)(c - 1, s - 1, 0)], Parsed(StartText(deltaCode(c, s))));
    }
    for (int r = 1; r <= 10; ++r) {
      for (int j = 1; j <= 2; ++j) {
        const int code = tauCode(c, r, j);
        QCOMPARE(model.codes.tau[input::TauShape(d)(r - 1, j - 1, c - 1)], code);
        QCOMPARE(model.start.tau[input::TauShape(d)(r - 1, j - 1, c - 1)], Parsed(StartText(code)));
      }
    }
    for (int k = 1; k <= 3; ++k) {
      for (int i = 1; i <= 2; ++i) {
        QCOMPARE(model.codes.littleRho[input::LittleRhoShape(d)(k - 1, i - 1, c - 1)], littleCode(c, k, i));
        QCOMPARE(model.start.littleRho[input::LittleRhoShape(d)(k - 1, i - 1, c - 1)],
                 Parsed(StartText(littleCode(c, k, i))));
      }
    }
    for (int t = 1; t <= 4; ++t) {
      for (int k = 1; k <= 2; ++k) {
        for (int i = 1; i <= 2; ++i) {
          for (int s = 1; s <= 2; ++s) {
            const auto at = input::BigRhoShape(d)(k - 1, i - 1, s - 1, c - 1, t - 1);
            QCOMPARE(model.codes.bigRho[at], bigCode(c, t, k, i, s));
            // Only occasion 1 is in the file; the driver copies it to the later ones.
            if (t == 1) QCOMPARE(model.start.bigRho[at], Parsed(StartText(bigStart(c, k, i, s))));
          }
        }
      }
    }
  }

  // What the grids saved, they open and save again unchanged.
  Fixture again;
  QVERIFY(again.document.Open(path));
  const QString copy = m_dir.filePath(QStringLiteral("entered_again.cnt"));
  QVERIFY(again.document.SaveAs(copy));
  QCOMPARE(ReadBytes(copy), ReadBytes(path));
}

}  // namespace kov::grids::test

QTEST_MAIN(kov::grids::test::GridsRoundTripTest)
#include "grids_round_trip_test.moc"
