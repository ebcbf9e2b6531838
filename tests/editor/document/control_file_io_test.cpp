// Reading and writing control files through the document: the examples round-trip byte for byte,
// quirks of the input read the same, and every reading and writing failure gives its message.
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "document/control_file_io.h"
#include "document/document.h"
#include "plain_grids.h"
#include "scripted_ui.h"
#include "test_files.h"

namespace kov::document::test {

namespace {

const QString kReadFailure = QStringLiteral("At least one error was encountered in reading the control file.");

// A document with plain grids, answered by a script.
struct Fixture {
  ScriptedUi ui;
  Document document{ui, ui};
  PlainGrids grids{document};
};

// The Stouffer and Toby example without its two comment lines.
QByteArray StoufferBody() {
  QList<QByteArray> lines = ReadBytes(ExamplePath(QStringLiteral("stouffer_toby.cnt"))).split('\n');
  return lines.mid(2).join('\n');
}

QByteArray Replace(QByteArray text, const QByteArray& from, const QByteArray& to) {
  Q_ASSERT(text.contains(from));
  return text.replace(from, to);
}

// A control file of no grid sections read without a document: the head, then the settings lines
// straight after it, with the findings of both halves.
ControlFileRead ReadWithoutSections(const QByteArray& text) {
  ControlFileRead read = ReadControlFile(text);
  const ControlFileRead settings = ReadSettingsLines(read.data.lines, read.data.sectionsStart);
  read.data.values.insert(settings.data.values.begin(), settings.data.values.end());
  read.data.keptLines = settings.data.keptLines;
  read.diagnostics.insert(read.diagnostics.end(), settings.diagnostics.begin(),
                          settings.diagnostics.end());
  return read;
}

const QByteArray kDefaultsText =
    "0 0 0 0 0 1 0 0 0\n'..' ''\n1 0 5000 0.000001\n'..'\n'..'\n'..'\n100 10 12345 "
    "0\n'..'\n'..'\n'..'\n'..'\n";

}  // namespace

class ControlFileIoTest : public QObject {
  Q_OBJECT

 private slots:
  void examplesRoundTripByteForByte_data();
  void examplesRoundTripByteForByte();
  void blankLinesAndLineEndsReadTheSame_data();
  void blankLinesAndLineEndsReadTheSame();
  void previousVersionIsConvertedOnSave();
  void eachBadModelValueGivesOneMessageAndTheFileOpens();
  void printResidualsAndEstimationTypeAreDerived_data();
  void printResidualsAndEstimationTypeAreDerived();
  void fileNamesAreCheckedAndQuoted();
  void twentyTwoCommentLinesFailTheModelInformation();
  void failingStepsStopReading_data();
  void failingStepsStopReading();
  void readerFindsWithoutADocument_data();
  void readerFindsWithoutADocument();
  void readsAndWritesWithoutADocument_data();
  void readsAndWritesWithoutADocument();
  void writerReportsTheFirstFailureInFileOrder_data();
  void writerReportsTheFirstFailureInFileOrder();
  void failingStepsLeaveTheFileUntouched_data();
  void failingStepsLeaveTheFileUntouched();
  void unwritablePathIsReported();
  void startSettingsAreReadAndSavedByteForByte_data();
  void startSettingsAreReadAndSavedByteForByte();
  void startSettingsAreSavedInTheFilesStyle_data();
  void startSettingsAreSavedInTheFilesStyle();

 private:
  QTemporaryDir m_dir;
};

void ControlFileIoTest::examplesRoundTripByteForByte_data() {
  QTest::addColumn<QString>("path");
  const QDir examples(QStringLiteral(MARNEL_EXAMPLES_DIR));
  const QStringList names = examples.entryList({QStringLiteral("*.cnt")}, QDir::Files, QDir::Name);
  QVERIFY(names.size() >= 4);
  for (const QString& name : names) QTest::newRow(qPrintable(name)) << examples.filePath(name);
}

void ControlFileIoTest::examplesRoundTripByteForByte() {
  QFETCH(QString, path);
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.ui.messages, QStringList());
  QVERIFY(!f.document.IsModified());
  QCOMPARE(f.document.Path(), path);

  const QString copy = m_dir.filePath(QStringLiteral("copy.cnt"));
  QVERIFY(f.document.SaveAs(copy));
  QCOMPARE(ReadBytes(copy), ReadBytes(path));
}

void ControlFileIoTest::blankLinesAndLineEndsReadTheSame_data() {
  QTest::addColumn<QByteArray>("text");
  const QByteArray original = ReadBytes(ExamplePath(QStringLiteral("lta.cnt")));
  QByteArray crlf = original;
  crlf.replace("\n", "\r\n");
  QByteArray blanks = original;
  blanks.replace("\n", "\n\n  \n\t\n");
  QByteArray crOnly = original;
  crOnly.replace("\n", "\r");
  QTest::newRow("carriage return line feed") << crlf;
  QTest::newRow("blank and whitespace lines everywhere") << QByteArray("\n \n") + blanks;
  QTest::newRow("bare carriage return") << crOnly;
  QTest::newRow("no line end after the last line") << original.chopped(1);
}

