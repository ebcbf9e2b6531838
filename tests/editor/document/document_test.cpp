// The document's state and commands: defaults, the modified flag, the events, and every prompt
// of New, Open, Save, Save before proceeding and Exit, answered by a script.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "document/control_file_io.h"
#include "document/document.h"
#include "plain_grids.h"
#include "scripted_ui.h"
#include "test_files.h"

Q_DECLARE_METATYPE(QList<kov::gui::MessageAnswer>)

namespace kov::document::test {

namespace {

const QString kDiscard = QStringLiteral(
    "The current control file has not been saved.\nAre you sure you want to discard changes?");
const QString kSaveFirst =
    QStringLiteral("The current control file has been modified.\nSave before proceeding?");

struct Fixture {
  ScriptedUi ui;
  Document document{ui, ui};
  PlainGrids grids{document};
};

QList<int> Events(const QSignalSpy& spy) {
  QList<int> events;
  for (const QList<QVariant>& call : spy) events << call.at(0).toInt();
  return events;
}

}  // namespace

class DocumentTest : public QObject {
  Q_OBJECT

 private slots:
  void newDocumentWritesTheDefaults();
  void editsMarkModifiedOnlyWhenAValueChanges();
  void newAsksBeforeDiscardingChanges();
  void openAsksForAPathAndCanFail();
  void openAndSaveBroadcastAndRecordThePath();
  void saveBeforeProceeding_data();
  void saveBeforeProceeding();
  void exitAsksToSaveUnderTheCurrentName();
  void consistencyRulesBringContradictionsInLine();

