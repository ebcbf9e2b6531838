// The grids as the window shows them: every grid through its table model (each under
// QAbstractItemModelTester), the colours and locks of both run types, the typed-character
// filters, the commit checks, the resizing that follows the counts, the selectors, and every
// reading and writing message.
#include <QAbstractItemModelTester>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <map>
#include <memory>

#include "document/document.h"
#include "grids/grid_set.h"
#include "grids/grid_table_model.h"
#include "grids/kov_grid_implementer.h"
#include "grids/start_values.h"
#include "scripted_ui.h"
#include "test_files.h"

namespace kov::grids::test {

namespace {

using namespace kov::document;
using document::test::Answer;
using document::test::ReadBytes;
using document::test::ScriptedUi;
using document::test::WriteBytes;

const QString kReadFailure = QStringLiteral("At least one error was encountered in reading the control file.");
const QString kContinue = QStringLiteral(".\nContinue loading control file?");
const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

QString SmallPath() { return QStringLiteral(GRIDS_TEST_DATA "/small.cnt"); }

// small.cnt with line n (from 0) and those after it replaced by the lines of text.
QByteArray SmallWithLine(int n, const QByteArray& text) {
  QList<QByteArray> lines = ReadBytes(SmallPath()).split('\n');
  for (const QByteArray& line : text.split('\n')) lines[n++] = line;
  return lines.join('\n');
}

QColor Base() { return QGuiApplication::palette().color(QPalette::Active, QPalette::Base); }
QColor Highlight() { return QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight); }
QColor GrayText() { return QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text); }

// A document with the fourteen grids, each shown through its own model under the tester.
struct Fixture {
  ScriptedUi ui;
  Document document{ui, ui};
  GridSet grids{document};
  std::map<int, std::unique_ptr<GridTableModel>> models;
  std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
  QTemporaryDir dir;

  Fixture() {
    for (int identity = 0; identity < kGridCount; ++identity) {
      models[identity] = std::make_unique<GridTableModel>(grids, identity);
      testers.push_back(std::make_unique<QAbstractItemModelTester>(
          models[identity].get(), QAbstractItemModelTester::FailureReportingMode::QtTest));
    }
  }
  GridTableModel& operator[](int identity) { return *models.at(identity); }
  KovGrid& grid(int identity) { return *grids.Grid(identity); }
  bool Open(const QByteArray& bytes) {
    const QString path = dir.filePath(QStringLiteral("input.cnt"));
    return WriteBytes(path, bytes) && document.Open(path);
  }
  QString Saved(const QString& name) { return dir.filePath(name); }
};

QString Cell(const GridTableModel& model, int row, int column) {
  return model.data(model.index(row, column)).toString();
}
QColor Fore(const GridTableModel& model, int row, int column) {
  return model.data(model.index(row, column), Qt::ForegroundRole).value<QBrush>().color();
}
QColor Back(const GridTableModel& model, int row, int column) {
  return model.data(model.index(row, column), Qt::BackgroundRole).value<QBrush>().color();
}
// The WCAG contrast ratio of two colours, from 1 (the same) to 21 (black on white).
double Contrast(const QColor& a, const QColor& b) {
  const auto luminance = [](const QColor& c) {
    const auto linear = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
  };
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool Editable(const GridTableModel& model, int row, int column) {
  return model.flags(model.index(row, column)).testFlag(Qt::ItemIsEditable);
}

}  // namespace

class GridsTest : public QObject {
  Q_OBJECT

 private slots:
  void dimensionalizeKeepsOrClearsCells();
  void restrictionZeroPaintsStartingValueBlackOnRed();
  void dataAugmentationLocksEveryGrid();
  void everyCellIsReadableCurrentOrNot();
  void committedValuesAreChecked();
  void typedCharactersAreFiltered();
  void delegatePassesKeysThroughTheFilter();
  void minusOneReadsAsEmptyAndIsWrittenBack();
  void labelsAreCutToEightCharactersOnCommit();
  void numberOfCategoriesResizesItemsAndLittleRho();
  void changingTheNumberOfClassesResizesDependentGrids();
  void selectorsNameClassesAndTransitions();
  void readingMessages_data();
  void readingMessages();
  void valueReadPastNamesItsLineAndField();
  void writingMessages_data();
  void writingMessages();
  void refusedOrCutEntriesSayWhy_data();
  void refusedOrCutEntriesSayWhy();
  void startValueRowsAreCheckedAsTheEngineChecksThem_data();
  void startValueRowsAreCheckedAsTheEngineChecksThem();
  void fillRespectsFixedAndTiedEntries_data();
  void fillRespectsFixedAndTiedEntries();
};

