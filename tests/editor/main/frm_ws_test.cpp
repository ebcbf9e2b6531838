// The frame: captions, the recently used files, the run mode, the reports, Exit, About, and a
// picture of every tab.

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QFile>
#include <QLineEdit>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <memory>

#include "about_box.h"
#include "chelp.h"
#include "document/interface_values.h"
#include "editor_test_support.h"
#include "frm_main.h"
#include "frm_ws.h"
#include "grids/grid_table_model.h"
#include "recent_files.h"

using namespace kov::document;
using kov::editor::frmMain;
using kov::editor::frmWS;
using kov::editor::RunLauncher;
using kov::editor::test::Answer;
using kov::editor::test::Choices;
using kov::editor::test::ScriptedUi;

class FrmWsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void captionFollowsTheDocument();
  void recentFilesKeepFourMostRecentFirst();
  void reportOfTheRunTypeOpensWhenItExists();
  void exitAsksAboutUnsavedChanges();
  void aboutBoxShowsTitleAndVersion();
  void helpMenuOpensThePagesAndExitClosesThem();
  void everyTabRendersOffscreen();
  void windowFitsALaptopScreenAtOneAndAHalf();
  void fileCommandsHaveTheirShortcuts_data();
  void fileCommandsHaveTheirShortcuts();
  void saveAsAddsTheExtensionWhenNoneIsTyped_data();
  void saveAsAddsTheExtensionWhenNoneIsTyped();
  void startValuesAreCheckedBeforeRun_data();
  void startValuesAreCheckedBeforeRun();
  void newEstimationWithoutIterationsIsRefused_data();
  void newEstimationWithoutIterationsIsRefused();
  void refusedEntriesAreNamedInTheStatusBar_data();
  void refusedEntriesAreNamedInTheStatusBar();

 private:
  void Open(const QString& path);
  QString Copy(const QString& newName);

  QTemporaryDir m_temp;
  ScriptedUi m_ui;
  std::unique_ptr<frmWS> m_frame;
  QStringList m_opened;  // what the report opener was given
};

void FrmWsTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  kov::editor::test::KeepSettingsIn(m_temp.path());
}

void FrmWsTest::init() {
  // Every test starts with no recent files.
  {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Marnel"));
    settings.clear();
  }
  m_ui = ScriptedUi();
  m_opened.clear();
  m_frame = std::make_unique<frmWS>(&m_ui, &m_ui);
  m_frame->SetReportOpener([this](const QString& path) {
    m_opened << path;
    return true;
  });
  m_frame->resize(960, 680);
  m_frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
}

void FrmWsTest::cleanup() {
  // Nothing is left to ask about when the frame goes.
  m_frame.reset();
}

void FrmWsTest::Open(const QString& path) {
  m_ui.paths << path;
  m_frame->FileOpenAction()->trigger();
  QCOMPARE(m_frame->Document().Path(), path);
}

QString FrmWsTest::Copy(const QString& newName) {
  return kov::editor::test::CopyExample(QStringLiteral("stouffer_toby"), m_temp.path(), newName);
}

void FrmWsTest::captionFollowsTheDocument() {
  QCOMPARE(m_frame->windowTitle(), QStringLiteral("Marnel - Untitled[*]"));
  const QString path = Copy(QStringLiteral("caption"));
  Open(path);
  QCOMPARE(m_frame->windowTitle(), "Marnel - " + path + "[*]");

  const QString savedAs = m_temp.filePath(QStringLiteral("caption_saved.cnt"));
  m_ui.paths << savedAs;
  m_frame->FileSaveAsAction()->trigger();
  QCOMPARE(m_frame->windowTitle(), "Marnel - " + savedAs + "[*]");

  // A file that cannot be opened leaves a new, untitled document.
  m_ui.paths << m_temp.filePath(QStringLiteral("missing.cnt"));
  m_frame->FileOpenAction()->trigger();
  QCOMPARE(m_frame->windowTitle(), QStringLiteral("Marnel - Untitled[*]"));
  QCOMPARE(m_ui.messages.size(), 1);
  QVERIFY(m_ui.messages[0].text.startsWith(QStringLiteral("Could not successfully open ")));
  // ... and is not offered again.
  QCOMPARE(m_frame->Recent().Entry(1), savedAs);
  // An edit marks the title until the next save.
  QVERIFY(!m_frame->isWindowModified());
  m_frame->Form().SetInterfaceValue(kClassCount, 3);
  QVERIFY(m_frame->isWindowModified());

}