 private:
  QTemporaryDir m_dir;
};

void DocumentTest::newDocumentWritesTheDefaults() {
  Fixture f;
  QStringList lines;
  QVERIFY(ComposedLines(f.document, &lines));
  // From the table of defaults: no counts, first order, EM with a new start, 5000 iterations
  // and criterion 0.000001; 100 iterations between 10 imputations; every file name empty.
  const int seed = f.document.vGetInterfaceValue(kRandomSeed).toInt();
  QVERIFY(seed >= 0 && seed <= 999999);
  const QString dots = QStringLiteral("'..'");
  QCOMPARE(lines, QStringList({QStringLiteral("0 0 0 0 0 1 0 0 0"), QStringLiteral("'..' ''"),
                               QStringLiteral("1 0 5000 0.000001"), dots, dots, dots,
                               QStringLiteral("100 10 %1 0").arg(seed), dots, dots, dots, dots}));
  QVERIFY(!f.document.IsModified());
  QCOMPARE(f.document.Path(), QString());
}

void DocumentTest::editsMarkModifiedOnlyWhenAValueChanges() {
  Fixture f;
  QSignalSpy changes(&f.document, &Document::InterfaceValueChanged);
  // Text from a field is stored as the field's type; the same value again is no edit.
  QVERIFY(f.document.SetInterfaceValue(kClassCount, QStringLiteral("0")));
  QVERIFY(!f.document.IsModified());
  QVERIFY(f.document.SetInterfaceValue(kClassCount, QStringLiteral(" 3")));
  QCOMPARE(f.document.vGetInterfaceValue(kClassCount), QVariant::fromValue(qint16{3}));
  QVERIFY(f.document.IsModified());
  // A value that does not convert is kept as the text given, for the save to report.
  QVERIFY(f.document.SetInterfaceValue(kClassCount, QStringLiteral("70000")));
  QCOMPARE(f.document.vGetInterfaceValue(kClassCount), QVariant(QStringLiteral("70000")));
  QVERIFY(!f.document.SetInterfaceValue(2000, 1));
  // A grid identity stores nothing and only tells the grids that depend on it.
  QVERIFY(f.document.SetInterfaceValue(kClassLabels));
  QCOMPARE(changes.size(), 3);
  QCOMPARE(changes.back().at(0).toInt(), int(kClassLabels));

  Fixture g;
  {
    Document::LoadingScope loading(g.document);
    g.document.SetInterfaceValue(kStatusCount, 2);
    g.document.MarkModified();
  }
  QVERIFY(!g.document.IsModified());
  QCOMPARE(g.document.vGetInterfaceValue(kStatusCount).toInt(), 2);
  g.document.MarkModified();
  QVERIFY(g.document.IsModified());
}

void DocumentTest::newAsksBeforeDiscardingChanges() {
  Fixture f;
  QSignalSpy events(&f.document, &Document::DocumentEvent);
  QVERIFY(f.document.New());  // not modified: no question
  QVERIFY(f.ui.questions.isEmpty());
  QCOMPARE(Events(events), QList<int>({Document::kEventAboutToChange, Document::kEventNew}));

  events.clear();
  f.document.SetInterfaceValue(kOutFile, QStringLiteral("run.out"));
  f.ui.answers << Answer::kNo;
  QVERIFY(!f.document.New());
  QCOMPARE(f.ui.questions.size(), 1);
  QCOMPARE(f.ui.questions.front().text, kDiscard);
  QCOMPARE(f.ui.questions.front().choices, Choices::kYesNo);
  QVERIFY(events.isEmpty());
  QVERIFY(f.document.IsModified());
  QCOMPARE(f.document.vGetInterfaceValue(kOutFile).toString(), QStringLiteral("run.out"));

  f.ui.answers << Answer::kYes;
  QVERIFY(f.document.New());
  QCOMPARE(Events(events), QList<int>({Document::kEventAboutToChange, Document::kEventNew}));
  QVERIFY(!f.document.IsModified());
  QCOMPARE(f.document.vGetInterfaceValue(kOutFile).toString(), QString());
}

void DocumentTest::openAsksForAPathAndCanFail() {
  Fixture f;
  f.document.SetInterfaceValue(kClassCount, 4);
  QSignalSpy events(&f.document, &Document::DocumentEvent);
  QSignalSpy used(&f.document, &Document::FileUsed);
  f.ui.answers << Answer::kYes;
  QVERIFY(!f.document.Open());  // the dialog is cancelled
  QCOMPARE(f.ui.openDialogs, 1);
  QCOMPARE(Events(events), QList<int>{Document::kEventAboutToChange});
  QVERIFY(used.isEmpty());
  QVERIFY(f.document.IsModified());
  QCOMPARE(f.document.vGetInterfaceValue(kClassCount).toInt(), 4);

  // The discard question answered No stops before anything is broadcast.
  events.clear();
  f.ui.answers << Answer::kNo;
  QVERIFY(!f.document.Open(ExamplePath(QStringLiteral("lta.cnt"))));
  QVERIFY(events.isEmpty());

  // A file that cannot be read leaves a new document.
  const QString missing = m_dir.filePath(QStringLiteral("missing.cnt"));
  f.ui.answers << Answer::kYes;
  QVERIFY(!f.document.Open(missing));
  QCOMPARE(f.ui.messages.size(), 1);
  QVERIFY(f.ui.messages.front().startsWith(QStringLiteral("Could not successfully open ") + missing +
                                           QStringLiteral("\nError: ")));
  QCOMPARE(Events(events), QList<int>({Document::kEventAboutToChange, Document::kEventNew}));
  QVERIFY(!f.document.IsModified());
  QCOMPARE(f.document.vGetInterfaceValue(kClassCount).toInt(), 0);
  QCOMPARE(f.document.BusyCount(), 0);
}

void DocumentTest::openAndSaveBroadcastAndRecordThePath() {
  Fixture f;
  QSignalSpy events(&f.document, &Document::DocumentEvent);
  QSignalSpy used(&f.document, &Document::FileUsed);
  QSignalSpy busy(&f.document, &Document::BusyPointerChanged);
  const QString path = ExamplePath(QStringLiteral("substance.cnt"));
  f.ui.paths << path;
  QVERIFY(f.document.Open());
  QCOMPARE(Events(events), QList<int>({Document::kEventAboutToChange, Document::kEventOpened}));
  QCOMPARE(used.size(), 1);
  QCOMPARE(used.front().at(0).toString(), path);
  QCOMPARE(busy.size(), 2);
  QCOMPARE(busy.back().at(0).toBool(), false);
  QCOMPARE(f.document.BusyCount(), 0);
  QCOMPARE(f.document.vGetInterfaceValue(kStatusItemCount).toInt(), 3);

  // The window flushes its pending edit when asked, before the file is written.
  const QString copy = m_dir.filePath(QStringLiteral("substance copy.cnt"));
  connect(&f.document, &Document::FlushRequested, &f.document,
          [&] { f.document.SetInterfaceValue(kOutFile, QStringLiteral("flushed.out")); });
  events.clear();
  used.clear();
  f.ui.paths << copy;
  QVERIFY(f.document.SaveAs());
  QCOMPARE(f.ui.saveDialogs, 1);
  QCOMPARE(Events(events), QList<int>{Document::kEventSaved});
  QCOMPARE(used.size(), 1);
  QCOMPARE(used.front().at(0).toString(), copy);
  QCOMPARE(f.document.Path(), copy);
  QVERIFY(!f.document.IsModified());
  QVERIFY(ReadBytes(copy).contains("\n'flushed.out'\n"));

  // Save writes to the current path without asking.
  f.document.SetInterfaceValue(kImputationCount, 7);
  QVERIFY(f.document.Save());
  QCOMPARE(f.ui.saveDialogs, 1);
  QVERIFY(ReadBytes(copy).contains("\n10 7 261207 0\n"));
}

void DocumentTest::saveBeforeProceeding_data() {
  QTest::addColumn<bool>("modified");
  QTest::addColumn<QList<Answer>>("answers");
  QTest::addColumn<bool>("proceed");
  QTest::addColumn<bool>("written");
  QTest::newRow("not modified") << false << QList<Answer>() << true << false;
  QTest::newRow("yes saves") << true << QList<Answer>{Answer::kYes} << true << true;
  QTest::newRow("no goes on unsaved") << true << QList<Answer>{Answer::kNo} << true << false;
  QTest::newRow("cancel stops") << true << QList<Answer>{Answer::kCancel} << false << false;
}

void DocumentTest::saveBeforeProceeding() {
  QFETCH(bool, modified);
  QFETCH(QList<Answer>, answers);
  QFETCH(bool, proceed);
  QFETCH(bool, written);
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("model.cnt"));
  QVERIFY(WriteBytes(path, ReadBytes(ExamplePath(QStringLiteral("stouffer_toby.cnt")))));
  Fixture f;
  QVERIFY(f.document.Open(path));
  if (modified) f.document.SetInterfaceValue(kMaxIterations, 250);
  f.ui.answers = answers;
  QCOMPARE(f.document.SaveBeforeProceeding(), proceed);
  QCOMPARE(f.ui.questions.size(), modified ? 1 : 0);
  if (modified) {
    QCOMPARE(f.ui.questions.front().text, kSaveFirst);
    QCOMPARE(f.ui.questions.front().choices, Choices::kYesNoCancel);
  }
  QCOMPARE(ReadBytes(path).contains("\n1 1 250 0.0000001\n"), written);
  QCOMPARE(f.document.IsModified(), modified && !written);
}