void ControlFileIoTest::blankLinesAndLineEndsReadTheSame() {
  QFETCH(QByteArray, text);
  const QString quirky = m_dir.filePath(QStringLiteral("quirky.cnt"));
  QVERIFY(WriteBytes(quirky, text));
  Fixture f;
  QVERIFY(f.document.Open(quirky));
  QCOMPARE(f.ui.messages, QStringList());
  const QString copy = m_dir.filePath(QStringLiteral("copy.cnt"));
  QVERIFY(f.document.SaveAs(copy));
  QCOMPARE(ReadBytes(copy), ReadBytes(ExamplePath(QStringLiteral("lta.cnt"))));
}

void ControlFileIoTest::previousVersionIsConvertedOnSave() {
  Fixture f;
  QVERIFY(f.document.Open(DataPath(QStringLiteral("previous_version.cnt"))));
  QCOMPARE(f.ui.messages, QStringList{QStringLiteral(
                              "This control file was saved by a previous version.\n"
                              "It will be converted if you choose to save it.")});
  QVERIFY(f.document.IsModified());
  // The tenth and fifth values of the previous layout: response patterns and subjects.
  QCOMPARE(f.document.vGetInterfaceValue(kResponsePatternCount).toInt(), 16);
  QCOMPARE(f.document.vGetInterfaceValue(kSubjectCount).toInt(), 216);

  const QString copy = m_dir.filePath(QStringLiteral("converted.cnt"));
  QVERIFY(f.document.SaveAs(copy));
  QVERIFY(!f.document.IsModified());
  // The current layout: nine values on the first line, four on the EM line, and the
  // data-augmentation block with its defaults (100 iterations between imputations, 10
  // imputations, the document's fresh seed, no individual estimates, no file names).
  const QByteArray seed = QByteArray::number(f.document.vGetInterfaceValue(kRandomSeed).toInt());
  const QByteArray expected =
      "'* Stouffer and Toby role conflict data, as the previous version saved it:'\n"
      "'* ten values on the first model line, five on the second, no data-augmentation block'\n"
      "2 0 4 0 0 1 1 0 0\n"
      "'stouffer_toby.dat' ''\n"
      "1 1 1000 0.0000001\n"
      "'stouffer_toby.out'\n'..'\n'stouffer_toby.est'\n"
      "100 10 " + seed + " 0\n"
      "'..'\n'..'\n'..'\n'..'\n" +
      StoufferBody().mid(StoufferBody().indexOf("2 2 2 2\n"));
  QCOMPARE(ReadBytes(copy), expected);
}

void ControlFileIoTest::eachBadModelValueGivesOneMessageAndTheFileOpens() {
  Fixture f;
  const QString path = DataPath(QStringLiteral("bad_model_values.cnt"));
  QVERIFY(f.document.Open(path));
  const QString invalid = QStringLiteral("Invalid data in model information");
  QCOMPARE(f.ui.messages, QStringList({invalid, invalid, invalid, invalid}));
  QCOMPARE(f.document.Path(), path);
  QVERIFY(!f.document.IsModified());
  // The bad values keep their defaults; their neighbours are read.
  QCOMPARE(f.document.vGetInterfaceValue(kFirstOrder).toBool(), true);
  QCOMPARE(f.document.vGetInterfaceValue(kMissingData).toInt(), 0);
  QCOMPARE(f.document.vGetInterfaceValue(kConvergenceCriterion).toDouble(), 0.000001);
  QCOMPARE(f.document.vGetInterfaceValue(kIterationsBetweenImputations).toInt(), 100);
  QCOMPARE(f.document.vGetInterfaceValue(kClassCount).toInt(), 2);
  QCOMPARE(f.document.vGetInterfaceValue(kPrintResiduals).toBool(), true);
  QCOMPARE(f.document.vGetInterfaceValue(kImputationCount).toInt(), 5);
}