void FrmWsTest::recentFilesKeepFourMostRecentFirst() {
  // No recent files: neither items nor their separator.
  for (int n = 1; n <= 4; ++n) QVERIFY(!m_frame->RecentFileAction(n)->isVisible());
  QVERIFY(!m_frame->RecentSeparator()->isVisible());
  QStringList paths;
  for (const char* name : {"a", "b", "c", "d", "e"}) paths << Copy(QString::fromLatin1(name));
  Open(paths[0]);
  QVERIFY(!m_frame->RecentFileAction(2)->isVisible());
  QVERIFY(m_frame->RecentSeparator()->isVisible());
  for (int i = 1; i < 4; ++i) Open(paths[i]);
  // Opened a, b, c, d: the last one first.
  for (int n = 1; n <= 4; ++n) {
    QCOMPARE(m_frame->Recent().Entry(n), paths[4 - n]);
    QAction* item = m_frame->RecentFileAction(n);
    QVERIFY(item->isVisible());
    QCOMPARE(item->text(), "&" + QString::number(n) + " - " + paths[4 - n]);
  }

  // The fifth drops the oldest.
  Open(paths[4]);
  const QStringList afterFifth = {paths[4], paths[3], paths[2], paths[1]};
  for (int n = 1; n <= 4; ++n) QCOMPARE(m_frame->Recent().Entry(n), afterFifth[n - 1]);

  // Reopening the second from the menu moves it to the top; the first moves down, the rest stay.
  m_frame->RecentFileAction(2)->trigger();
  QCOMPARE(m_frame->Document().Path(), paths[3]);
  const QStringList afterReopen = {paths[3], paths[4], paths[2], paths[1]};
  for (int n = 1; n <= 4; ++n) {
    QCOMPARE(m_frame->Recent().Entry(n), afterReopen[n - 1]);
    QCOMPARE(m_frame->RecentFileAction(n)->text(), "&" + QString::number(n) + " - " + afterReopen[n - 1]);
  }
  // Opening the first again changes nothing.
  m_frame->RecentFileAction(1)->trigger();
  for (int n = 1; n <= 4; ++n) QCOMPARE(m_frame->Recent().Entry(n), afterReopen[n - 1]);

  // Saving records the path too.
  const QString saved = m_temp.filePath(QStringLiteral("saved.cnt"));
  m_ui.paths << saved;
  m_frame->FileSaveAsAction()->trigger();
  QCOMPARE(m_frame->Recent().Entry(1), saved);
  QCOMPARE(m_frame->Recent().Entry(2), paths[3]);

  // The list is in the settings, where the next start of the editor finds it.
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Marnel"));
  QCOMPARE(settings.value(QStringLiteral("LastUsed1")).toString(), saved);
  QCOMPARE(settings.value(QStringLiteral("LastUsed4")).toString(), paths[2]);
  ScriptedUi otherUi;
  frmWS next(&otherUi, &otherUi);
  QCOMPARE(next.RecentFileAction(1)->text(), "&1 - " + saved);
  QCOMPARE(next.RecentFileAction(4)->text(), "&4 - " + paths[2]);
  QVERIFY(m_ui.MessageTexts().isEmpty());
}

