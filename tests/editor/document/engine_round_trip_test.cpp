// End to end: a document built as the main window builds it, saved by the document, is read by
// the engine's own control-file reader to the same model.
#include <QTemporaryDir>
#include <QtTest>
#include <string>

#include "document/document.h"
#include "document/text_helpers.h"
#include "input/control_file.h"
#include "plain_grids.h"
#include "scripted_ui.h"

namespace kov::document::test {

namespace {

std::string Padded(const std::string& text, std::size_t width) {
  std::string field = text;
  field.resize(width, ' ');
  return field;
}

// Start values that parse back exactly: the n-th value of a section is (n + 1) / 1000.
double StartValue(int n) { return (n + 1) / 1000.0; }

}  // namespace

class EngineRoundTripTest : public QObject {
  Q_OBJECT

 private slots:
  void engineReadsTheSavedModel();
};

void EngineRoundTripTest::engineReadsTheSavedModel() {
  ScriptedUi ui;
  Document document(ui, ui);
  PlainGrids grids(document);

  // The fields as the window passes them: text from text boxes, Booleans from option groups.
  const std::pair<int, QVariant> fields[] = {
      {kComments, QStringLiteral("Role conflict, it's a test\nSecond line")},
      {kClassCount, QStringLiteral("2")},       {kClassItemCount, QStringLiteral("2")},
      {kStatusCount, QStringLiteral("2")},      {kStatusItemCount, QStringLiteral("2")},
      {kTimeCount, QStringLiteral("3")},        {kFirstOrder, false},
      {kPrintResiduals, true},                  {kMissingData, 1},
      {kReadFormat, 1},                         {kInputFormat, QStringLiteral("(6F1.0)")},
      {kDatasetFile, QStringLiteral("O'Brien.dat")},
      {kEstimationType, int(kNewEstimation)},   {kSaveEmEstimates, true},
      {kMaxIterations, QStringLiteral("500")},  {kConvergenceCriterion, QStringLiteral("1e-7")},
      {kOutFile, QStringLiteral("em.out")},     {kEmEstimatesFile, QStringLiteral("em.est")},
      {kIterationsBetweenImputations, QStringLiteral("20")},
      {kImputationCount, QStringLiteral("4")},  {kRandomSeed, QStringLiteral("777")},
      {kWriteIndividualEstimates, true},        {kDaOutFile, QStringLiteral("da.out")},
      {kDaStartValuesFile, QStringLiteral("em.est")},
      {kSeriesFile, QStringLiteral("da.ser")},  {kIndividualEstimatesFile, QStringLiteral("indiv.est")},
      {kRandomStarts, true},                    {kStartCount, QStringLiteral("40")},
      {kFinalStartCount, QStringLiteral("10")}, {kFirstStageIterations, QStringLiteral("100")},
      {kStartSeed, QStringLiteral("2147483647")}, {kLogLikelihoodStop, true},
      {kLogLikelihoodCriterion, QStringLiteral("1e-9")},
  };
  for (const auto& [id, value] : fields) QVERIFY(document.SetInterfaceValue(id, value));

  // Class items with 2 and 3 categories (Kc = 3), status items with 2 each (Ks = 2).
  grids[kClassItems].Setup();
  grids[kStatusItems].Setup();
  for (int item = 1; item <= 2; ++item) {
    grids[kClassItems].SetCellValue(item, kResponseCategoryColumn, QString::number(item + 1));
    grids[kStatusItems].SetCellValue(item, kResponseCategoryColumn, QStringLiteral("2"));
  }
  grids[kClassLabels].Fill([](int n) { return Quote(QStringLiteral("Class%1").arg(n + 1)); });
  grids[kStatusLabels].Fill([](int n) { return Quote(QStringLiteral("Stat%1").arg(n + 1)); });
  for (int grid : {kClassItems, kStatusItems}) {
    grids[grid].Fill([](int n) { return Quote(QStringLiteral("L%1").arg(n)); });
  }
  for (int grid : {kGammaRestrictions, kDeltaRestrictions, kTauRestrictions, kLittleRhoRestrictions,
                   kBigRhoRestrictions}) {
    grids[grid].Fill([](int n) { return QString::number(n + 2); });
  }
  for (int grid : {kGammaStartingValues, kDeltaStartingValues, kTauStartingValues,
                   kLittleRhoStartingValues, kBigRhoStartingValues}) {
    grids[grid].Fill([](int n) { return FormatReal(StartValue(n)); });
  }

  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("end to end.cnt"));
  QVERIFY(document.SaveAs(path));
  QCOMPARE(ui.messages, QStringList());

  input::Model model;
  const Status read =
      input::ReadControlFile(Padded(path.toStdString(), input::kFileNameWidth), &model);
  QVERIFY2(read.IsOk(), read.Message().c_str());

