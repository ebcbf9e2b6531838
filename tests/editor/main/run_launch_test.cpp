// Runs from the editor through the real run host. kovexec comes from the build's bin folder
// (registered for "KovExec.KovShell" in the test's own settings) and loads the real engine.
//
// The run host keeps its progress window until somebody presses "&Close". These tests have
// nobody to press it, so the launcher is set to batch mode: kovexec then closes its window
// itself once the run is over, lRunKov returns after the run, and the editor's wait on the
// process ends when kovexec exits. Everything else is the launch a user gets.

#include <QAction>
#include <QChart>
#include <QCheckBox>
#include <QLineSeries>
#include <QProcess>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

#include "automation_error.h"
#include "document/interface_values.h"
#include "editor_test_support.h"
#include "frm_main.h"
#include "frm_ws.h"
#include "message_sink.h"
#include "results/frm_results.h"
#include "server_registry.h"

using namespace kov::document;
using kov::editor::frmWS;
using kov::editor::RunLauncher;
using kov::editor::test::Answer;
using kov::editor::test::Choices;
using kov::editor::test::ReadText;
using kov::editor::test::ScriptedUi;

class RunLaunchTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void emThenDataAugmentationThroughTheRunHost();
  void sizeComparisonThroughTheRunHostOpensTheComparison();
  void secondRunDuringARunIsRefused();
  void overwriteWarningAndSaveQuestionCanStopTheRun();
  void dataAugmentationWithoutItsStartFileAsksFirst();
  void runHostThatCannotStartIsAnUnexpectedError();
  void runHostWithoutEngineTerminatesTheRunUnexpectedly();
  void waitHandlesEventsUntilTheProcessEnds();

 private:
  // The example in its own folder, opened in the frame. The run works in that folder, not in
  // the editor's or the test's, so the example's relative file names resolve there.
  QString OpenExample(const QString& name);

  QTemporaryDir m_temp;
  QString m_folder;
  ScriptedUi m_ui;
  std::unique_ptr<frmWS> m_frame;
};

void RunLaunchTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  kov::editor::test::KeepSettingsIn(m_temp.path());
  // The run host is a window program too.
  qputenv("QT_QPA_PLATFORM", "offscreen");
}

void RunLaunchTest::init() {
  QVERIFY(kov::automation::RegisterServer(kov::automation::kKovShellProgId, QStringLiteral(KOVEXEC_PATH)));
  m_folder = m_temp.filePath(QString::fromLatin1(QTest::currentTestFunction()));
  QVERIFY(QDir().mkpath(m_folder));
  m_ui = ScriptedUi();
  m_frame = std::make_unique<frmWS>(&m_ui, &m_ui);
  m_frame->Launcher().SetBatch(true);
  m_frame->SetReportOpener([](const QString&) { return true; });
  m_frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
}

void RunLaunchTest::cleanup() { m_frame.reset(); }

QString RunLaunchTest::OpenExample(const QString& name) {
  const QString control = kov::editor::test::CopyExample(name, m_folder);
  m_ui.paths << control;
  m_frame->FileOpenAction()->trigger();
  return m_frame->Document().Path() == control ? control : QString();
}

void RunLaunchTest::emThenDataAugmentationThroughTheRunHost() {
  const QString control = OpenExample(QStringLiteral("stouffer_toby"));
  QVERIFY(!control.isEmpty());

  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kFinished);
  QCOMPARE(m_ui.MessageTexts(), QStringList());
  const QString report = ReadText(m_folder + "/stouffer_toby.out");
  QVERIFY2(report.contains(QStringLiteral(" PROGRAM FINISHED: ")), qPrintable(report.right(400)));
  QVERIFY(report.contains(QStringLiteral(" ELAPSED TIME: ")));
  QVERIFY(QFileInfo(m_folder + "/stouffer_toby.est").size() > 0);
  QVERIFY(!m_frame->Launcher().IsRunning());
  QVERIFY(!m_frame->isMinimized());

  // The data-augmentation run starts from the estimates the EM run wrote.
  m_frame->DaModeAction()->trigger();
  m_frame->RunAction()->trigger();
  QCOMPARE(m_ui.MessageTexts(), QStringList());
  const QString daReport = ReadText(m_folder + "/stouffer_toby_da.out");
  QVERIFY2(daReport.contains(QStringLiteral(" PROGRAM FINISHED: ")), qPrintable(daReport.right(400)));

  // The viewer reads the series file the run wrote. The example takes 5 imputations 10
  // iterations apart: 50 rows. Two classes make gamma the first family there is.
  kov::gui::RecordingMessageSink viewerMessages;
  const kov::gui::ScopedMessageSink guard(viewerMessages);
  m_frame->PlotSeriesAction()->trigger();
  kov::series::frmSeriesPlots* viewer = m_frame->SeriesViewer();
  QVERIFY(viewer != nullptr);
  QVERIFY2(viewer->Series().bValidData(), qPrintable(viewerMessages.Texts().join('\n')));
  QCOMPARE(viewer->Series().lNumberOfIterations(), 50);
  QCOMPARE(viewer->CurrentFamily(), int(kov::series::kGamma));
  const QList<QAbstractSeries*> plotted = viewer->Chart(kov::series::frmSeriesPlots::kTimeSeriesChart)->series();
  QVERIFY(!plotted.isEmpty());
  auto* timeSeries = qobject_cast<QLineSeries*>(plotted.first());
  QVERIFY(timeSeries != nullptr);
  QCOMPARE(timeSeries->count(), 50);
}