void FrmWsTest::reportOfTheRunTypeOpensWhenItExists() {
  // Relative report names are taken in the control file's folder, where its runs work.
  const QString folder = m_temp.filePath(QStringLiteral("model"));
  QVERIFY(QDir().mkpath(folder));
  m_ui.paths << folder + "/m1.cnt";
  m_frame->FileSaveAsAction()->trigger();
  QCOMPARE(m_frame->Document().Path(), folder + "/m1.cnt");
  frmMain& form = m_frame->Form();
  form.SetInterfaceValue(kOutFile, QStringLiteral("m1.out"));
  QCOMPARE(form.TextInput(kDaOutFile)->text(), QStringLiteral("m1_da.out"));

  // Neither report exists yet: nothing is opened.
  QVERIFY(!m_frame->ViewCurrentOutfile());
  QVERIFY(m_opened.isEmpty());

  for (const char* name : {"m1.out", "m1_da.out"}) {
    QFile report(QDir(folder).filePath(QString::fromLatin1(name)));
    QVERIFY(report.open(QIODevice::WriteOnly));
  }
  m_frame->CurrentOutfileAction()->trigger();
  // The mode items check one of the two.
  m_frame->DaModeAction()->trigger();
  QCOMPARE(m_frame->Form().RunTypeInForce(), kov::RunType::kDa);
  QVERIFY(!m_frame->EmModeAction()->isChecked() && m_frame->DaModeAction()->isChecked());
  m_frame->CurrentOutfileAction()->trigger();
  QCOMPARE(m_opened, (QStringList{folder + "/m1.out", folder + "/m1_da.out"}));

  // "&Choose Outfile" asks for a report; a cancelled dialog opens nothing.
  m_ui.paths << QStringLiteral("m1.out");
  m_frame->ChooseOutfileAction()->trigger();
  m_frame->ChooseOutfileAction()->trigger();
  QCOMPARE(m_opened.size(), 3);
  QCOMPARE(m_opened[2], folder + "/m1.out");
  QCOMPARE(m_ui.openFilters.value(1), QStringLiteral("Output File (*.out);;All Files (*)"));
}

void FrmWsTest::exitAsksAboutUnsavedChanges() {
  m_frame->Form().SetInterfaceValue(kClassCount, 2);
  QVERIFY(m_frame->Document().IsModified());
  m_ui.answers << Answer::kCancel;
  m_frame->ExitAction()->trigger();
  QVERIFY(m_frame->isVisible());
  QCOMPARE(m_ui.questions.size(), 1);
  // A never-saved document: an empty name between the quotes.
  QCOMPARE(m_ui.questions[0].text, QStringLiteral("Do you wish to save changes to \"\"?"));
  QCOMPARE(m_ui.questions[0].title, QString());

  // Yes asks for a path first; without one the program stays.
  m_ui.answers << Answer::kYes;
  m_frame->ExitAction()->trigger();
  QVERIFY(m_frame->isVisible());
  QCOMPARE(m_ui.saveFilters.size(), 1);

  m_ui.answers << Answer::kNo;
  m_frame->ExitAction()->trigger();
  QVERIFY(!m_frame->isVisible());
}

void FrmWsTest::aboutBoxShowsTitleAndVersion() {
  kov::editor::AboutBox box(m_frame.get());
  QVERIFY(box.isModal());
  QCOMPARE(box.TitleLabel()->text(), QStringLiteral("Marnel"));
  QVERIFY(QRegularExpression(QStringLiteral("^Version \\d+\\.\\d+$")).match(box.VersionLabel()->text()).hasMatch());

  // From the menu: a modal box, closed here as a user would.
  bool sawBox = false;
  QTimer::singleShot(0, this, [&sawBox] {
    QWidget* modal = QApplication::activeModalWidget();
    sawBox = qobject_cast<kov::editor::AboutBox*>(modal) != nullptr;
    if (modal != nullptr) modal->close();
  });
  m_frame->AboutAction()->trigger();
  QVERIFY(sawBox);
}

void FrmWsTest::helpMenuOpensThePagesAndExitClosesThem() {
  // The pages are copied beside the programs, which is where this test runs too.
  const QString help = kov::editor::CHelp::DefaultHelpFile();
  m_frame->HelpContentsAction()->trigger();
  kov::editor::HelpWindow* window = m_frame->Help().Window(help);
  QVERIFY(window != nullptr);
  QVERIFY(window->isVisible());
  QVERIFY(!window->CurrentSource().isEmpty());
  m_frame->HelpSearchAction()->trigger();
  QCOMPARE(m_frame->Help().OpenWindowCount(), 1);
  QCOMPARE(window->NavigationTabs()->currentWidget()->isAncestorOf(window->IndexField()), true);

  m_frame->ExitAction()->trigger();
  QVERIFY(!m_frame->isVisible());
  QCOMPARE(m_frame->Help().OpenWindowCount(), 0);
}