  const input::ModelDimensions& d = model.dims;
  QCOMPARE(model.titles.size(), std::size_t{2});
  QCOMPARE(model.titles[0], Padded("* Role conflict, it's a test", input::kTitleWidth));
  QCOMPARE(model.titles[1], Padded("* Second line", input::kTitleWidth));
  QCOMPARE(d.classes, 2);
  QCOMPARE(d.statuses, 2);
  QCOMPARE(d.classItems, 2);
  QCOMPARE(d.statusItems, 2);
  QCOMPARE(d.occasions, 3);
  QCOMPARE(d.order, 2);
  QCOMPARE(d.extraTransitionRows, 4);  // (3 - 2) x 2^2
  QCOMPARE(d.maxClassCategories, 3);
  QCOMPARE(d.maxStatusCategories, 2);
  QCOMPARE(model.printResiduals, 1);
  QVERIFY(model.missingData);
  QVERIFY(model.fixedFormat);
  QCOMPARE(model.dataFile, Padded("O'Brien.dat", input::kFileNameWidth));
  QCOMPARE(model.dataFormat, Padded("(6F1.0)", input::kFileNameWidth));
  QCOMPARE(model.estimationType, 1);
  QVERIFY(model.writeEstimates);
  QCOMPARE(model.maxIterations, 500);
  QCOMPARE(model.criterion, 1e-7);
  QCOMPARE(model.emEstimatesFile, Padded("em.est", input::kFileNameWidth));
  QCOMPARE(model.iterationsBetweenImputations, 20);
  QCOMPARE(model.imputations, 4);
  QCOMPARE(model.seed, 777);
  QVERIFY(model.writeIndividualEstimates);
  QCOMPARE(model.seriesFile, Padded("da.ser", input::kFileNameWidth));
  QCOMPARE(model.individualEstimatesFile, Padded("indiv.est", input::kFileNameWidth));
  QCOMPARE(model.classItemCategories, (std::vector<std::int32_t>{2, 3}));
  QCOMPARE(model.statusItemCategories, (std::vector<std::int32_t>{2, 2}));
  QCOMPARE(model.classLabels[1], Padded("Class2", input::kLabelWidth));
  // Item 2 of the class items is the second line: L3 and its categories L4, L5, L6.
  QCOMPARE(model.classItemLabels[1], Padded("L3", input::kLabelWidth));
  QCOMPARE(model.classCategoryLabels[1][2], Padded("L6", input::kLabelWidth));

  // Positions worked out from the file order, the n-th code of a section being n + 2:
  // delta class by class; tau per class a line of rows 1-2 (4 codes) then one of rows 3-6
  // (8 codes); little rho one line of Ic codes per (category, class); big rho one line of Is
  // codes per (class, occasion, category, status).
  QVERIFY(model.restrictionsRead);
  QCOMPARE(model.codes.gamma, (std::vector<std::int32_t>{2, 3}));
  QCOMPARE(model.codes.delta[input::DeltaCodeShape(d)(1, 0)], 4);     // n = 2
  QCOMPARE(model.codes.tau[input::TauShape(d)(1, 0, 0)], 4);          // n = 1 x 2 + 0
  QCOMPARE(model.codes.tau[input::TauShape(d)(3, 1, 1)], 21);         // n = 12 + 4 + 3
  QCOMPARE(model.codes.littleRho[input::LittleRhoShape(d)(2, 1, 0)], 11);  // line 4, n = 9
  QCOMPARE(model.codes.bigRho[input::BigRhoShape(d)(1, 0, 1, 1, 2)], 48);  // line 23, n = 46
  // Start values, the n-th being (n + 1) / 1000; big rho for occasion 1 only, copied later.
  QCOMPARE(model.start.gamma[1], StartValue(1));
  QCOMPARE(model.start.delta[input::DeltaShape(d)(1, 1, 0)], StartValue(3));
  QCOMPARE(model.start.tau[input::TauShape(d)(5, 1, 1)], StartValue(23));  // 12 + 4 + (5 - 2) x 2 + 1
  QCOMPARE(model.start.littleRho[input::LittleRhoShape(d)(2, 1, 1)], StartValue(11));  // line 5
  QCOMPARE(model.start.bigRho[input::BigRhoShape(d)(1, 1, 0, 1, 0)], StartValue(13));  // line 6

  QVERIFY(model.startsBlock);
  QCOMPARE(model.starts, 40);
  QCOMPARE(model.finalStarts, 10);
  QCOMPARE(model.firstStageIterations, 100);
  QCOMPARE(model.startSeed, 2147483647);
  QVERIFY(model.logLikelihoodRule);
  QCOMPARE(model.logLikelihoodCriterion, 1e-9);

}

}  // namespace kov::document::test

QTEST_GUILESS_MAIN(kov::document::test::EngineRoundTripTest)
#include "engine_round_trip_test.moc"