void GridsTest::dimensionalizeKeepsOrClearsCells() {
  KovGridImplementer grid;
  grid.Dimensionalize(1, 2, 0, 1, false);
  grid.SetCellValue(2, 1, QStringLiteral("x"));
  grid.SetRepaintStatus(kRepaintNone);
  // Refused: a first row below 1, a negative first column, a first column beyond the last.
  grid.Dimensionalize(0, 3, 0, 1, true);
  grid.Dimensionalize(1, 3, -1, 1, true);
  grid.Dimensionalize(1, 3, 2, 1, true);
  QCOMPARE(grid.iRowUpperBound(), 2);
  QCOMPARE(grid.iRepaintStatus(), int(kRepaintNone));

  grid.Dimensionalize(1, 3, 0, 2, true);
  QCOMPARE(grid.vCellValue(2, 1).toString(), QStringLiteral("x"));
  QCOMPARE(grid.vCellValue(3, 2), QVariant(QString()));  // new cells hold empty text
  QCOMPARE(grid.iLastBookmark(), 3);
  QCOMPARE(grid.iRepaintStatus(), int(kRepaintCells));
  grid.Dimensionalize(1, 1, 0, 2, true);
  grid.Dimensionalize(1, 3, 0, 2, true);
  QCOMPARE(grid.vCellValue(2, 1).toString(), QString());  // row 2 was dropped in between
  grid.SetCellValue(1, 1, QStringLiteral("y"));
  grid.Dimensionalize(1, 3, 0, 2, false);
  QCOMPARE(grid.vCellValue(1, 1).toString(), QString());
}

void GridsTest::restrictionZeroPaintsStartingValueBlackOnRed() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  // Gamma codes "1 0": class 2 is fixed at its starting value 0.4.
  GridTableModel& start = f[kGammaStartingValues];
  QCOMPARE(Cell(start, 1, 1), QStringLiteral("0.4"));
  QCOMPARE(Fore(start, 1, 1), kBlack);
  QCOMPARE(Back(start, 1, 1), kRed);
  QVERIFY(Editable(start, 1, 1));
  QCOMPARE(Back(start, 0, 1), Base());
  // The cursor's cell shows as current over the fixed colours.
  start.SetCurrentCell(start.index(1, 1));
  QCOMPARE(Back(start, 1, 1), Highlight());
  start.SetCurrentCell({});

  QSignalSpy repainted(&start, &QAbstractItemModel::dataChanged);
  GridTableModel& codes = f[kGammaRestrictions];
  QVERIFY(codes.setData(codes.index(1, 1), QStringLiteral("1")));
  QVERIFY(!repainted.isEmpty());
  QCOMPARE(Back(start, 1, 1), Base());

  // Little rho: category 3 of item 1 (rows item by item, 3 categories each: row 2) is fixed
  // in both classes, category 3 of item 2 (row 5) is not.
  GridTableModel& littleRho = f[kLittleRhoStartingValues];
  QCOMPARE(Back(littleRho, 2, 1), kRed);
  QCOMPARE(Back(littleRho, 2, 2), kRed);
  QCOMPARE(Back(littleRho, 5, 1), Base());

  // Big rho: one starting value for all occasions is fixed when any occasion's code is 0;
  // class 1 has 0 for item 1, category 1 (row 0), status 2 at time 2.
  GridTableModel& bigRho = f[kBigRhoStartingValues];
  QCOMPARE(bigRho.SelectedEntry(), 0);
  QCOMPARE(Back(bigRho, 0, 2), kRed);
  QCOMPARE(Back(bigRho, 0, 1), Base());
  bigRho.SelectEntry(1);
  QCOMPARE(Back(bigRho, 0, 2), Base());
}

void GridsTest::everyCellIsReadableCurrentOrNot() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  // Captions, codes and starting values, plain, fixed and under the cursor: text and background
  // keep at least the contrast of grey text that can still be read (3:1).
  for (int identity = 0; identity < kGridCount; ++identity) {
    GridTableModel& model = f[identity];
    for (int row = 0; row < model.rowCount(); ++row) {
      for (int column = 0; column < model.columnCount(); ++column) {
        for (const bool current : {false, true}) {
          model.SetCurrentCell(current ? model.index(row, column) : QModelIndex());
          const double contrast = Contrast(Fore(model, row, column), Back(model, row, column));
          QVERIFY2(contrast >= 3.0, qPrintable(QStringLiteral("grid %1 cell %2,%3%4: %5 on %6")
                                                   .arg(identity).arg(row).arg(column)
                                                   .arg(current ? QStringLiteral(" current") : QString())
                                                   .arg(Fore(model, row, column).name(), Back(model, row, column).name())));
        }
      }
    }
  }
}

void GridsTest::dataAugmentationLocksEveryGrid() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  f.grids.SetRunType(RunType::kDa);
  for (int identity = 0; identity < kGridCount; ++identity) {
    const GridTableModel& model = f[identity];
    QVERIFY2(model.rowCount() > 0 && model.columnCount() > 1, qPrintable(QString::number(identity)));
    for (int row = 0; row < model.rowCount(); ++row) {
      for (int column = 0; column < model.columnCount(); ++column) {
        QVERIFY2(!Editable(model, row, column), qPrintable(QStringLiteral("grid %1").arg(identity)));
        QCOMPARE(Fore(model, row, column), GrayText());
      }
    }
  }
  // Fixed starting values stay red; everything else has the window colour.
  QCOMPARE(Back(f[kGammaStartingValues], 1, 1), kRed);
  QCOMPARE(Back(f[kGammaStartingValues], 0, 1), Base());
  GridTableModel& codes = f[kGammaRestrictions];
  QVERIFY(!codes.setData(codes.index(0, 1), QStringLiteral("0")));
  QCOMPARE(Cell(codes, 0, 1), QStringLiteral("1"));

  f.grids.SetRunType(RunType::kEm);
  QVERIFY(Editable(codes, 0, 1));
  QVERIFY(!Editable(codes, 0, 0));
  QVERIFY(codes.setData(codes.index(0, 1), QStringLiteral("0")));
}