void FrmWsTest::everyTabRendersOffscreen() {
  Open(kov::editor::test::CopyExample(QStringLiteral("substance"), m_temp.path()));
  QTabWidget* tabs = m_frame->Form().Tabs();
  for (int tab = 0; tab < tabs->count(); ++tab) {
    tabs->setCurrentIndex(tab);
    const QImage picture = m_frame->grab().toImage();
    QVERIFY(!picture.isNull());
    QCOMPARE(picture.size(), m_frame->size() * picture.devicePixelRatio());
  }
  QVERIFY(m_ui.MessageTexts().isEmpty());
}

void FrmWsTest::windowFitsALaptopScreenAtOneAndAHalf() {
  // A 1600 x 1000 screen at 1.5 scaling offers 1066 x 666 logical pixels, of which a window
  // opens on 90%: every page must be usable in that, scrolling where it has to.
  Open(kov::editor::test::CopyExample(QStringLiteral("lta"), m_temp.path()));
  const QSize least = m_frame->minimumSizeHint();
  QVERIFY2(least.width() <= 960 && least.height() <= 600,
           qPrintable(QStringLiteral("%1 x %2").arg(least.width()).arg(least.height())));
}

void FrmWsTest::fileCommandsHaveTheirShortcuts_data() {
  QTest::addColumn<QString>("command");
  QTest::addColumn<QKeySequence>("keys");
  QTest::newRow("new") << "&New Control File" << QKeySequence(QStringLiteral("Ctrl+N"));
  QTest::newRow("open") << "&Open Control File" << QKeySequence(QStringLiteral("Ctrl+O"));
  QTest::newRow("save") << "&Save" << QKeySequence(QStringLiteral("Ctrl+S"));
  QTest::newRow("save as") << "S&ave as" << QKeySequence(QStringLiteral("Ctrl+Shift+S"));
  QTest::newRow("exit") << "E&xit" << QKeySequence(QStringLiteral("Ctrl+Q"));
}

void FrmWsTest::fileCommandsHaveTheirShortcuts() {
  QFETCH(QString, command);
  QFETCH(QKeySequence, keys);
  QAction* action = nullptr;
  for (QAction* each : {m_frame->FileNewAction(), m_frame->FileOpenAction(), m_frame->FileSaveAction(),
                        m_frame->FileSaveAsAction(), m_frame->ExitAction()}) {
    if (each->text() == command) action = each;
  }
  QVERIFY(action != nullptr);
  QCOMPARE(action->shortcut(), keys);
}

void FrmWsTest::saveAsAddsTheExtensionWhenNoneIsTyped_data() {
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("saved");
  QTest::newRow("no extension") << "model" << "model.cnt";
  QTest::newRow("control file") << "model.cnt" << "model.cnt";
  QTest::newRow("other extension") << "model.v2" << "model.v2";
}

void FrmWsTest::saveAsAddsTheExtensionWhenNoneIsTyped() {
  QFETCH(QString, typed);
  QFETCH(QString, saved);
  m_ui.paths << m_temp.filePath(typed);
  m_frame->FileSaveAsAction()->trigger();
  QCOMPARE(m_frame->Document().Path(), m_temp.filePath(saved));
  QVERIFY(QFile::exists(m_temp.filePath(saved)));
}

void FrmWsTest::startValuesAreCheckedBeforeRun_data() {
  QTest::addColumn<QString>("classOne");
  QTest::addColumn<QString>("problem");
  // stouffer_toby starts the classes at 0.6 and 0.4.
  QTest::newRow("sums to one") << "0.6" << "";
  QTest::newRow("short") << "0.5" << "Gamma Starting Value, row of the class proportions: the values sum to 0.9, not 1";
  QTest::newRow("empty") << "" << "Gamma Starting Value, row of the class proportions: a value is missing";
}