void RunLaunchTest::sizeComparisonThroughTheRunHostOpensTheComparison() {
  const QString control = OpenExample(QStringLiteral("stouffer_toby"));
  QVERIFY(!control.isEmpty());
  kov::editor::frmMain& form = m_frame->Form();
  form.CheckBox(kCompareSizes)->click();
  form.SetInterfaceValue(kLargestSize, 2);
  m_ui.answers << Answer::kYes;  // save the changed file before the run

  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kFinished);
  QCOMPARE(m_ui.MessageTexts(), QStringList());
  // The engine in the run host read the line from the saved file and fitted each size.
  QVERIFY(ReadText(control).contains(QStringLiteral("'ENUMERATE' 1 1 2 0")));
  for (const char* size : {"1", "2"}) {
    QVERIFY2(ReadText(m_folder + "/stouffer_toby.k" + size + ".out")
                 .contains(QStringLiteral(" PROGRAM FINISHED: ")),
             size);
  }
  kov::results::frmResults* window = m_frame->ResultsWindow();
  QVERIFY(window != nullptr);
  QCOMPARE(window->Sizes().Path(), m_folder + "/stouffer_toby.compare.json");
  QCOMPARE(window->Sizes().Rows().size(), std::size_t{2});
}

void RunLaunchTest::secondRunDuringARunIsRefused() {
  const QString control = OpenExample(QStringLiteral("stouffer_toby"));
  QVERIFY(!control.isEmpty());
  // The second press waits in the queue; the launch handles it once the job is marked running.
  QMetaObject::invokeMethod(m_frame->RunAction(), &QAction::trigger, Qt::QueuedConnection);
  bool minimisedMeanwhile = false;
  bool runningMeanwhile = false;
  m_ui.onShow = [&](const QString&) {
    minimisedMeanwhile = m_frame->isMinimized();
    runningMeanwhile = m_frame->Launcher().IsRunning();
  };

  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kFinished);
  QCOMPARE(m_ui.messages.size(), 1);
  QCOMPARE(m_ui.messages[0].text, "An Kov session is already running: " + control +
                                      ".\nPlease wait for it to finish, and then try again.");
  QCOMPARE(m_ui.messages[0].title, QStringLiteral("Information: Job already running"));
  QVERIFY(minimisedMeanwhile);
  QVERIFY(runningMeanwhile);
  // The first run went on to its end, and the frame is back.
  QVERIFY(ReadText(m_folder + "/stouffer_toby.out").contains(QStringLiteral(" PROGRAM FINISHED: ")));
  QVERIFY(!m_frame->isMinimized());
  QVERIFY(!m_frame->Launcher().IsRunning());
}

void RunLaunchTest::overwriteWarningAndSaveQuestionCanStopTheRun() {
  // An untitled document asks which control file to run; no answer, no run.
  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kStopped);
  QCOMPARE(m_ui.openFilters, QStringList{QStringLiteral("Control File (*.cnt);;All Files (*)")});

  QVERIFY(!OpenExample(QStringLiteral("stouffer_toby")).isEmpty());
  kov::editor::frmMain& form = m_frame->Form();
  form.OptionButton(kEstimationType, kContinuePrevious)->click();
  form.SetInterfaceValue(kEmStartValuesFile, QStringLiteral("/runs/Est.PAR"));
  form.SetInterfaceValue(kEmEstimatesFile, QStringLiteral("/runs/est.par"));

  m_ui.answers << Answer::kNo;
  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kStopped);
  QCOMPARE(m_ui.questions.size(), 1);
  QCOMPARE(m_ui.questions[0].text, QStringLiteral("The parameter estimates file containing starting values,\n"
                                                   "/runs/est.par,\nis about to be overwritten.  Do you wish\n"
                                                   "to continue and overwrite this file?"));
  QCOMPARE(m_ui.questions[0].title, QStringLiteral("Warning: Parameters file about to be overwritten"));
  QCOMPARE(m_ui.questions[0].choices, Choices::kYesNo);

  // Yes goes on to the unsaved changes; Cancel there stops too.
  m_ui.answers << Answer::kYes << Answer::kCancel;
  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kStopped);
  QCOMPARE(m_ui.questions.size(), 3);
  QCOMPARE(m_ui.questions[2].text,
           QStringLiteral("The current control file has been modified.\nSave before proceeding?"));

  // Data augmentation writes no EM estimates: no warning.
  m_frame->DaModeAction()->trigger();
  m_ui.answers << Answer::kCancel;
  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kStopped);
  QCOMPARE(m_ui.questions.size(), 4);
  QVERIFY(m_ui.questions[3].text.startsWith(QStringLiteral("The current control file has been modified.")));
  QVERIFY(m_ui.MessageTexts().isEmpty());
  QVERIFY(!m_frame->Launcher().IsRunning());
}