void DocumentTest::exitAsksToSaveUnderTheCurrentName() {
  Fixture f;
  QVERIFY(f.document.QueryExit());  // nothing to save
  QVERIFY(f.ui.questions.isEmpty());

  // A never-saved document: an empty name between the quotes; Yes first asks for a path, and
  // a cancelled dialog keeps the program open.
  f.document.SetInterfaceValue(kClassCount, 2);
  f.ui.answers << Answer::kYes;
  QVERIFY(!f.document.QueryExit());
  QCOMPARE(f.ui.questions.size(), 1);
  QCOMPARE(f.ui.questions.front().text, QStringLiteral("Do you wish to save changes to \"\"?"));
  QCOMPARE(f.ui.questions.front().title, QString());
  QCOMPARE(f.ui.questions.front().choices, Choices::kYesNoCancel);
  QCOMPARE(f.ui.saveDialogs, 1);

  f.ui.answers << Answer::kCancel;
  QVERIFY(!f.document.QueryExit());
  f.ui.answers << Answer::kNo;
  QVERIFY(f.document.QueryExit());
  QVERIFY(f.document.IsModified());

  // Yes with a path chosen saves and lets the program close; the next question names the file.
  const QString path = m_dir.filePath(QStringLiteral("exit.cnt"));
  f.ui.answers << Answer::kYes;
  f.ui.paths << path;
  QVERIFY(f.document.QueryExit());
  QVERIFY(!f.document.IsModified());
  QVERIFY(ReadBytes(path).startsWith("2 0 0 0 0 1 0 0 0\n"));
  f.document.SetInterfaceValue(kClassCount, 3);
  f.ui.answers << Answer::kCancel;
  QVERIFY(!f.document.QueryExit());
  QCOMPARE(f.ui.questions.back().text, QStringLiteral("Do you wish to save changes to \"") + path +
                                           QStringLiteral("\"?"));
}