void ControlFileIoTest::printResidualsAndEstimationTypeAreDerived_data() {
  QTest::addColumn<QByteArray>("firstLine");
  QTest::addColumn<QByteArray>("emLine");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("printResiduals");
  QTest::addColumn<int>("estimationType");
  const QString none;
  QTest::newRow("residual table 3 is yes") << QByteArray("2 0 4 0 0 1 3 0 0") << QByteArray("1 1 1000 0.0000001")
                                           << QStringList() << true << int(kNewEstimation);
  QTest::newRow("residual option 7 is refused")
      << QByteArray("2 0 4 0 0 1 7 0 0") << QByteArray("1 1 1000 0.0000001")
      << QStringList{QStringLiteral("Invalid data in model information: Print residuals option was 7")}
      << false << int(kNewEstimation);
  // Not a new start: iterations to run mean a continued run, none a goodness-of-fit run (the
  // restriction codes are then absent, so the file is cut before them).
  QTest::newRow("2 with iterations continues") << QByteArray("2 0 4 0 0 1 0 0 0") << QByteArray("2 1 1000 0.0000001")
                                               << QStringList() << false << int(kContinuePrevious);
  QTest::newRow("4 with iterations also continues") << QByteArray("2 0 4 0 0 1 0 0 0")
                                                    << QByteArray("4 1 1000 0.0000001") << QStringList() << false
                                                    << int(kContinuePrevious);
  QTest::newRow("no iterations is fit only") << QByteArray("2 0 4 0 0 1 0 0 0") << QByteArray("2 1 0 0.0000001")
                                             << QStringList() << false << int(kNoEstimation);
}

void ControlFileIoTest::printResidualsAndEstimationTypeAreDerived() {
  QFETCH(QByteArray, firstLine);
  QFETCH(QByteArray, emLine);
  QFETCH(QStringList, messages);
  QFETCH(bool, printResiduals);
  QFETCH(int, estimationType);
  QByteArray text = Replace(StoufferBody(), "2 0 4 0 0 1 1 0 0", firstLine);
  text = Replace(text, "1 1 1000 0.0000001", emLine);
  // Sections that the changed model does not have are simply left unread at the end.
  const QString path = m_dir.filePath(QStringLiteral("derived.cnt"));
  QVERIFY(WriteBytes(path, text));
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.ui.messages, messages);
  QCOMPARE(f.document.vGetInterfaceValue(kPrintResiduals).toBool(), printResiduals);
  QCOMPARE(f.document.vGetInterfaceValue(kEstimationType).toInt(), estimationType);
}

void ControlFileIoTest::fileNamesAreCheckedAndQuoted() {
  // A one-character data set and an empty outfile are refused and keep their empty defaults;
  // ".." is no name; a doubled apostrophe is one apostrophe of the name.
  QByteArray text = Replace(StoufferBody(), "'stouffer_toby.dat' ''", "'x' '(4F1.0)'");
  text = Replace(text, "'stouffer_toby.out'", "''");
  text = Replace(text, "'stouffer_toby_da.out'", "'O''Brien da.out'");
  const QString path = m_dir.filePath(QStringLiteral("names.cnt"));
  QVERIFY(WriteBytes(path, text));
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.ui.messages, QStringList({QStringLiteral("Invalid dataset filename."),
                                       QStringLiteral("Invalid outfile filename.")}));
  QCOMPARE(f.document.vGetInterfaceValue(kDatasetFile).toString(), QString());
  QCOMPARE(f.document.vGetInterfaceValue(kInputFormat).toString(), QStringLiteral("(4F1.0)"));
  QCOMPARE(f.document.vGetInterfaceValue(kEmStartValuesFile).toString(), QString());
  QCOMPARE(f.document.vGetInterfaceValue(kDaOutFile).toString(), QStringLiteral("O'Brien da.out"));

  // Written back: the name quoted with its apostrophe doubled, the format only when the data are
  // read with it.
  f.document.SetInterfaceValue(kDatasetFile, QStringLiteral("data.dat"));
  f.document.SetInterfaceValue(kReadFormat, 1);
  QStringList lines;
  QVERIFY(ComposedLines(f.document, &lines));
  QCOMPARE(lines.at(1), QStringLiteral("'data.dat' '(4F1.0)'"));
  QCOMPARE(lines.at(7), QStringLiteral("'O''Brien da.out'"));
  f.document.SetInterfaceValue(kReadFormat, 0);
  QVERIFY(ComposedLines(f.document, &lines));
  QCOMPARE(lines.at(1), QStringLiteral("'data.dat' ''"));
}

void ControlFileIoTest::twentyTwoCommentLinesFailTheModelInformation() {
  const QByteArray body = StoufferBody();
  QByteArray comments;
  for (int i = 1; i <= 22; ++i) comments += "'* Comment line " + QByteArray::number(i) + "'\n";
  const QString path = m_dir.filePath(QStringLiteral("comments.cnt"));

  // 21 comment lines are the most a block holds.
  QVERIFY(WriteBytes(path, comments.left(comments.indexOf("'* Comment line 22'")) + body));
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.document.vGetInterfaceValue(kComments).toString().split(u'\n').size(), 21);
  QCOMPARE(f.document.vGetInterfaceValue(kComments).toString().split(u'\n').last(),
           QStringLiteral("Comment line 21"));

  // The 22nd is taken as the first model line: four values, so a previous-version line of ten.
  QVERIFY(WriteBytes(path, comments + body));
  Fixture g;
  g.document.SetInterfaceValue(kClassCount, 5);
  g.ui.answers << Answer::kYes;  // discard the change
  QVERIFY(!g.document.Open(path));
  QCOMPARE(g.ui.messages,
           QStringList({QStringLiteral("Invalid number of parameters on first line of model information.\r"
                                       "Expected 10, found 4"),
                        kReadFailure}));
  // Reset to a new, untitled document.
  QCOMPARE(g.document.Path(), QString());
  QVERIFY(!g.document.IsModified());
  QCOMPARE(g.document.vGetInterfaceValue(kClassCount).toInt(), 0);
  QCOMPARE(g.document.vGetInterfaceValue(kComments).toString(), QString());
}