void GridsTest::committedValuesAreChecked() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  GridTableModel& start = f[kGammaStartingValues];
  const QModelIndex cell = start.index(0, 1);
  for (const char* refused : {"1.5", "-0.1", "", "abc", "1e1", "0.5.5"}) {
    QVERIFY2(!start.setData(cell, QString::fromLatin1(refused)), refused);
    QCOMPARE(Cell(start, 0, 1), QStringLiteral("0.6"));
  }
  QVERIFY(!f.document.IsModified());
  QCOMPARE(f.ui.messages, QStringList());

  QVERIFY(start.setData(cell, QStringLiteral("0")));
  QVERIFY(f.document.IsModified());
  QVERIFY(start.setData(cell, QStringLiteral("1")));
  QVERIFY(start.setData(cell, QStringLiteral("2.5e-1")));
  QCOMPARE(Cell(start, 0, 1), QStringLiteral("2.5e-1"));
  // A decimal comma is kept as the point the engine reads.
  QVERIFY(start.setData(cell, QStringLiteral("0,25")));
  QCOMPARE(Cell(start, 0, 1), QStringLiteral("0.25"));

  // Codes: numeric and not negative.
  GridTableModel& codes = f[kDeltaRestrictions];
  QVERIFY(!codes.setData(codes.index(0, 1), QStringLiteral("-1")));
  QVERIFY(!codes.setData(codes.index(0, 1), QStringLiteral("two")));
  QVERIFY(codes.setData(codes.index(0, 1), QStringLiteral("3")));
  QCOMPARE(Cell(codes, 0, 1), QStringLiteral("3"));
  // The caption column takes no edit.
  QVERIFY(!codes.setData(codes.index(0, 0), QStringLiteral("X")));
  QCOMPARE(Cell(codes, 0, 0), QStringLiteral("Alpha"));
}

void GridsTest::typedCharactersAreFiltered() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  struct Case {
    int identity;
    int bookmark;
    int column;
    const char* cellText;
    int key;
    bool passes;
  };
  const Case cases[] = {
      // Codes: digits only, while the cell holds fewer than 10 characters.
      {kGammaRestrictions, 1, 1, "", '5', true},
      {kGammaRestrictions, 1, 1, "", 'a', false},
      {kGammaRestrictions, 1, 1, "", '-', false},
      {kGammaRestrictions, 1, 1, "", '.', false},
      {kGammaRestrictions, 1, 1, "123456789", '0', true},
      {kGammaRestrictions, 1, 1, "1234567890", '0', false},
      {kGammaRestrictions, 1, 1, "1234567890", 8, true},  // backspace and other controls pass
      // Starting values: digits, point, comma and one exponent, fewer than 20 characters.
      {kGammaStartingValues, 1, 1, "0", '.', true},
      {kGammaStartingValues, 1, 1, "0.5", '.', false},
      {kGammaStartingValues, 1, 1, "0.5", ',', true},
      {kGammaStartingValues, 1, 1, "1", 'e', true},
      {kGammaStartingValues, 1, 1, "1e", 'E', false},
      {kGammaStartingValues, 1, 1, "1E", 'e', false},
      {kGammaStartingValues, 1, 1, "", '-', false},
      {kGammaStartingValues, 1, 1, "0.12345678901234567", '8', true},
      {kGammaStartingValues, 1, 1, "0.123456789012345678", '9', false},
      // Labels take anything, a ninth character too; captions nothing.
      {kClassLabels, 1, 1, "ABCDEFGH", 'I', true},
      {kClassLabels, 1, 0, "", 'x', false},
      // The number of an item's categories: digits.
      {kClassItems, 1, 2, "", '3', true},
      {kClassItems, 1, 2, "", 'x', false},
  };
  for (const Case& c : cases) {
    int key = c.key;
    f.grid(c.identity).GridKeyPress(key, c.bookmark, c.column, QString::fromLatin1(c.cellText));
    QVERIFY2((key == c.key) == c.passes && (key == 0) != c.passes,
             qPrintable(QStringLiteral("grid %1, \"%2\" + '%3'").arg(c.identity).arg(c.cellText).arg(QChar(c.key))));
  }
}

void GridsTest::delegatePassesKeysThroughTheFilter() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  GridTableModel& start = f[kGammaStartingValues];
  GridItemDelegate delegate;
  QWidget parent;
  const QModelIndex cell = start.index(0, 1);
  std::unique_ptr<QWidget> editor(delegate.createEditor(&parent, QStyleOptionViewItem(), cell));
  auto* line = qobject_cast<QLineEdit*>(editor.get());
  QVERIFY(line != nullptr);
  line->clear();
  // "0.2.5x": the second point and the letter are refused.
  QTest::keyClicks(line, QStringLiteral("0.2.5x"));
  QCOMPARE(line->text(), QStringLiteral("0.25"));
  delegate.setModelData(line, &start, cell);
  QCOMPARE(Cell(start, 0, 1), QStringLiteral("0.25"));
}

