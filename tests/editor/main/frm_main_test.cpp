// The editing form: its controls and the document stay in step, the automatic file-name fills,
// the rules that tie fields to the counts, the run-mode tags, and the grids on their tabs.

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableView>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "document/document.h"
#include "document/grid_section.h"
#include "document/interface_values.h"
#include "document/text_helpers.h"
#include "editor_test_support.h"
#include "frm_main.h"
#include "grids/grid_table_model.h"
#include "grids/kov_grid.h"

using namespace kov::document;
using kov::editor::frmMain;
using kov::editor::test::Answer;
using kov::editor::test::Choices;
using kov::editor::test::ScriptedUi;

class FrmMainTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void fileNamesFillOnlyEmptyFields();
  void startValuesFileFollowsTheParameterFileUntilSetByHand();
  void fewerThanThreeTimesSwitchesToFirstOrder();
  void noClassesOrStatusesClearAndDisableTheirFields();
  void noEstimationSetsIterationsToZero();
  void runModeEnablesTheTaggedControlsAndLocksTheGrids();
  void numericFieldsRefuseOtherCharacters_data();
  void numericFieldsRefuseOtherCharacters();
  void openedFileFillsTheControlsAndACommittedEditMarksModified();
  void flushCommitsTextAndGridEdits();
  void browseButtonsAskWithTheirFilter();
  void countsResizeTheGridsOnShow();
  void startSettingsFollowTheDocumentAndAreCheckedWhereTyped();

 private:
  void Type(int id, const QString& text);
  QString Text(int id) const { return m_form->TextInput(id)->text(); }
  QString DisplayedValue(int id) const {
    const QVariant value = m_document->vGetInterfaceValue(id);
    return value.typeId() == QMetaType::Double ? FormatReal(value.toDouble()) : value.toString();
  }

  QTemporaryDir m_temp;
  ScriptedUi m_ui;
  std::unique_ptr<Document> m_document;
  std::unique_ptr<frmMain> m_form;
};

void FrmMainTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  kov::editor::test::KeepSettingsIn(m_temp.path());
}