void ControlFileIoTest::readerFindsWithoutADocument_data() {
  QTest::addColumn<QByteArray>("from");
  QTest::addColumn<QByteArray>("to");
  QTest::addColumn<bool>("complete");
  QTest::addColumn<QList<int>>("lines");
  QTest::addColumn<QStringList>("messages");
  // The body's model information takes 11 lines (2 common, 4 EM, 5 DA), the class items'
  // categories the 12th: the sections start at index 12.
  QTest::newRow("as written") << QByteArray("2 0 4") << QByteArray("2 0 4") << true << QList<int>{}
                              << QStringList{};
  QTest::newRow("a bad class count reads on")
      << QByteArray("2 0 4") << QByteArray("x 0 4") << true << QList<int>{1}
      << QStringList{QStringLiteral("Invalid data in model information")};
  QTest::newRow("three values on the EM line stop it")
      << QByteArray("1 1 1000 0.0000001") << QByteArray("1 1 1000") << false << QList<int>{3, 3}
      << QStringList{
             QStringLiteral("Invalid number of parameters on second line of model information.\r"
                            "Expected 4, found 3"),
             QStringLiteral("Error parsing EM model info.\nCannot open this control file.")};
}

void ControlFileIoTest::readerFindsWithoutADocument() {
  QFETCH(QByteArray, from);
  QFETCH(QByteArray, to);
  QFETCH(bool, complete);
  QFETCH(QList<int>, lines);
  QFETCH(QStringList, messages);
  const ControlFileRead read = ReadControlFile(Replace(StoufferBody(), from, to));
  QCOMPARE(read.complete, complete);
  QList<int> foundLines;
  QStringList foundMessages;
  for (const Diagnostic& diagnostic : read.diagnostics) {
    foundLines << diagnostic.line;
    foundMessages << diagnostic.message;
    QVERIFY(!diagnostic.field.isEmpty());
  }
  QCOMPARE(foundLines, lines);
  QCOMPARE(foundMessages, messages);
  if (!complete) return;
  QCOMPARE(read.data.sectionsStart, 12);
  QCOMPARE(read.data.values.at(kClassItemCount), QVariant::fromValue(qint16{4}));
  QCOMPARE(read.data.categoryCounts.at(kClassItems), (QStringList{"2", "2", "2", "2"}));
  // The class count the file could not give is left to the document's default.
  QCOMPARE(read.data.values.count(kClassCount), std::size_t(from == to ? 1 : 0));
}

void ControlFileIoTest::failingStepsStopReading_data() {
  QTest::addColumn<QByteArray>("from");
  QTest::addColumn<QByteArray>("to");
  QTest::addColumn<QStringList>("messages");
  QTest::newRow("three values on the EM line")
      << QByteArray("1 1 1000 0.0000001") << QByteArray("1 1 1000")
      << QStringList{QStringLiteral("Invalid number of parameters on second line of model information.\r"
                                    "Expected 4, found 3"),
                     QStringLiteral("Error parsing EM model info.\nCannot open this control file."),
                     kReadFailure};
  QTest::newRow("five values on the DA line")
      << QByteArray("10 5 1 0") << QByteArray("10 5 1 0 0")
      << QStringList{QStringLiteral("Invalid number of parameters on second line of model information.\r"
                                    "Expected 4, found 5"),
                     QStringLiteral("Error parsing DA model info.\nCannot open this control file."),
                     kReadFailure};
  QTest::newRow("three response categories for four class items")
      << QByteArray("2 2 2 2\n") << QByteArray("2 2 2\n")
      << QStringList{QStringLiteral("An invalid number of class RC's were found.\nExpected:  4  Found: 3"),
                     kReadFailure};
  QTest::newRow("a category count that is no integer")
      << QByteArray("2 2 2 2\n") << QByteArray("2 2 two 2\n")
      << QStringList{QStringLiteral("Invalid number of response categories forclass3"), kReadFailure};
}