void GridsTest::minusOneReadsAsEmptyAndIsWrittenBack() {
  Fixture f;
  // A code of -1 as well: gamma codes "-1 0".
  QVERIFY(f.Open(SmallWithLine(21, "-1 0")));
  QCOMPARE(Cell(f[kGammaRestrictions], 0, 1), QString());
  // Big rho starting values of class 1, category 1, status 2: "0.1 -1", item 2 empty.
  GridTableModel& bigRho = f[kBigRhoStartingValues];
  QCOMPARE(Cell(bigRho, 0, 2), QStringLiteral("0.1"));
  QCOMPARE(Cell(bigRho, 2, 2), QString());
  QVERIFY(!Editable(bigRho, 2, 0));

  const QString path = f.Saved(QStringLiteral("minus_one.cnt"));
  QVERIFY(f.document.SaveAs(path));
  const QList<QByteArray> lines = ReadBytes(path).split('\n');
  QCOMPARE(lines[21], QByteArray("-1 0"));
  QCOMPARE(lines[70], QByteArray("0.1 -1"));
}

void GridsTest::labelsAreCutToEightCharactersOnCommit() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  GridTableModel& labels = f[kClassLabels];
  QVERIFY(labels.setData(labels.index(0, 1), QStringLiteral("ABCDEFGHI")));
  QCOMPARE(Cell(labels, 0, 1), QStringLiteral("ABCDEFGH"));
  // The grids that show class labels follow.
  QCOMPARE(Cell(f[kGammaRestrictions], 0, 0), QStringLiteral("ABCDEFGH"));
  QCOMPARE(f[kLittleRhoRestrictions].headerData(1, Qt::Horizontal).toString(), QStringLiteral("ABCDEFGH"));
  QCOMPARE(f[kTauRestrictions].SelectorEntries().front(), QStringLiteral("ABCDEFGH - Time 1x2"));

  GridTableModel& items = f[kClassItems];
  QVERIFY(items.setData(items.index(1, 1), QStringLiteral("Question2")));
  QCOMPARE(Cell(items, 1, 1), QStringLiteral("Question"));
  QVERIFY(items.setData(items.index(1, 5), QStringLiteral("Category3")));
  QCOMPARE(Cell(items, 1, 5), QStringLiteral("Category"));
  QCOMPARE(Cell(f[kLittleRhoRestrictions], 5, 0), QStringLiteral("Question - Category"));
}

void GridsTest::numberOfCategoriesResizesItemsAndLittleRho() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  GridTableModel& items = f[kClassItems];
  GridTableModel& littleRho = f[kLittleRhoStartingValues];
  QCOMPARE(items.columnCount(), 6);  // caption, name, count, 3 category labels
  QVERIFY(!Editable(items, 0, 5));   // item 1 has 2 categories: no third label
  QVERIFY(Editable(items, 1, 5));
  QCOMPARE(Cell(littleRho, 4, 2), QStringLiteral("0.3"));  // item 2, category 2, class 2

  QVERIFY(!items.setData(items.index(0, 2), QStringLiteral("x")));
  // The count is cut to two characters.
  QVERIFY(items.setData(items.index(0, 2), QStringLiteral("456")));
  QCOMPARE(Cell(items, 0, 2), QStringLiteral("45"));
  QCOMPARE(f.grid(kClassItems).vCellValue(1, 2).toString(), QStringLiteral("45"));
  QVERIFY(items.setData(items.index(0, 2), QStringLiteral("4")));
  QCoreApplication::processEvents();
  QCOMPARE(items.columnCount(), 7);
  QCOMPARE(Cell(items, 0, 6), QStringLiteral("RC 4"));
  QCOMPARE(Cell(items, 1, 6), QString());
  // Little rho: 2 items x 4 categories, every value still at its item and category.
  QCOMPARE(littleRho.rowCount(), 8);
  QCOMPARE(Cell(littleRho, 5, 2), QStringLiteral("0.3"));  // item 2 (rows 4 to 7), category 2
  QCOMPARE(Cell(littleRho, 3, 1), QString());              // item 1, category 4: new
  QCOMPARE(Cell(f[kLittleRhoRestrictions], 3, 1), QStringLiteral("1"));
}