void DocumentTest::consistencyRulesBringContradictionsInLine() {
  struct Setting {
    int id;
    QVariant value;
  };
  struct Case {
    const char* name;
    QList<Setting> given;
    QList<Setting> expected;
  };
  const QVariant noEstimation = QVariant::fromValue(qint16{kNoEstimation});
  const QVariant newEstimation = QVariant::fromValue(qint16{kNewEstimation});
  const QList<Case> cases = {
      {"class items without classes are dropped",
       {{kClassCount, 0}, {kClassItemCount, 3}},
       {{kClassItemCount, 0}}},
      {"class items with classes stay",
       {{kClassCount, 2}, {kClassItemCount, 3}},
       {{kClassItemCount, 3}}},
      // Without statuses the occasions go too, and with them the second order.
      {"status items and occasions without statuses are dropped",
       {{kStatusCount, 0}, {kStatusItemCount, 2}, {kTimeCount, 4}, {kFirstOrder, false}},
       {{kStatusItemCount, 0}, {kTimeCount, 0}, {kFirstOrder, true}}},
      {"second order below three occasions turns first order",
       {{kStatusCount, 2}, {kStatusItemCount, 2}, {kTimeCount, 2}, {kFirstOrder, false}},
       {{kStatusItemCount, 2}, {kTimeCount, 2}, {kFirstOrder, true}}},
      {"second order at three occasions stays",
       {{kStatusCount, 2}, {kStatusItemCount, 2}, {kTimeCount, 3}, {kFirstOrder, false}},
       {{kTimeCount, 3}, {kFirstOrder, false}}},
      {"no estimation runs no iterations",
       {{kEstimationType, noEstimation}, {kMaxIterations, 100}},
       {{kMaxIterations, 0}}},
      {"a new estimation keeps its iterations",
       {{kEstimationType, newEstimation}, {kMaxIterations, 100}},
       {{kMaxIterations, 100}}},
  };
  for (const Case& c : cases) {
    Fixture f;
    for (const Setting& setting : c.given)
      QVERIFY(f.document.SetInterfaceValue(setting.id, setting.value));
    f.document.ApplyConsistencyRules();
    for (const Setting& setting : c.expected) {
      QVariant typed;
      QVERIFY2(f.document.TypedInterfaceValue(setting.id, &typed), c.name);
      QVERIFY2(typed.toLongLong() == setting.value.toLongLong(),
               qPrintable(QStringLiteral("%1: value %2 is %3")
                              .arg(QLatin1String(c.name))
                              .arg(setting.id)
                              .arg(typed.toString())));
    }
  }
}

}  // namespace kov::document::test

QTEST_GUILESS_MAIN(kov::document::test::DocumentTest)
#include "document_test.moc"