void FrmMainTest::init() {
  m_ui = ScriptedUi();
  m_document = std::make_unique<Document>(m_ui, m_ui);
  m_form = std::make_unique<frmMain>(*m_document, m_ui);
  m_form->resize(900, 600);
  m_form->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void FrmMainTest::cleanup() {
  m_form.reset();
  m_document.reset();
}

// Types into a text box as a user does and presses Enter, which commits the text.
void FrmMainTest::Type(int id, const QString& text) {
  QLineEdit* input = m_form->TextInput(id);
  QVERIFY2(input->isEnabled(), qPrintable(QString::number(id)));
  input->setFocus();
  input->selectAll();
  QTest::keyClicks(input, text);
  QTest::keyClick(input, Qt::Key_Return);
}

void FrmMainTest::fileNamesFillOnlyEmptyFields() {
  m_form->OptionButton(kSaveEmEstimates, 1)->click();
  QLineEdit* parameters = m_form->TextInput(kEmEstimatesFile);
  parameters->setFocus();
  QTest::keyClicks(parameters, QStringLiteral("/runs/m1.par"));
  // Nothing is filled from a half-typed name: the fill waits for the committed text.
  QCOMPARE(Text(kDaStartValuesFile), QString());
  QTest::keyClick(parameters, Qt::Key_Return);
  QCOMPARE(Text(kDaStartValuesFile), QStringLiteral("/runs/m1.par"));
  QCOMPARE(Text(kSeriesFile), QStringLiteral("/runs/m1.ser"));
  QCOMPARE(m_document->vGetInterfaceValue(kDaStartValuesFile).toString(), QStringLiteral("/runs/m1.par"));

  // The series file, once filled, is never overwritten.
  Type(kEmEstimatesFile, QStringLiteral("/other/m2.par"));
  QCOMPARE(Text(kSeriesFile), QStringLiteral("/runs/m1.ser"));

  // The outfile names the data-augmentation report beside it, once.
  Type(kOutFile, QStringLiteral("/runs/m1.out"));
  QCOMPARE(Text(kDaOutFile), QStringLiteral("/runs/m1_da.out"));
  Type(kOutFile, QStringLiteral("/runs/other.out"));
  QCOMPARE(Text(kDaOutFile), QStringLiteral("/runs/m1_da.out"));
  // Without an extension the suffix ends the name.
  m_form->SetInterfaceValue(kDaOutFile, QString());
  Type(kOutFile, QStringLiteral("/runs/report"));
  QCOMPARE(Text(kDaOutFile), QStringLiteral("/runs/report_da"));
}

void FrmMainTest::startValuesFileFollowsTheParameterFileUntilSetByHand() {
  // The example's data-augmentation chain starts from the estimates its EM run writes.
  QVERIFY(m_document->Open(kov::editor::test::ExamplePath(QStringLiteral("stouffer_toby.cnt"))));
  QCOMPARE(Text(kDaStartValuesFile), QStringLiteral("stouffer_toby.est"));
  constexpr int kBrowseParameters = 3;
  constexpr int kBrowseStartValues = 4;
  struct Step {
    int button;
    QString chosen;
    QString startValues;  // the DA start file afterwards
  };
  const Step steps[] = {
      {kBrowseParameters, QStringLiteral("/runs/m2.est"), QStringLiteral("/runs/m2.est")},
      {kBrowseParameters, QStringLiteral("/runs/m3.est"), QStringLiteral("/runs/m3.est")},
      // Named by hand: later parameter files leave it alone.
      {kBrowseStartValues, QStringLiteral("/chains/start.est"), QStringLiteral("/chains/start.est")},
      {kBrowseParameters, QStringLiteral("/runs/m4.est"), QStringLiteral("/chains/start.est")},
      // Named by hand as the parameter file again: it follows once more.
      {kBrowseStartValues, QStringLiteral("/runs/m4.est"), QStringLiteral("/runs/m4.est")},
      {kBrowseParameters, QStringLiteral("/runs/m5.est"), QStringLiteral("/runs/m5.est")},
  };
  for (const Step& step : steps) {
    // Each field is open in its own run mode, as a user switches to it.
    m_form->SetRunType(step.button == kBrowseStartValues ? kov::RunType::kDa : kov::RunType::kEm);
    m_form->EventHandler(frmMain::kEventRunTypeChanged);
    QVERIFY(m_form->BrowseButton(step.button)->isEnabled());
    m_ui.paths << step.chosen;
    m_form->BrowseButton(step.button)->click();
    QCOMPARE(m_document->vGetInterfaceValue(kDaStartValuesFile).toString(), step.startValues);
    QCOMPARE(Text(kDaStartValuesFile), step.startValues);
  }
}

void FrmMainTest::fewerThanThreeTimesSwitchesToFirstOrder() {
  QRadioButton* first = m_form->OptionButton(kFirstOrder, 1);
  QRadioButton* second = m_form->OptionButton(kFirstOrder, 0);
  QVERIFY(!m_form->TextInput(kTimeCount)->isEnabled());
  Type(kStatusCount, QStringLiteral("2"));
  Type(kTimeCount, QStringLiteral("3"));
  QVERIFY(second->isEnabled());
  second->click();
  QCOMPARE(m_document->vGetInterfaceValue(kFirstOrder), QVariant(false));

  Type(kTimeCount, QStringLiteral("2"));
  QVERIFY(first->isChecked());
  QVERIFY(!second->isEnabled());
  QCOMPARE(m_document->vGetInterfaceValue(kFirstOrder), QVariant(true));
}

void FrmMainTest::noClassesOrStatusesClearAndDisableTheirFields() {
  QTabWidget* tabs = m_form->Tabs();
  QTabWidget* labels = m_form->LabelTabs();
  Type(kClassCount, QStringLiteral("2"));
  Type(kClassItemCount, QStringLiteral("4"));
  Type(kStatusCount, QStringLiteral("3"));
  Type(kStatusItemCount, QStringLiteral("2"));
  Type(kTimeCount, QStringLiteral("4"));
  for (int tab : {frmMain::kGammaTab, frmMain::kLittleRhoTab, frmMain::kDeltaTab, frmMain::kTauTab,
                  frmMain::kBigRhoTab}) {
    QVERIFY(tabs->isTabEnabled(tab));
  }

  Type(kClassCount, QStringLiteral("0"));
  QCOMPARE(Text(kClassItemCount), QStringLiteral("0"));
  QVERIFY(!m_form->TextInput(kClassItemCount)->isEnabled());
  QVERIFY(!tabs->isTabEnabled(frmMain::kGammaTab));
  QVERIFY(!tabs->isTabEnabled(frmMain::kLittleRhoTab));
  QVERIFY(!labels->isTabEnabled(frmMain::kClassLabelsTab));
  QVERIFY(!labels->isTabEnabled(frmMain::kClassItemsTab));
  QVERIFY(tabs->isTabEnabled(frmMain::kDeltaTab));

  Type(kStatusCount, QStringLiteral("0"));
  QCOMPARE(Text(kStatusItemCount), QStringLiteral("0"));
  QCOMPARE(Text(kTimeCount), QStringLiteral("0"));
  QVERIFY(!m_form->TextInput(kStatusItemCount)->isEnabled());
  QVERIFY(!m_form->TextInput(kTimeCount)->isEnabled());
  for (int tab : {frmMain::kDeltaTab, frmMain::kTauTab, frmMain::kBigRhoTab}) {
    QVERIFY(!tabs->isTabEnabled(tab));
  }
  QVERIFY(!labels->isTabEnabled(frmMain::kStatusLabelsTab));

  Type(kClassCount, QStringLiteral("1"));
  QVERIFY(m_form->TextInput(kClassItemCount)->isEnabled());
  QVERIFY(tabs->isTabEnabled(frmMain::kGammaTab));
}

void FrmMainTest::noEstimationSetsIterationsToZero() {
  QLineEdit* startValues = m_form->TextInput(kEmStartValuesFile);
  QCOMPARE(Text(kMaxIterations), QStringLiteral("5000"));
  QVERIFY(!startValues->isEnabled());

  m_form->OptionButton(kEstimationType, kNoEstimation)->click();
  QCOMPARE(Text(kMaxIterations), QStringLiteral("0"));
  QCOMPARE(m_document->vGetInterfaceValue(kMaxIterations).toInt(), 0);
  QVERIFY(startValues->isEnabled());

  m_form->OptionButton(kEstimationType, kContinuePrevious)->click();
  QVERIFY(startValues->isEnabled());
  m_form->OptionButton(kEstimationType, kNewEstimation)->click();
  QVERIFY(!startValues->isEnabled());
}

void FrmMainTest::runModeEnablesTheTaggedControlsAndLocksTheGrids() {
  Type(kClassCount, QStringLiteral("2"));
  Type(kClassItemCount, QStringLiteral("1"));
  kov::grids::GridTableModel* gamma = m_form->GridModel(kGammaStartingValues);
  m_form->Tabs()->setCurrentIndex(frmMain::kGammaTab);
  QCOMPARE(gamma->rowCount(), 2);
  const QModelIndex cell = gamma->index(0, 1);
  QVERIFY(gamma->flags(cell) & Qt::ItemIsEditable);

  const QList<QWidget*> emOnly = {m_form->TextInput(kConvergenceCriterion), m_form->TextInput(kOutFile),
                                  m_form->OptionButton(kPrintResiduals, 1),
                                  m_form->OptionButton(kEstimationType, kNewEstimation)};
  const QList<QWidget*> daOnly = {m_form->TextInput(kIterationsBetweenImputations), m_form->TextInput(kDaOutFile),
                                  m_form->SaveDaParamEstCheck(), m_form->BrowseButton(7)};
  for (QWidget* control : emOnly) QVERIFY(control->isEnabled());
  for (QWidget* control : daOnly) QVERIFY(!control->isEnabled());

  m_form->SetRunType(kov::RunType::kDa);
  m_form->EventHandler(frmMain::kEventRunTypeChanged);
  for (QWidget* control : emOnly) QVERIFY(!control->isEnabled());
  for (QWidget* control : daOnly) QVERIFY(control->isEnabled());
  // Shared fields and the tab strip are left alone.
  QVERIFY(m_form->TextInput(kDatasetFile)->isEnabled());
  QVERIFY(m_form->Tabs()->isTabEnabled(frmMain::kEstimationTab));
  QVERIFY(!(gamma->flags(cell) & Qt::ItemIsEditable));
  // Enabled by the mode, the individual-estimates file still waits for its check box.
  QVERIFY(!m_form->TextInput(kIndividualEstimatesFile)->isEnabled());
  m_form->SaveDaParamEstCheck()->click();
  QVERIFY(m_form->TextInput(kIndividualEstimatesFile)->isEnabled());
  QCOMPARE(m_document->vGetInterfaceValue(kWriteIndividualEstimates), QVariant(true));

  m_form->SetRunType(kov::RunType::kEm);
  m_form->EventHandler(frmMain::kEventRunTypeChanged);
  QVERIFY(gamma->flags(cell) & Qt::ItemIsEditable);
  QVERIFY(!m_form->TextInput(kIndividualEstimatesFile)->isEnabled());
}

void FrmMainTest::numericFieldsRefuseOtherCharacters_data() {
  QTest::addColumn<int>("id");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("shown");
  QTest::newRow("a count takes digits only") << int(kClassCount) << "2x."
                                             << "2";
  QTest::newRow("a criterion takes no sign") << int(kConvergenceCriterion) << "1e-5"
                                             << "1e5";
  QTest::newRow("free text takes anything") << int(kDatasetFile) << "a-b 1.dat"
                                            << "a-b 1.dat";
}

void FrmMainTest::numericFieldsRefuseOtherCharacters() {
  QFETCH(int, id);
  QFETCH(QString, typed);
  QFETCH(QString, shown);
  Type(id, typed);
  QCOMPARE(Text(id), shown);
}

void FrmMainTest::openedFileFillsTheControlsAndACommittedEditMarksModified() {
  QVERIFY(m_document->Open(kov::editor::test::ExamplePath(QStringLiteral("stouffer_toby.cnt"))));
  QCOMPARE(m_ui.MessageTexts(), QStringList());
  QCOMPARE(Text(kClassCount), QStringLiteral("2"));
  QCOMPARE(Text(kClassItemCount), QStringLiteral("4"));
  QCOMPARE(Text(kDatasetFile), QStringLiteral("stouffer_toby.dat"));
  QCOMPARE(Text(kConvergenceCriterion), QStringLiteral("0.0000001"));
  QCOMPARE(Text(kSeriesFile), QStringLiteral("stouffer_toby.ser"));
  QVERIFY(m_form->OptionButton(kSaveEmEstimates, 1)->isChecked());
  QVERIFY(m_form->Comments()->toPlainText().startsWith(QStringLiteral("Stouffer and Toby")));
  QVERIFY(!m_document->IsModified());
  // No statuses in this model.
  QVERIFY(!m_form->Tabs()->isTabEnabled(frmMain::kTauTab));

  Type(kSubjectCount, QStringLiteral("216"));
  QVERIFY(m_document->IsModified());
  QCOMPARE(m_document->vGetInterfaceValue(kSubjectCount), QVariant::fromValue(qint16(216)));

  // A new document empties the controls again.
  m_ui.answers << Answer::kYes;
  QVERIFY(m_document->New());
  QCOMPARE(Text(kClassCount), QStringLiteral("0"));
  QCOMPARE(Text(kDatasetFile), QString());
  QCOMPARE(m_form->Comments()->toPlainText(), QString());
}

void FrmMainTest::flushCommitsTextAndGridEdits() {
  Type(kClassCount, QStringLiteral("2"));
  Type(kClassItemCount, QStringLiteral("1"));
  QLineEdit* subjects = m_form->TextInput(kSubjectCount);
  subjects->setFocus();
  QTest::keyClicks(subjects, QStringLiteral("40"));
  m_form->Comments()->setPlainText(QStringLiteral("first line\nsecond line"));
  QCOMPARE(m_document->vGetInterfaceValue(kSubjectCount).toInt(), 0);

  m_form->Tabs()->setCurrentIndex(frmMain::kGammaTab);
  QTableView* view = m_form->GridView(kGammaStartingValues);
  const QModelIndex cell = view->model()->index(1, 1);
  view->setCurrentIndex(cell);
  view->edit(cell);
  QWidget* editor = view->indexWidget(cell);
  QVERIFY(editor != nullptr);
  QTest::keyClicks(editor, QStringLiteral("0.25"));

  m_form->FlushAllData();
  QCOMPARE(m_document->vGetInterfaceValue(kSubjectCount).toInt(), 40);
  QCOMPARE(m_document->vGetInterfaceValue(kComments).toString(), QStringLiteral("first line\nsecond line"));
  QCOMPARE(m_form->Grid(kGammaStartingValues)->vCellValue(2, 1).toString(), QStringLiteral("0.25"));
}

void FrmMainTest::browseButtonsAskWithTheirFilter() {
  m_ui.paths << QStringLiteral("/data/x.dat");
  m_form->BrowseButton(0)->click();
  QCOMPARE(Text(kDatasetFile), QStringLiteral("/data/x.dat"));
  QCOMPARE(m_document->vGetInterfaceValue(kDatasetFile).toString(), QStringLiteral("/data/x.dat"));
  QCOMPARE(m_ui.openFilters, QStringList{QStringLiteral("Dataset (*.dat);;All Files (*)")});

  // The outfile is written by a run: the save dialog, any file; and the DA output follows it.
  m_ui.paths << QStringLiteral("/data/x.out");
  m_form->BrowseButton(2)->click();
  QCOMPARE(m_ui.saveFilters, QStringList{QStringLiteral("All Files (*)")});
  QCOMPARE(Text(kDaOutFile), QStringLiteral("/data/x_da.out"));

  // A cancelled dialog changes nothing.
  m_form->BrowseButton(0)->click();
  QCOMPARE(Text(kDatasetFile), QStringLiteral("/data/x.dat"));
}

void FrmMainTest::countsResizeTheGridsOnShow() {
  QVERIFY(m_document->Open(kov::editor::test::ExamplePath(QStringLiteral("substance.cnt"))));
  // Two statuses, three items, three occasions, first order: the tau restrictions of the one
  // class have one selector entry per transition, and the big rho restrictions one per time.
  m_form->Tabs()->setCurrentIndex(frmMain::kTauTab);
  QComboBox* tauSelector = m_form->GridSelector(kTauRestrictions);
  QCOMPARE(tauSelector->count(), 2);
  QCOMPARE(m_form->GridModel(kTauRestrictions)->rowCount(), 2);
  m_form->Tabs()->setCurrentIndex(frmMain::kBigRhoTab);
  QCOMPARE(m_form->GridSelector(kBigRhoRestrictions)->count(), 3);

  // A count still being typed when a grid's tab is clicked counts.
  m_form->Tabs()->setCurrentIndex(frmMain::kModelAndDataTab);
  QLineEdit* times = m_form->TextInput(kTimeCount);
  times->setFocus();
  times->selectAll();
  QTest::keyClicks(times, QStringLiteral("4"));
  m_form->Tabs()->setCurrentIndex(frmMain::kTauTab);
  QCOMPARE(tauSelector->count(), 3);
  m_form->Tabs()->setCurrentIndex(frmMain::kBigRhoTab);
  QCOMPARE(m_form->GridSelector(kBigRhoRestrictions)->count(), 4);

  // Labels follow the number of statuses while their sub-tab is in front.
  m_form->Tabs()->setCurrentIndex(frmMain::kLabelsTab);
  m_form->LabelTabs()->setCurrentIndex(frmMain::kStatusLabelsTab);
  QCOMPARE(m_form->GridModel(kStatusLabels)->rowCount(), 2);
  m_form->SetInterfaceValue(kStatusCount, 3);
  QCOMPARE(m_form->GridModel(kStatusLabels)->rowCount(), 3);
}

void FrmMainTest::startSettingsFollowTheDocumentAndAreCheckedWhereTyped() {
  QCheckBox* starts = m_form->CheckBox(kRandomStarts);
  QCheckBox* stop = m_form->CheckBox(kLogLikelihoodStop);
  const QList<int> counts = {kStartCount, kFinalStartCount, kFirstStageIterations, kStartSeed};
  QFile example(kov::editor::test::ExamplePath(QStringLiteral("stouffer_toby.cnt")));
  QVERIFY(example.open(QIODevice::ReadOnly));
  const QString path = m_temp.filePath(QStringLiteral("starts.cnt"));
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(example.readAll() + "'STARTS' 40 10 100 12345\n'STOP' 0.0001\n");
  file.close();

  QVERIFY(m_document->Open(path));
  QCOMPARE(m_ui.MessageTexts(), QStringList());
  QVERIFY(starts->isChecked());
  QVERIFY(stop->isChecked());
  QStringList shown;
  for (int id : counts) shown << Text(id);
  QCOMPARE(shown, QStringList({"40", "10", "100", "12345"}));
  QCOMPARE(Text(kLogLikelihoodCriterion), QStringLiteral("0.0001"));

  QSignalSpy notes(m_form.get(), &frmMain::Note);
  struct Entry {
    int id;
    QString typed;
    QString stored;  // what the document and the field hold afterwards
    QString note;
  };
  const Entry entries[] = {
      {kStartCount, "20000", "40", "Number of starts must be a whole number from 0 to 10000 (0 takes 20); 20000 was not taken"},
      {kFinalStartCount, "41", "10",
       "The starts run to convergence (41) cannot be more than the number of starts (40); 41 was not taken"},
      {kStartCount, "9", "40",
       "The starts run to convergence (10) cannot be more than the number of starts (9); 9 was not taken"},
      {kFinalStartCount, "2", "2", {}},
      {kStartCount, "9", "9", {}},
      {kStartCount, "0", "0", {}},
      {kFinalStartCount, "50", "50", {}},  // 0 starts take the engine's default: nothing to compare
      {kStartSeed, "2147483648", "12345",
       "Seed of the random starts must be a whole number from 0 to 2147483647; 2147483648 was not taken"},
      {kLogLikelihoodCriterion, "0", "0.0001", "The log-likelihood stop criterion must be a number above 0; 0 was not taken"},
      {kLogLikelihoodCriterion, "1e-8", "0.00000001", {}},
  };
  for (const Entry& entry : entries) {
    notes.clear();
    Type(entry.id, entry.typed);
    QCOMPARE(DisplayedValue(entry.id), entry.stored);
    QCOMPARE(notes.isEmpty() ? QString() : notes.front().front().toString(), entry.note);
    if (!entry.note.isEmpty()) QCOMPARE(Text(entry.id), entry.stored);
  }

  // The check boxes turn the lines and their fields on and off.
  starts->click();
  QCOMPARE(m_document->vGetInterfaceValue(kRandomStarts), QVariant(false));
  for (int id : counts) QVERIFY(!m_form->TextInput(id)->isEnabled());
  QVERIFY(m_form->TextInput(kLogLikelihoodCriterion)->isEnabled());
  stop->click();
  QVERIFY(!m_form->TextInput(kLogLikelihoodCriterion)->isEnabled());

  // A new document shows the defaults, both lines off.
  m_ui.answers << Answer::kYes;
  QVERIFY(m_document->New());
  QVERIFY(!starts->isChecked());
  QVERIFY(!stop->isChecked());
  shown.clear();
  for (int id : counts) shown << Text(id);
  QCOMPARE(shown, QStringList({"20", "5", "50", "0"}));
}

QTEST_MAIN(FrmMainTest)
#include "frm_main_test.moc"