void GridsTest::changingTheNumberOfClassesResizesDependentGrids() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  QVERIFY(f.document.SetInterfaceValue(kClassCount, QStringLiteral("3")));
  QVERIFY(f.document.IsModified());

  QCOMPARE(f[kClassLabels].rowCount(), 3);
  QCOMPARE(Cell(f[kClassLabels], 1, 1), QStringLiteral("Beta"));
  QCOMPARE(Cell(f[kClassLabels], 2, 1), QStringLiteral("LC 3"));
  QCOMPARE(f[kGammaRestrictions].rowCount(), 3);
  QCOMPARE(Cell(f[kGammaRestrictions], 1, 1), QStringLiteral("0"));
  QCOMPARE(Cell(f[kGammaRestrictions], 2, 1), QStringLiteral("1"));
  QCOMPARE(Cell(f[kGammaStartingValues], 2, 1), QString());
  QCOMPARE(Cell(f[kGammaStartingValues], 2, 0), QStringLiteral("LC 3"));
  QCOMPARE(f[kDeltaStartingValues].rowCount(), 3);
  QCOMPARE(f[kLittleRhoRestrictions].columnCount(), 4);
  QCOMPARE(f[kTauRestrictions].SelectorEntries().size(), 6);  // 3 classes x 2 transitions
  QCOMPARE(f[kBigRhoRestrictions].SelectorEntries().size(), 9);  // 3 classes x 3 times
  QCOMPARE(f[kBigRhoStartingValues].SelectorEntries().size(), 3);
  QCOMPARE(f[kStatusLabels].rowCount(), 2);
  // Class 2's tau values stay class 2's: its first transition is entry 2.
  GridTableModel& tau = f[kTauStartingValues];
  tau.SelectEntry(2);
  QCOMPARE(Cell(tau, 1, 2), QStringLiteral("0.7"));

  // A grid that is not shown is resized when it is shown again.
  GridTableModel& gamma = f[kGammaRestrictions];
  gamma.SetShown(false);
  QVERIFY(f.document.SetInterfaceValue(kClassCount, QStringLiteral("1")));
  QCOMPARE(gamma.rowCount(), 3);
  gamma.SetShown(true);
  QCOMPARE(gamma.rowCount(), 1);
  QCOMPARE(f[kDeltaRestrictions].rowCount(), 1);
}

void GridsTest::selectorsNameClassesAndTransitions() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  GridTableModel& tau = f[kTauRestrictions];
  QCOMPARE(tau.SelectorEntries(),
           (QStringList{"Alpha - Time 1x2", "Alpha - Time 2x3", "Beta - Time 1x2", "Beta - Time 2x3"}));
  QCOMPARE(f[kBigRhoStartingValues].SelectorEntries(), (QStringList{"Alpha - All Times", "Beta - All Times"}));

  // A second-order process over four occasions: later rows are pairs of statuses, the later
  // occasion's varying fastest.
  f.document.SetInterfaceValue(kTimeCount, QStringLiteral("4"));
  f.document.SetInterfaceValue(kFirstOrder, false);
  QCOMPARE(tau.SelectorEntries().mid(0, 3),
           (QStringList{"Alpha - Time 1x2", "Alpha - Time 1,2x3", "Alpha - Time 2,3x4"}));
  tau.SelectEntry(1);
  QCOMPARE(tau.rowCount(), 4);
  QCOMPARE(Cell(tau, 0, 0), QStringLiteral("Lo,Lo"));
  QCOMPARE(Cell(tau, 1, 0), QStringLiteral("Lo,Hi"));
  QCOMPARE(Cell(tau, 2, 0), QStringLiteral("Hi,Lo"));
  QCOMPARE(tau.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Hi"));
  tau.SelectEntry(0);
  QCOMPARE(tau.rowCount(), 2);
  QCOMPARE(Cell(tau, 1, 0), QStringLiteral("Hi"));

  // One class and no class items: the entries name only the transitions and the times.
  f.document.SetInterfaceValue(kClassCount, 1);
  f.document.SetInterfaceValue(kClassItemCount, 0);
  QCOMPARE(tau.SelectorEntries(), (QStringList{"Time 1x2", "Time 1,2x3", "Time 2,3x4"}));
  QCOMPARE(f[kBigRhoRestrictions].SelectorEntries(),
           (QStringList{"Time 1", "Time 2", "Time 3", "Time 4"}));
  QCOMPARE(f[kBigRhoStartingValues].SelectorEntries(), QStringList{"All Times"});
}