void ControlFileIoTest::failingStepsStopReading() {
  QFETCH(QByteArray, from);
  QFETCH(QByteArray, to);
  QFETCH(QStringList, messages);
  const QString path = m_dir.filePath(QStringLiteral("failing.cnt"));
  QVERIFY(WriteBytes(path, Replace(StoufferBody(), from, to)));
  Fixture f;
  QSignalSpy events(&f.document, &Document::DocumentEvent);
  QVERIFY(!f.document.Open(path));
  QCOMPARE(f.ui.messages, messages);
  QCOMPARE(f.document.Path(), QString());
  QVERIFY(!f.document.IsModified());
  QCOMPARE(f.document.vGetInterfaceValue(kClassItemCount).toInt(), 0);
  QCOMPARE(events.size(), 2);
  QCOMPARE(events.at(1).at(0).toInt(), int(Document::kEventNew));
}

void ControlFileIoTest::readsAndWritesWithoutADocument_data() {
  QTest::addColumn<QByteArray>("text");
  QTest::addColumn<QList<int>>("lines");
  QTest::addColumn<QStringList>("fields");
  // No findings: the text comes back byte for byte.
  QTest::newRow("defaults") << kDefaultsText << QList<int>{} << QStringList{};
  QTest::newRow("comments, categories and a settings line in the file's spelling")
      << QByteArray(
             "'* Two comment lines'\n'* O''Brien''s data'\n1 0 2 0 0 1 1 0 1\n"
             "'data.dat' '(2F1.0)'\n1 1 100 0.0001\n'out.txt'\n'..'\n'..'\n100 10 7 0\n"
             "'..'\n'..'\n'..'\n'..'\n2 3\n'starts',10 2 50 7\n")
      << QList<int>{} << QStringList{};
  QTest::newRow("a class item count that is no number")
      << QByteArray(kDefaultsText).replace("0 0 0 0 0 1", "0 0 x 0 0 1") << QList<int>{1}
      << QStringList{QStringLiteral("Number of items measuring latent classes:")};
  QTest::newRow("three values on the EM line")
      << QByteArray(kDefaultsText).replace("1 0 5000 0.000001", "1 0 5000") << QList<int>{3, 3}
      << QStringList{QStringLiteral("second model line"), QStringLiteral("model information")};
  QTest::newRow("more starts to convergence than starts")
      << kDefaultsText + "'STARTS' 10 20 50 7\n"
      << QList<int>{12} << QStringList{QStringLiteral("STARTS")};
}

void ControlFileIoTest::readsAndWritesWithoutADocument() {
  QFETCH(QByteArray, text);
  QFETCH(QList<int>, lines);
  QFETCH(QStringList, fields);
  const ControlFileRead read = ReadWithoutSections(text);
  QList<int> foundLines;
  QStringList foundFields;
  for (const Diagnostic& diagnostic : read.diagnostics) {
    foundLines << diagnostic.line;
    foundFields << diagnostic.field;
  }
  QCOMPARE(foundLines, lines);
  QCOMPARE(foundFields, fields);
  if (!lines.isEmpty()) return;
  const ControlFileText written = WriteControlFile(read.data);
  QVERIFY(written.diagnostics.empty());
  QCOMPARE(written.text, text);
}

void ControlFileIoTest::writerReportsTheFirstFailureInFileOrder_data() {
  QTest::addColumn<QString>("classCount");
  QTest::addColumn<QString>("category");
  QTest::addColumn<int>("line");
  QTest::addColumn<QString>("field");
  QTest::addColumn<QString>("message");
  const QString gridProblem = QStringLiteral("Invalid Gamma Constraint for class 2");
  // Eleven lines of model information, the category line and the class labels' line come
  // before the gamma codes; the grid's problem is on the second line of its own section.
  QTest::newRow("a grid's value") << "1"
                                  << "2" << 15 << "Gamma Constraint" << gridProblem;
  QTest::newRow("a category count before it")
      << "1"
      << "2x" << 12 << "Class response categories"
      << QStringLiteral("An invalid number of response categories was entered for Class 1");
  QTest::newRow("the model information before both")
      << "one"
      << "2x" << 1 << "common model information"
      << QStringLiteral(
             "Error preparing to save file: \nInvalid data type in common model information.");
}

void ControlFileIoTest::writerReportsTheFirstFailureInFileOrder() {
  QFETCH(QString, classCount);
  QFETCH(QString, category);
  QFETCH(int, line);
  QFETCH(QString, field);
  QFETCH(QString, message);
  ControlFileData data = ReadWithoutSections(kDefaultsText).data;
  data.values[kClassCount] = classCount;
  data.values[kClassItemCount] = QVariant::fromValue(qint16{1});
  data.categoryCounts[kClassItems] = {category};
  data.sections[kClassLabels].lines = {QStringLiteral("'LC 1'")};
  data.sections[kGammaRestrictions].problem =
      Diagnostic{2, QStringLiteral("Gamma Constraint"),
                 QStringLiteral("Invalid Gamma Constraint for class 2")};
  const ControlFileText written = WriteControlFile(data);
  QVERIFY(written.text.isEmpty());
  QCOMPARE(written.diagnostics.size(), std::size_t{1});
  QCOMPARE(written.diagnostics.front().line, line);
  QCOMPARE(written.diagnostics.front().field, field);
  QCOMPARE(written.diagnostics.front().message, message);
}