void FrmWsTest::startValuesAreCheckedBeforeRun() {
  QFETCH(QString, classOne);
  QFETCH(QString, problem);
  Open(Copy(QStringLiteral("sums")));
  m_frame->Document().Grid(kGammaStartingValues)->SetCellValue(1, 1, classOne);
  QCOMPARE(m_frame->CheckStartValuesBeforeRun(), problem.isEmpty());
  if (problem.isEmpty()) {
    QCOMPARE(m_ui.messages.size(), 0);
    return;
  }
  QCOMPARE(m_ui.messages.size(), 1);
  QVERIFY2(m_ui.messages[0].text.contains(problem), qPrintable(m_ui.messages[0].text));
  // Run itself stops there: no run host is asked for.
  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kStopped);
  QVERIFY(!m_frame->Launcher().IsRunning());
  // Filled equal rows pass, once the user agrees to replace what is typed.
  m_ui.answers << Answer::kYes;
  m_frame->FillEqualAction()->trigger();
  QCOMPARE(m_frame->Document().Grid(kGammaStartingValues)->vCellValue(1, 1).toString(), QStringLiteral("0.5"));
  QVERIFY(m_frame->CheckStartValuesBeforeRun());
}

void FrmWsTest::newEstimationWithoutIterationsIsRefused_data() {
  QTest::addColumn<int>("estimation");
  QTest::addColumn<int>("iterations");
  QTest::addColumn<bool>("refused");
  QTest::newRow("new, none") << int{kNewEstimation} << 0 << true;
  QTest::newRow("new, one") << int{kNewEstimation} << 1 << false;
  QTest::newRow("fit only, none") << int{kNoEstimation} << 0 << false;
}

void FrmWsTest::newEstimationWithoutIterationsIsRefused() {
  QFETCH(int, estimation);
  QFETCH(int, iterations);
  QFETCH(bool, refused);
  Open(Copy(QStringLiteral("iterations")));
  m_frame->Document().SetInterfaceValue(kEstimationType, estimation);
  m_frame->Document().SetInterfaceValue(kMaxIterations, iterations);
  QCOMPARE(m_frame->Document().EmRunRefusal().isEmpty(), !refused);
  if (!refused) return;
  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kStopped);
  QVERIFY(!m_frame->Launcher().IsRunning());
  QCOMPARE(m_ui.messages.size(), 1);
  QVERIFY2(m_ui.messages[0].text.contains(QStringLiteral("at least one EM iteration")),
           qPrintable(m_ui.messages[0].text));
}

void FrmWsTest::refusedEntriesAreNamedInTheStatusBar_data() {
  QTest::addColumn<int>("grid");  // -1: the number of times
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("note");
  QTest::newRow("too many occasions") << -1 << "51"
                                      << "at most 50 occasions can be estimated; 51 was not taken";
  QTest::newRow("letters") << int(kGammaStartingValues) << "x" << "\"x\" is not a number";
  QTest::newRow("above one") << int(kGammaStartingValues) << "1.5" << "1.5 is not a probability";
}

void FrmWsTest::refusedEntriesAreNamedInTheStatusBar() {
  QFETCH(int, grid);
  QFETCH(QString, typed);
  QFETCH(QString, note);
  frmMain& form = m_frame->Form();
  form.SetInterfaceValue(kClassCount, 2);
  form.SetInterfaceValue(kClassItemCount, 2);
  form.SetInterfaceValue(kStatusCount, 2);
  form.SetInterfaceValue(kStatusItemCount, 2);
  form.SetInterfaceValue(kTimeCount, 3);
  if (grid < 0) {
    form.TextInput(kTimeCount)->setText(typed);
    form.ProcessChangeInTextInputs(kTimeCount);
    QCOMPARE(form.TextInput(kTimeCount)->text(), QStringLiteral("3"));
    QCOMPARE(m_frame->Document().vGetInterfaceValue(kTimeCount).toInt(), 3);
  } else {
    form.Tabs()->setCurrentIndex(frmMain::kGammaTab);
    kov::grids::GridTableModel* model = form.GridModel(grid);
    QVERIFY(model->rowCount() > 0);
    QVERIFY(!model->setData(model->index(0, 1), typed));
  }
  QVERIFY2(m_frame->statusBar()->currentMessage().contains(note),
           qPrintable(m_frame->statusBar()->currentMessage()));
  QCOMPARE(m_ui.messages.size(), 0);
}

QTEST_MAIN(FrmWsTest)
#include "frm_ws_test.moc"