void GridsTest::readingMessages_data() {
  QTest::addColumn<int>("line");
  QTest::addColumn<QByteArray>("text");
  QTest::addColumn<bool>("continueLoading");
  QTest::addColumn<QStringList>("questions");
  QTest::addColumn<QStringList>("messages");
  // Lines of small.cnt from 0: labels 15-16, items 17-20, codes from 21 (gamma, delta, tau
  // 23-26, little rho 27-32, big rho 33-56), starting values from 57 (gamma, delta, tau
  // 59-62, little rho 63-68, big rho 69-76).
  const QStringList none;
  QTest::newRow("gamma count") << 21 << QByteArray("1 0 1") << false << none
                               << QStringList{"Invalid number of Gamma Constraints", kReadFailure};
  QTest::newRow("gamma value, stop") << 21 << QByteArray("1 y") << false
                                     << QStringList{"Invalid Gamma Constraint for class 2" + kContinue}
                                     << QStringList{kReadFailure};
  QTest::newRow("gamma start, go on") << 57 << QByteArray("0.6 x") << true
                                      << QStringList{"Invalid Gamma Starting Value for class 2" + kContinue}
                                      << none;
  QTest::newRow("two values, one question afterwards")
      << 57 << QByteArray("x y") << true
      << QStringList{"Invalid Gamma Starting Value for class 1.\nInvalid Gamma Starting Value for class 2" + kContinue}
      << none;
  QTest::newRow("delta") << 22 << QByteArray("1 1 z 1") << true
                         << QStringList{"Invalid Delta constraints for class 2" + kContinue} << none;
  QTest::newRow("delta start missing value") << 58 << QByteArray("0.5 0.5 0.5") << true
                                             << QStringList{"Invalid Delta starting value for class 2" + kContinue}
                                             << none;
  QTest::newRow("tau later rows") << 24 << QByteArray("1 1 1 q") << true
                                  << QStringList{"Invalid Tau constraint class 1, time 2" + kContinue} << none;
  QTest::newRow("tau start") << 61 << QByteArray("0.8 0.2 0.3 w") << true
                             << QStringList{"Invalid Tau starting value class 2, time 1" + kContinue} << none;
  QTest::newRow("little rho") << 28 << QByteArray("1 v") << false << none
                              << QStringList{"Invalid Little Rho constraint for response category 1,class 2, item 2",
                                             kReadFailure};
  QTest::newRow("little rho start") << 67 << QByteArray("v 0.2") << false << none
                                    << QStringList{"Invalid Little Rho starting value for response category 3,class 1, item 1",
                                                   kReadFailure};
  QTest::newRow("big rho") << 37 << QByteArray("2 u") << true
                           << QStringList{"Invalid RHO constraint for time 2, class 1" + kContinue} << none;
  QTest::newRow("big rho start") << 73 << QByteArray("u 0.8") << true
                                 << QStringList{"Invalid RHO starting value for time 1, class 2" + kContinue} << none;
  QTest::newRow("class label") << 15 << QByteArray("'Alpha' Beta") << false << none
                               << QStringList{"Invalid label for class2", kReadFailure};
  QTest::newRow("status item label") << 20 << QByteArray("S2 'Y' 'N'") << false << none
                                     << QStringList{"Invalid label for status item 2", kReadFailure};
  QTest::newRow("category label") << 18 << QByteArray("'Q2' 'A' B 'C'") << false << none
                                  << QStringList{"Invalid label for class item 2, response category2", kReadFailure};
  QTest::newRow("category labels count") << 18 << QByteArray("'Q2' 'A' 'B'") << false << none
                                         << QStringList{"An invalid number of Status RC labels were found for item 2.\n"
                                                        "Expected:  3  Found: 2",
                                                        kReadFailure};
  // Reading stops after a value it read past: nothing is asked, and both are shown afterwards.
  QTest::newRow("value read past, then a stop")
      << 26 << QByteArray("1 1 1 q\n1 v") << false << none
      << QStringList{"Invalid Tau constraint class 2, time 2.",
                     "Invalid Little Rho constraint for response category 1,class 1, item 2",
                     kReadFailure};
}

void GridsTest::readingMessages() {
  QFETCH(int, line);
  QFETCH(QByteArray, text);
  QFETCH(bool, continueLoading);
  QFETCH(QStringList, questions);
  QFETCH(QStringList, messages);
  Fixture f;
  f.ui.answers = {Answer::kYes};  // only the "go on" rows ask; a second question is answered No
  if (!continueLoading && !questions.isEmpty()) f.ui.answers = {Answer::kNo};
  QCOMPARE(f.Open(SmallWithLine(line, text)), continueLoading);
  QStringList asked;
  for (const ScriptedUi::Question& question : f.ui.questions) asked << question.text;
  QCOMPARE(asked, questions);
  QCOMPARE(f.ui.messages, messages);
  if (!continueLoading) {
    // The failed read leaves a new document.
    QCOMPARE(f.document.vGetInterfaceValue(kClassCount).toInt(), 0);
    QVERIFY(f.document.Path().isEmpty());
  }
}

void GridsTest::valueReadPastNamesItsLineAndField() {
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  // The section read from the file's second line: the line counts from the file's start.
  const QStringList lines{QStringLiteral("1 1 1"), QStringLiteral("0.6 x")};
  std::vector<Diagnostic> replaced;
  int next = 0;
  QVERIFY(f.grid(kGammaStartingValues).bReadData(lines, 1, next, replaced));
  QCOMPARE(next, 2);
  QCOMPARE(replaced.size(), std::size_t{1});
  QCOMPARE(replaced.front().line, 2);
  QCOMPARE(replaced.front().field, QStringLiteral("Gamma Starting Value for class 2"));
  QCOMPARE(replaced.front().message, QStringLiteral("Invalid Gamma Starting Value for class 2."));
  QCOMPARE(Cell(f[kGammaStartingValues], 1, 1), QString());
  // A failure that stops the reading follows, on its own line, and is shown by no grid.
  QVERIFY(!f.grid(kGammaRestrictions).bReadData(lines, 0, next, replaced));
  QCOMPARE(replaced.size(), std::size_t{2});
  QCOMPARE(replaced.back().line, 1);
  QCOMPARE(replaced.back().message, QStringLiteral("Invalid number of Gamma Constraints"));
  QVERIFY(f.ui.questions.isEmpty());
  QVERIFY(f.ui.messages.isEmpty());
}