void ControlFileIoTest::failingStepsLeaveTheFileUntouched_data() {
  QTest::addColumn<int>("failure");
  QTest::addColumn<QString>("message");
  QTest::newRow("a grid refuses a value") << 0 << QStringLiteral("Invalid Gamma Constraint for Class 1");
  QTest::newRow("a count that is no number")
      << 1 << QStringLiteral("Error preparing to save file: \nInvalid data type in common model information.");
  QTest::newRow("an iteration count that is no number")
      << 2 << QStringLiteral("Error preparing to save file: \nInvalid data type in EM model information.");
  QTest::newRow("a seed that is no number")
      << 3 << QStringLiteral("Error preparing to save file: \nInvalid data type in DA model information.");
  QTest::newRow("a category count that is no number")
      << 4 << QStringLiteral("An invalid number of response categories was entered for Class 2");
}

void ControlFileIoTest::failingStepsLeaveTheFileUntouched() {
  QFETCH(int, failure);
  QFETCH(QString, message);
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("kept.cnt"));
  const QByteArray original = ReadBytes(ExamplePath(QStringLiteral("stouffer_toby.cnt")));
  QVERIFY(WriteBytes(path, original));
  Fixture f;
  QVERIFY(f.document.Open(path));
  switch (failure) {
    case 0: f.grids[kGammaStartingValues].failWrite = true; break;
    case 1: f.document.SetInterfaceValue(kClassCount, QStringLiteral("two")); break;
    case 2: f.document.SetInterfaceValue(kMaxIterations, QStringLiteral("1e3")); break;
    case 3: f.document.SetInterfaceValue(kRandomSeed, QStringLiteral("")); break;
    case 4: f.grids[kClassItems].SetCellValue(2, kResponseCategoryColumn, QStringLiteral("2x")); break;
  }
  QSignalSpy events(&f.document, &Document::DocumentEvent);
  QVERIFY(!f.document.Save());
  QCOMPARE(f.ui.messages, QStringList{message});
  QCOMPARE(ReadBytes(path), original);
  QVERIFY(events.isEmpty());
  // No temporary file is left beside it.
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("kept.cnt")});
}

void ControlFileIoTest::unwritablePathIsReported() {
  Fixture f;
  QVERIFY(f.document.Open(ExamplePath(QStringLiteral("substance.cnt"))));
  const QString path = m_dir.filePath(QStringLiteral("no such folder/x.cnt"));
  QVERIFY(!f.document.SaveAs(path));
  QCOMPARE(f.ui.messages.size(), 1);
  QVERIFY2(f.ui.messages.front().startsWith(QStringLiteral("Could not write to ") + path +
                                            QStringLiteral("\nError: ")),
           qPrintable(f.ui.messages.front()));
  QCOMPARE(f.document.Path(), ExamplePath(QStringLiteral("substance.cnt")));
}

void ControlFileIoTest::startSettingsAreReadAndSavedByteForByte_data() {
  QTest::addColumn<QByteArray>("block");
  QTest::addColumn<bool>("starts");
  QTest::addColumn<QList<int>>("counts");  // N, K, first stage, seed
  QTest::addColumn<bool>("stop");
  QTest::addColumn<double>("criterion");
  const QList<int> defaults{20, 5, 50, 0};
  QTest::newRow("both lines") << QByteArray("'STARTS' 40 10 100 12345\n'STOP' 0.0000000001\n") << true
                              << QList<int>{40, 10, 100, 12345} << true << 1e-10;
  QTest::newRow("starts alone, zeros for the defaults")
      << QByteArray("'STARTS' 0 0 0 0\n") << true << QList<int>{0, 0, 0, 0} << false << 1e-10;
  QTest::newRow("stop alone") << QByteArray("'STOP' 1e-8\n") << false << defaults << true << 1e-8;
  QTest::newRow("hand-written spelling and spacing")
      << QByteArray("  starts   7,2 , 30\t99  'comment'\n'Stop'  0.5\n") << true << QList<int>{7, 2, 30, 99}
      << true << 0.5;
  QTest::newRow("no block") << QByteArray() << false << defaults << false << 1e-10;
}