void RunLaunchTest::dataAugmentationWithoutItsStartFileAsksFirst() {
  // The example starts its chain from stouffer_toby.est, which only an EM run writes.
  QVERIFY(!OpenExample(QStringLiteral("stouffer_toby")).isEmpty());
  m_frame->DaModeAction()->trigger();
  m_ui.answers << Answer::kNo;
  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kStopped);
  QCOMPARE(m_ui.questions.size(), 1);
  QCOMPARE(m_ui.questions[0].text, "The starting values file for data augmentation,\n" + m_folder +
                                       "/stouffer_toby.est,\ndoes not exist.  Run EM with this file as its\n"
                                       "\"File name for parameters\" first.\nRun data augmentation anyway?");
  QCOMPARE(m_ui.questions[0].title, QStringLiteral("Warning: Starting values file not found"));
  QVERIFY(!QFileInfo::exists(m_folder + "/stouffer_toby_da.out"));
}

void RunLaunchTest::runHostThatCannotStartIsAnUnexpectedError() {
  QVERIFY(!OpenExample(QStringLiteral("stouffer_toby")).isEmpty());
  // A program that ends at once, without ever connecting.
  const QString quitter = QStandardPaths::findExecutable(QStringLiteral("false"));
  QVERIFY(!quitter.isEmpty());
  QVERIFY(kov::automation::RegisterServer(kov::automation::kKovShellProgId, quitter));

  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kFailed);
  QCOMPARE(m_ui.messages.size(), 1);
  QVERIFY2(m_ui.messages[0].text.startsWith(QStringLiteral("Unexpected error: \n429-")),
           qPrintable(m_ui.messages[0].text));
  QVERIFY(!m_frame->Launcher().IsRunning());
  QVERIFY(!m_frame->isMinimized());
}

void RunLaunchTest::runHostWithoutEngineTerminatesTheRunUnexpectedly() {
  QVERIFY(!OpenExample(QStringLiteral("stouffer_toby")).isEmpty());
  // kovexec and its platform library in a folder without the engine.
  const QString server = m_folder + "/no_engine";
  QVERIFY(QDir().mkpath(server));
  QVERIFY(QFile::copy(QStringLiteral(KOVEXEC_PATH), server + "/kovexec"));
  QVERIFY(QFile::copy(QStringLiteral(KOVOS_PATH), server + "/" + QStringLiteral(KOVOS_SONAME)));
  QVERIFY(kov::automation::RegisterServer(kov::automation::kKovShellProgId, server + "/kovexec"));

  QCOMPARE(m_frame->RunCurrentModel(), RunLauncher::Outcome::kFailed);
  QCOMPARE(m_ui.messages.size(), 1);
  QVERIFY2(m_ui.messages[0].text.startsWith(
               "The Kov run terminated unexpectedly.\nError: " +
               QString::number(kov::automation::kErrorFileNotFound) + "-"),
           qPrintable(m_ui.messages[0].text));
  QVERIFY(m_ui.messages[0].text.contains(QStringLiteral("libkov.so")));
  QVERIFY(!m_frame->Launcher().IsRunning());
  QVERIFY(!m_frame->isMinimized());
}

void RunLaunchTest::waitHandlesEventsUntilTheProcessEnds() {
  // cat ends only when its input is closed, and only an event handled during the wait closes it.
  QProcess cat;
  cat.start(QStringLiteral("cat"), QStringList());
  QVERIFY(cat.waitForStarted());
  const kovos::Handle process = kovos::OpenProcessForWait(static_cast<pid_t>(cat.processId()));
  QVERIFY(process != 0);
  QTimer::singleShot(0, &cat, [&cat] { cat.closeWriteChannel(); });
  int pumps = 0;
  RunLauncher::WaitForProcessEnd(process, 20, [&pumps] {
    ++pumps;
    QCoreApplication::processEvents();
  });
  QVERIFY(pumps >= 1);
  QCOMPARE(kovos::WaitForHandle(process, 0), kovos::kWaitSignalled);
  kovos::CloseHandle(process);
  QVERIFY(cat.waitForFinished());

  // No process (a run host that found no control file returns 0): the wait ends at once.
  pumps = 0;
  RunLauncher::WaitForProcessEnd(0, 20, [&pumps] { ++pumps; });
  QCOMPARE(pumps, 0);
}

QTEST_MAIN(RunLaunchTest)
#include "run_launch_test.moc"