void GridsTest::writingMessages_data() {
  QTest::addColumn<int>("identity");
  QTest::addColumn<int>("entry");
  QTest::addColumn<int>("bookmark");
  QTest::addColumn<int>("column");
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("message");
  // A code typed with digits only passes the commit check but must still be a 16-bit number.
  QTest::newRow("gamma code") << int(kGammaRestrictions) << -1 << 1 << 1 << "40000"
                              << "Invalid Gamma Constraint for Class 1";
  QTest::newRow("gamma start") << int(kGammaStartingValues) << -1 << 2 << 1 << "x"
                               << "Invalid Gamma Starting Value for Class 2";
  QTest::newRow("delta code") << int(kDeltaRestrictions) << -1 << 2 << 1 << "x"
                              << "Invalid Delta constraint for class 2";
  QTest::newRow("delta start") << int(kDeltaStartingValues) << -1 << 1 << 2 << "x"
                               << "Invalid Delta starting value for class 1";
  // Tau store rows: class 1 rows 1-4 (rows 3-4 the transition from time 2), class 2 rows 5-8.
  QTest::newRow("tau code") << int(kTauRestrictions) << -1 << 3 << 1 << "x"
                            << "Invalid Tau constraint class 1, time 2";
  QTest::newRow("tau start") << int(kTauStartingValues) << -1 << 6 << 2 << "x"
                             << "Invalid Tau starting value class 2, time 1";
  // Little rho row 5: item 2, category 2.
  QTest::newRow("little rho") << int(kLittleRhoRestrictions) << -1 << 5 << 2 << "x"
                              << "Invalid Little Rho constraint for response category 2,class 2, item 2";
  // Big rho entry 5: class 2 at time 3.
  QTest::newRow("big rho") << int(kBigRhoRestrictions) << 5 << 1 << 1 << "x"
                           << "Failure saving Big Rho:\nInvalid RHO constraint for time 3, class 2";
  QTest::newRow("big rho start") << int(kBigRhoStartingValues) << 1 << 4 << 2 << "x"
                                 << "Failure saving Big Rho:\nInvalid RHO starting value for time 1, class 2";
}

void GridsTest::writingMessages() {
  QFETCH(int, identity);
  QFETCH(int, entry);
  QFETCH(int, bookmark);
  QFETCH(int, column);
  QFETCH(QString, text);
  QFETCH(QString, message);
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  if (entry >= 0) f[identity].SelectEntry(entry);
  // Typed where it can be, set directly where no commit would let it through.
  if (!f[identity].setData(f[identity].index(bookmark - f[identity].Bookmark(0), column), text)) {
    f.grid(identity).SetCellValue(bookmark, column, text);
  }
  const QString path = f.Saved(QStringLiteral("never.cnt"));
  QVERIFY(!f.document.SaveAs(path));
  QCOMPARE(f.ui.messages, QStringList{message});
  QVERIFY(!QFile::exists(path));
}


void GridsTest::refusedOrCutEntriesSayWhy_data() {
  QTest::addColumn<int>("identity");
  QTest::addColumn<int>("row");
  QTest::addColumn<int>("column");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<bool>("accepted");
  QTest::addColumn<QString>("note");
  const int gamma = kGammaStartingValues;
  QTest::newRow("letters") << gamma << 0 << 1 << "abc" << false
                           << "\"abc\" is not a number: a starting value is a probability from 0 to 1";
  QTest::newRow("above one") << gamma << 0 << 1 << "1.5" << false
                             << "1.5 is not a probability: a starting value lies from 0 to 1";
  QTest::newRow("negative") << gamma << 0 << 1 << "-0.1" << false
                            << "-0.1 is not a probability: a starting value lies from 0 to 1";
  QTest::newRow("a probability") << gamma << 0 << 1 << "0.25" << true << "";
  QTest::newRow("code in words") << int(kDeltaRestrictions) << 0 << 1 << "two" << false
                                 << "\"two\" is not a restriction code: type 0 (fixed), 1 (free) or 2 and up (equal)";
  QTest::newRow("long label") << int(kClassLabels) << 0 << 1 << "ABCDEFGHIJ" << true
                              << "Labels are at most 8 characters: \"ABCDEFGHIJ\" was cut to \"ABCDEFGH\"";
  QTest::newRow("short label") << int(kClassLabels) << 0 << 1 << "ABC" << true << "";
}

void GridsTest::refusedOrCutEntriesSayWhy() {
  QFETCH(int, identity);
  QFETCH(int, row);
  QFETCH(int, column);
  QFETCH(QString, typed);
  QFETCH(bool, accepted);
  QFETCH(QString, note);
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  GridTableModel& model = f[identity];
  QSignalSpy notes(&model, &GridTableModel::CommitNote);
  QCOMPARE(model.setData(model.index(row, column), typed), accepted);
  QCOMPARE(f.grid(identity).sCommitNote(), note);
  QCOMPARE(notes.size(), note.isEmpty() ? 0 : 1);
  // Said where the user types, not in a box.
  QCOMPARE(f.ui.messages, QStringList());
}