void ControlFileIoTest::startSettingsAreReadAndSavedByteForByte() {
  QFETCH(QByteArray, block);
  QFETCH(bool, starts);
  QFETCH(QList<int>, counts);
  QFETCH(bool, stop);
  QFETCH(double, criterion);
  const QString path = m_dir.filePath(QStringLiteral("starts.cnt"));
  const QByteArray text = ReadBytes(ExamplePath(QStringLiteral("stouffer_toby.cnt"))) + block;
  QVERIFY(WriteBytes(path, text));
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.ui.messages, QStringList());
  QVERIFY(!f.document.IsModified());
  QCOMPARE(f.document.vGetInterfaceValue(kRandomStarts).toBool(), starts);
  QList<int> read;
  for (int id : {kStartCount, kFinalStartCount, kFirstStageIterations, kStartSeed}) {
    read << f.document.vGetInterfaceValue(id).toInt();
  }
  QCOMPARE(read, counts);
  QCOMPARE(f.document.vGetInterfaceValue(kLogLikelihoodStop).toBool(), stop);
  QCOMPARE(f.document.vGetInterfaceValue(kLogLikelihoodCriterion).toDouble(), criterion);

  // An edit elsewhere leaves the lines as they were.
  f.document.SetInterfaceValue(kMaxIterations, 999);
  const QString copy = m_dir.filePath(QStringLiteral("copy.cnt"));
  QVERIFY(f.document.SaveAs(copy));
  QCOMPARE(ReadBytes(copy), Replace(text, "1 1 1000 ", "1 1 999 "));
}