void GridsTest::startValueRowsAreCheckedAsTheEngineChecksThem_data() {
  QTest::addColumn<int>("identity");
  QTest::addColumn<int>("row");
  QTest::addColumn<int>("column");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QStringList>("problems");
  // small.cnt has one empty starting value: big rho of item S2, category Y, status Hi, class Alpha.
  const QString missing = QStringLiteral("RHO starting value, row S2 in status Hi, class Alpha: a value is missing");
  QTest::newRow("as read") << int(kGammaStartingValues) << 0 << 1 << "0.6" << QStringList{missing};
  // 0.59 + 0.4 is 0.01 short of one: the engine's tolerance takes it.
  QTest::newRow("within the tolerance") << int(kGammaStartingValues) << 0 << 1 << "0.59" << QStringList{missing};
  QTest::newRow("gamma short") << int(kGammaStartingValues) << 0 << 1 << "0.5"
                               << QStringList{"Gamma Starting Value, row of the class proportions: the values sum to 0.9, not 1",
                                              missing};
  // Tau: class Alpha's first row, from status Lo, holds 0.8 0.2.
  QTest::newRow("tau over") << int(kTauStartingValues) << 0 << 1 << "0.9"
                            << QStringList{"Tau starting value, row Lo (class Alpha, time 1x2): the values sum to 1.1, not 1",
                                           missing};
  // Big rho row 2 (item S2, category Y) of class Alpha, status Hi: the empty cell.
  QTest::newRow("missing filled") << int(kBigRhoStartingValues) << 2 << 2 << "0.3" << QStringList{};
}

void GridsTest::startValueRowsAreCheckedAsTheEngineChecksThem() {
  QFETCH(int, identity);
  QFETCH(int, row);
  QFETCH(int, column);
  QFETCH(QString, typed);
  QFETCH(QStringList, problems);
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  GridTableModel& model = f[identity];
  QVERIFY(model.setData(model.index(row, column), typed));
  QCOMPARE(FindStartValueProblems(f.grids), problems);
  // The cells of a bad row are marked, with the reason on the cell.
  const QModelIndex cell = model.index(row, column);
  const bool bad = !model.Grid().sCellNote(model.Bookmark(row), model.StoreColumn(column)).isEmpty();
  QCOMPARE(bad, problems.size() > 1);
  QCOMPARE(model.data(cell, Qt::ToolTipRole).isValid(), bad);
  QCOMPARE(Back(model, row, column) != Base(), bad);
  // The empty cell is marked until it holds a value.
  GridTableModel& bigRho = f[kBigRhoStartingValues];
  QCOMPARE(bigRho.data(bigRho.index(2, 2), Qt::ToolTipRole).isValid(), !problems.isEmpty());
}

void GridsTest::fillRespectsFixedAndTiedEntries_data() {
  QTest::addColumn<int>("kind");
  QTest::newRow("equal") << int(FillKind::kEqual);
  QTest::newRow("random") << int(FillKind::kRandom);
}

void GridsTest::fillRespectsFixedAndTiedEntries() {
  QFETCH(int, kind);
  Fixture f;
  QVERIFY(f.document.Open(SmallPath()));
  // small.cnt ties every big rho entry to one value, which its fixed entry cannot meet: free them.
  GridTableModel& bigRhoCodes = f[kBigRhoRestrictions];
  for (int entry = 0; entry < bigRhoCodes.SelectorEntries().size(); ++entry) {
    bigRhoCodes.SelectEntry(entry);
    for (int row = 0; row < bigRhoCodes.rowCount(); ++row) {
      for (int column = 1; column < bigRhoCodes.columnCount(); ++column) {
        if (Cell(bigRhoCodes, row, column) != QStringLiteral("0")) {
          QVERIFY(bigRhoCodes.setData(bigRhoCodes.index(row, column), QStringLiteral("1")));
        }
      }
    }
  }
  // Tie tau's two rows of class Alpha's first transition at their second entry.
  GridTableModel& tauCodes = f[kTauRestrictions];
  QVERIFY(tauCodes.setData(tauCodes.index(0, 2), QStringLiteral("2")));
  QVERIFY(tauCodes.setData(tauCodes.index(1, 2), QStringLiteral("2")));
  QVERIFY(HasTypedStartValues(f.grids));

  QVERIFY(FillStartValues(f.grids, static_cast<FillKind>(kind), 7) > 0);
  QCOMPARE(FindStartValueProblems(f.grids), QStringList());
  QVERIFY(f.document.IsModified());
  // Gamma of class 2 is fixed at 0.4: class 1 takes what is left.
  QCOMPARE(Cell(f[kGammaStartingValues], 1, 1), QStringLiteral("0.4"));
  QCOMPARE(Cell(f[kGammaStartingValues], 0, 1), QStringLiteral("0.6"));
  GridTableModel& tau = f[kTauStartingValues];
  QCOMPARE(Cell(tau, 0, 2), Cell(tau, 1, 2));
  // Equal rows share evenly; random rows do not (seed 7).
  const bool even = Cell(tau, 0, 1) == QStringLiteral("0.5") && Cell(f[kDeltaStartingValues], 0, 1) == QStringLiteral("0.5");
  QCOMPARE(even, kind == int(FillKind::kEqual));
  // Item Q1 has two categories: its third little rho row is 0.
  QCOMPARE(Cell(f[kLittleRhoStartingValues], 2, 1), QStringLiteral("0"));
}

}  // namespace kov::grids::test

QTEST_MAIN(kov::grids::test::GridsTest)
#include "grids_test.moc"