void ControlFileIoTest::startSettingsAreSavedInTheFilesStyle_data() {
  QTest::addColumn<QByteArray>("block");
  QTest::addColumn<int>("id");  // 0 for no edit
  QTest::addColumn<QVariant>("value");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<QByteArray>("saved");
  const QStringList none;
  const QString invalid = QStringLiteral("Invalid random start settings in the control file: ");
  QTest::newRow("an edited seed keeps the file's keyword")
      << QByteArray("  starts   7,2 , 30\t99  'comment'\n") << int(kStartSeed) << QVariant(100) << none
      << QByteArray("starts 7 2 30 100\n");
  QTest::newRow("an edited criterion is written in plain decimals")
      << QByteArray("'STARTS' 40 10 100 1\n\"STOP\" 1e-8\n") << int(kLogLikelihoodCriterion) << QVariant(1e-9)
      << none << QByteArray("'STARTS' 40 10 100 1\n\"STOP\" 0.000000001\n");
  QTest::newRow("an edit back to the value read keeps the line")
      << QByteArray("'STARTS' 40 10 100 +1\n") << int(kStartSeed) << QVariant(1) << none
      << QByteArray("'STARTS' 40 10 100 +1\n");
  QTest::newRow("random starts turned on") << QByteArray() << int(kRandomStarts) << QVariant(true) << none
                                           << QByteArray("'STARTS' 20 5 50 0\n");
  QTest::newRow("the stop rule turned on") << QByteArray() << int(kLogLikelihoodStop) << QVariant(true) << none
                                           << QByteArray("'STOP' 0.0000000001\n");
  QTest::newRow("random starts turned off keep the stop line")
      << QByteArray("'STARTS' 40 10 100 1\n'STOP' 0.001\n") << int(kRandomStarts) << QVariant(false) << none
      << QByteArray("'STOP' 0.001\n");
  QTest::newRow("more final starts than starts is shown and kept")
      << QByteArray("'STARTS' 20 30 50 1\n") << 0 << QVariant() << QStringList{invalid +
         QStringLiteral("The starts run to convergence (30) cannot be more than the number of starts (20).")}
      << QByteArray("'STARTS' 20 30 50 1\n");
  QTest::newRow("too many starts is shown and kept")
      << QByteArray("'STARTS' 10001 5 50 1\n") << 0 << QVariant() << QStringList{invalid +
         QStringLiteral("Number of starts must be a whole number from 0 to 10000 (0 takes 20).")}
      << QByteArray("'STARTS' 10001 5 50 1\n");
  QTest::newRow("a negative seed is shown and kept")
      << QByteArray("'STARTS' 20 5 50 -1\n") << 0 << QVariant() << QStringList{invalid +
         QStringLiteral("Seed of the random starts must be a whole number from 0 to 2147483647.")}
      << QByteArray("'STARTS' 20 5 50 -1\n");
  QTest::newRow("two values are shown and kept")
      << QByteArray("'STARTS' 20 5\n'STOP' 0\n") << 0 << QVariant()
      << QStringList{invalid + QStringLiteral("The 'STARTS' line needs 4 values, found 2."),
                     invalid + QStringLiteral("The log-likelihood stop criterion must be a number above 0.")}
      << QByteArray("'STARTS' 20 5\n'STOP' 0\n");
  // The engine reads nothing else after the last section, nor a 'STARTS' line after 'STOP'.
  QTest::newRow("other text is not read") << QByteArray("'STOP' 0.01\n'STARTS' 40 10 100 1\nmore\n") << 0
                                          << QVariant() << none << QByteArray("'STOP' 0.01\n");
  // The posterior membership line comes last and is written only when it names a file.
  QTest::newRow("the posterior line is kept as written")
      << QByteArray("'STOP' 0.01\n  posterior  'out dir/p.csv' , 1\n") << 0 << QVariant() << none
      << QByteArray("'STOP' 0.01\n  posterior  'out dir/p.csv' , 1\n");
  QTest::newRow("a posterior file named")
      << QByteArray() << int(kPosteriorFile) << QVariant(QStringLiteral("p.csv")) << none
      << QByteArray("'POSTERIOR' 'p.csv' 0\n");
  QTest::newRow("one row per pattern checked")
      << QByteArray("'STARTS' 40 10 100 1\n'POSTERIOR' 'p.csv' 0\n") << int(kPosteriorByPattern)
      << QVariant(true) << none << QByteArray("'STARTS' 40 10 100 1\n'POSTERIOR' 'p.csv' 1\n");
  QTest::newRow("an emptied name drops the line")
      << QByteArray("'POSTERIOR' 'p.csv' 1\n") << int(kPosteriorFile) << QVariant(QString()) << none
      << QByteArray();
  // The comparison of sizes comes after the posterior line.
  const QString sizes = QStringLiteral("Invalid comparison of sizes in the control file: ");
  QTest::newRow("the enumerate line is kept as written")
      << QByteArray("'POSTERIOR' 'p.csv' 0\n  enumerate 2, 1 3\t99\n") << 0 << QVariant() << none
      << QByteArray("'POSTERIOR' 'p.csv' 0\n  enumerate 2, 1 3\t99\n");
  QTest::newRow("compare sizes turned on")
      << QByteArray("'STOP' 0.01\n") << int(kCompareSizes) << QVariant(true) << none
      << QByteArray("'STOP' 0.01\n'ENUMERATE' 1 1 4 0\n");
  QTest::newRow("an edited largest size keeps the file's keyword")
      << QByteArray("enumerate 2 1 3 99\n") << int(kLargestSize) << QVariant(6) << none
      << QByteArray("enumerate 2 1 6 99\n");
  QTest::newRow("compare sizes turned off drops the line")
      << QByteArray("'STARTS' 40 10 100 1\n'ENUMERATE' 1 2 5 100\n") << int(kCompareSizes)
      << QVariant(false) << none << QByteArray("'STARTS' 40 10 100 1\n");
  QTest::newRow("a size over the limit is shown and kept")
      << QByteArray("'ENUMERATE' 1 1 51 0\n") << 0 << QVariant()
      << QStringList{sizes + QStringLiteral("Largest size must be a whole number from 1 to 50.")}
      << QByteArray("'ENUMERATE' 1 1 51 0\n");
  QTest::newRow("an unknown kind is shown and kept")
      << QByteArray("'ENUMERATE' 3 1 4 0\n") << 0 << QVariant()
      << QStringList{sizes + QStringLiteral(
                                 "The sizes compared must be of classes (1) or of statuses (2).")}
      << QByteArray("'ENUMERATE' 3 1 4 0\n");
  QTest::newRow("sizes the wrong way round are shown and kept")
      << QByteArray("'ENUMERATE' 1 4 2 0\n") << 0 << QVariant()
      << QStringList{sizes +
                     QStringLiteral("The largest size (2) cannot be below the smallest size (4).")}
      << QByteArray("'ENUMERATE' 1 4 2 0\n");
  // A posterior line after it is not read, as the engine does not read it there.
  QTest::newRow("a posterior line after the enumerate line is not read")
      << QByteArray("'ENUMERATE' 1 1 4 0\n'POSTERIOR' 'p.csv' 0\n") << 0 << QVariant() << none
      << QByteArray("'ENUMERATE' 1 1 4 0\n");
}

void ControlFileIoTest::startSettingsAreSavedInTheFilesStyle() {
  QFETCH(QByteArray, block);
  QFETCH(int, id);
  QFETCH(QVariant, value);
  QFETCH(QStringList, messages);
  QFETCH(QByteArray, saved);
  const QString path = m_dir.filePath(QStringLiteral("edited.cnt"));
  const QByteArray example = ReadBytes(ExamplePath(QStringLiteral("stouffer_toby.cnt")));
  QVERIFY(WriteBytes(path, example + block));
  Fixture f;
  QVERIFY(f.document.Open(path));
  QCOMPARE(f.ui.messages, messages);
  if (id != 0) f.document.SetInterfaceValue(id, value);
  QVERIFY(f.document.Save());
  QCOMPARE(ReadBytes(path), example + saved);
}

}  // namespace kov::document::test

QTEST_GUILESS_MAIN(kov::document::test::ControlFileIoTest)
#include "control_file_io_test.moc"
