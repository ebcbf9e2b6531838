// The run host in the test's own process, over the scripted engine: the command line, the
// progress window through a whole run, the priority the worker starts with, and every refusal
// and failure message.

#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "automation_error.h"
#include "engine_library.h"
#include "frm_em_run.h"
#include "kov_mod.h"
#include "kov_shell.h"
#include "marnel_settings.h"
#include "message_sink.h"
#include "process_lifetime.h"
#include "registry.h"
#include "report_dialog.h"
#include "scripted_engine.h"

using kov::automation::AutomationError;
using kov::gui::RecordingMessageSink;
using kov::runhost::EngineLibrary;
using kov::runhost::frmEMRun;
using kov::runhost::KovShell;
using kov::runhost::ProcessLifetime;
using kov::runhost::test::ScriptedEngine;

namespace {

const QString kBusyText = QStringLiteral(
    "Another Kov run is currently executing.\nPlease wait until it is completed and try again.");
const QString kUsedText = QStringLiteral(
    "Another job is finished, but the process is not closed yet.\n"
    "Please press \"close\" on the other execution window and try again.");

// Records what the command line hands to lRunKov, with the batch mode in force at the call.
class RecordingShell final : public kov::automation::KovShellInterface {
 public:
  explicit RecordingShell(QStringList* calls) : m_calls(calls) {}
  std::int32_t lRunKov(std::int16_t eRunType, const QString& sControlFile,
                       const QString& sCurrentDirectory, std::optional<bool> bBatch) override {
    *m_calls << QStringLiteral("%1 %2 %3%4 %5")
                    .arg(eRunType)
                    .arg(kov::runhost::gbBatch ? QStringLiteral("batch") : QStringLiteral("-"))
                    .arg(bBatch.has_value() ? QStringLiteral("given ") : QString())
                    .arg(sCurrentDirectory.isEmpty() ? QStringLiteral("nodir") : sCurrentDirectory)
                    .arg(sControlFile);
    return 1;
  }

 private:
  QStringList* m_calls;
};

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class RunHostTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void parseCommandLine_data();
  void parseCommandLine();
  void startModes_data();
  void startModes();
  void commandLineRunsFilesWithTheSwitchesBeforeThem_data();
  void commandLineRunsFilesWithTheSwitchesBeforeThem();
  void startWithoutFilesRunsNothing();

  void madPattern_data();
  void madPattern();
  void pathFieldIsCutAt300Bytes();
  void registryValues();

  void runPriorityIsSetBeforeTheWorkerRuns_data();
  void runPriorityIsSetBeforeTheWorkerRuns();
  void progressWindowFollowsAnEmRun();
  void dataAugmentationShowsTheIterationOnly();
  void endOfRunSaysHowItEnded_data();
  void endOfRunSaysHowItEnded();
  void progressOfTheMaximumAndTheReportOfTheControlFile();
  void timeLeft_data();
  void timeLeft();
  void engineErrorIsShownOnceDone();
  void failedStartShowsTwoMessagesAndLetsTheProcessEnd_data();
  void failedStartShowsTwoMessagesAndLetsTheProcessEnd();
  void unknownRunTypeStartsNoWorker();
  void busyAndUsedEnginesAreRefused();
  void batchModeReturnsAfterTheWindowIsUnloaded();
  void inaccessibleControlFileReturnsZero();
  void missingEngineIsAnAutomationError();

 private:
  std::shared_ptr<KovShell> NewShell() { return KovShell::Create(*m_engine, m_lifetime); }
  void SetRunPriority(const std::optional<QString>& value);

  QTemporaryDir m_temp;
  QString m_controlFile;
  QString m_startDirectory;
  std::optional<EngineLibrary> m_engine;
  std::optional<ScriptedEngine> m_script;
  ProcessLifetime m_lifetime;
  RecordingMessageSink m_messages;
  std::optional<kov::gui::ScopedMessageSink> m_sinkGuard;
};

void RunHostTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_temp.filePath("config"));
  QGuiApplication::setApplicationDisplayName(QStringLiteral("KovExec"));
  m_controlFile = m_temp.filePath("run.cnt");
  QFile file(m_controlFile);
  QVERIFY(file.open(QIODevice::WriteOnly));
  QVERIFY(file.write("* the scripted engine does not read it\n") > 0);
  file.close();
  m_engine.emplace(QStringLiteral(SCRIPTED_ENGINE_DIR));
  m_script.emplace(QStringLiteral(SCRIPTED_ENGINE_DIR "/libkov.so"));
  m_sinkGuard.emplace(m_messages);
  m_startDirectory = QDir::currentPath();
}

void RunHostTest::init() {
  m_script->Reset();
  m_messages.Clear();
  m_messages.SetOnShow({});
  kov::runhost::gbBatch = false;
  SetRunPriority(std::nullopt);
}

void RunHostTest::cleanup() {
  // A failed test may leave a worker waiting for its abort and a window open.
  m_engine->lAbortRun();
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = qobject_cast<frmEMRun*>(widget)) {
      QTRY_VERIFY(window->bOKToUnload());
      delete window;
    }
  }
  QDir::setCurrent(m_startDirectory);
}

void RunHostTest::SetRunPriority(const std::optional<QString>& value) {
  const auto settings = kov::automation::OpenMarnelSettings();
  if (value.has_value()) {
    settings->setValue(QStringLiteral("Settings/RunPriority"), *value);
  } else {
    settings->remove(QStringLiteral("Settings/RunPriority"));
  }
  settings->sync();
  QCOMPARE(settings->status(), QSettings::NoError);
}

void RunHostTest::parseCommandLine_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QStringList>("tokens");
  // Worked by hand from the token rules: a switch is "/" and one character standing as a word.
  QTest::newRow("switches before a file") << "/D /B run.cnt" << QStringList{"/D", "/B", "run.cnt"};
  QTest::newRow("switch after a file") << "run.cnt /D" << QStringList{"run.cnt", "/D"};
  QTest::newRow("files with blanks between switches")
      << "/d my model.cnt /N other one.cnt" << QStringList{"/d", "my model.cnt", "/N", "other one.cnt"};
  QTest::newRow("absolute path keeps its slashes")
      << "/B /home/ann/runs/a b.cnt" << QStringList{"/B", "/home/ann/runs/a b.cnt"};
  QTest::newRow("switch at the very end") << "run.cnt /B" << QStringList{"run.cnt", "/B"};
  QTest::newRow("blanks only between tokens") << "  /D   /B  " << QStringList{"/D", "/B"};
  QTest::newRow("slash inside a word") << "runs/D" << QStringList{"runs/D"};
  QTest::newRow("longer slash word is a file") << "/Dx run.cnt" << QStringList{"/Dx run.cnt"};
  QTest::newRow("empty") << "" << QStringList{};
}

void RunHostTest::parseCommandLine() {
  QFETCH(QString, text);
  QFETCH(QStringList, tokens);
  QCOMPARE(kov::runhost::ParseCommandLine(text), tokens);
}

void RunHostTest::startModes_data() {
  using kov::runhost::StartMode;
  QTest::addColumn<QStringList>("arguments");
  QTest::addColumn<int>("mode");
  QTest::newRow("nothing") << QStringList{} << int(StartMode::kNothingToServe);
  QTest::newRow("blank") << QStringList{" "} << int(StartMode::kNothingToServe);
  QTest::newRow("embedding alone") << QStringList{"-Embedding"} << int(StartMode::kEmbedding);
  QTest::newRow("embedding with socket")
      << QStringList{"-Embedding", "/tmp/s"} << int(StartMode::kEmbedding);
  QTest::newRow("register, any case") << QStringList{"/regserver"} << int(StartMode::kRegisterServer);
  QTest::newRow("unregister") << QStringList{"-UnregServer"} << int(StartMode::kUnregisterServer);
  QTest::newRow("user's files") << QStringList{"/D", "run.cnt"} << int(StartMode::kCommandLine);
}

void RunHostTest::startModes() {
  QFETCH(QStringList, arguments);
  QFETCH(int, mode);
  QCOMPARE(int(kov::runhost::DecideStartMode(arguments)), mode);
}

void RunHostTest::commandLineRunsFilesWithTheSwitchesBeforeThem_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QStringList>("calls");
  QTest::addColumn<int>("messages");
  // %1 an accessible control file, %2 a missing one, %3 the folder of both. A call reads: run
  // type, batch mode in force, "given" when bBatch was passed (never from the command line), the
  // directory, the file. The run works in the control file's folder, and a relative name is
  // taken against the folder the program was started in (%3 here).
  QTest::newRow("/D /B file: data augmentation in batch mode")
      << "/D /B %1" << QStringList{"2 batch %3 %1"} << 0;
  QTest::newRow("file /D: EM, the switch comes later") << "%1 /D" << QStringList{"1 - %3 %1"} << 0;
  QTest::newRow("switches in any case, /N separates files")
      << "/b %1 /N /d %1" << QStringList{"1 batch %3 %1", "2 batch %3 %1"} << 0;
  QTest::newRow("missing file is skipped with a message")
      << "%2 /N %1" << QStringList{"1 - %3 %1"} << 1;
  QTest::newRow("switches only") << "/D /B /N" << QStringList{} << 0;
  QTest::newRow("relative name") << "run.cnt" << QStringList{"1 - %3 %1"} << 0;
  QTest::newRow("relative name with a folder") << "../" + QFileInfo(m_temp.path()).fileName() + "/run.cnt"
                                               << QStringList{"1 - %3 %1"} << 0;
}

void RunHostTest::commandLineRunsFilesWithTheSwitchesBeforeThem() {
  QFETCH(QString, text);
  QFETCH(QStringList, calls);
  QFETCH(int, messages);
  const QString missing = m_temp.filePath("missing.cnt");
  QVERIFY(QDir::setCurrent(m_temp.path()));
  QStringList made;
  kov::runhost::HandleCommandLine(
      QString(text).replace(QStringLiteral("%1"), m_controlFile).replace(QStringLiteral("%2"), missing),
      [&made] { return std::make_shared<RecordingShell>(&made); });
  for (QString& call : calls) {
    call.replace(QStringLiteral("%1"), m_controlFile).replace(QStringLiteral("%3"), m_temp.path());
  }
  QCOMPARE(made, calls);
  QCOMPARE(int(m_messages.Messages().size()), messages);
}

void RunHostTest::startWithoutFilesRunsNothing() {
  // An empty command line and a bare "-Embedding" return at once without touching the engine.
  QCOMPARE(kov::runhost::Main({}, *m_engine), 0);
  QCOMPARE(kov::runhost::Main({QStringLiteral("-Embedding")}, *m_engine), 0);
  QCOMPARE(m_script->Observation().starts, 0);
  QVERIFY(m_messages.Messages().empty());
  QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void RunHostTest::madPattern_data() {
  QTest::addColumn<double>("value");
  QTest::addColumn<QString>("text");
  // Nine decimals, rounded; no digit before the point below 1.
  QTest::newRow("small") << 0.0000123 << ".000012300";
  QTest::newRow("above one") << 1.5 << "1.500000000";
  QTest::newRow("zero") << 0.0 << ".000000000";
  QTest::newRow("rounds the tenth decimal") << 12.3456789012 << "12.345678901";
  QTest::newRow("rounds up to one") << 0.9999999996 << "1.000000000";
  QTest::newRow("negative below one") << -0.25 << "-.250000000";
}

void RunHostTest::madPattern() {
  QFETCH(double, value);
  QFETCH(QString, text);
  QCOMPARE(kov::runhost::FormatMad(value), text);
}

void RunHostTest::pathFieldIsCutAt300Bytes() {
  // Shorter paths are padded with blanks (seen by the engine in progressWindowFollowsAnEmRun).
  const QString longPath = QLatin1Char('/') + QString(309, QLatin1Char('x')) + QStringLiteral(".cnt");
  QCOMPARE(kov::runhost::ControlFileField(longPath), longPath.toLatin1().left(300));
}

void RunHostTest::registryValues() {
  using kov::runhost::RegValueText;
  QCOMPARE(RegValueText(QStringLiteral("LOWEST")), std::optional<QString>(QStringLiteral("LOWEST")));
  QCOMPARE(RegValueText(QString()), std::optional<QString>(QString()));
  // 258 is stored as the bytes 2, 1, 0, 0; last byte first they read 0, 0, 1, 2.
  QCOMPARE(RegValueText(QVariant(258)), std::optional<QString>(QStringLiteral("0012")));
  QCOMPARE(RegValueText(QVariant(QStringList{"a", "b"})), std::optional<QString>());
  // 127 characters and the terminating zero fill the 128-byte buffer; one more does not fit.
  QCOMPARE(RegValueText(QString(127, QLatin1Char('a'))).has_value(), true);
  QCOMPARE(RegValueText(QString(128, QLatin1Char('a'))).has_value(), false);

  SetRunPriority(QStringLiteral("LOWER"));
  QCOMPARE(kov::runhost::QueryRegValue("Settings", "RunPriority"), std::optional<QString>("LOWER"));
  QCOMPARE(kov::runhost::QueryRegValue("Settings", "Missing"), std::optional<QString>());
  QCOMPARE(kov::runhost::QueryRegValue("Nowhere", "RunPriority"), std::optional<QString>());

  // The thread count reaches the engine through MARNEL_THREADS; an unusable setting leaves the
  // environment as it was.
  const auto settings = kov::automation::OpenMarnelSettings();
  for (const auto& [setting, expected] : std::initializer_list<std::pair<const char*, const char*>>{
           {"3", "3"}, {"256", "256"}, {"0", "7"}, {"257", "7"}, {"two", "7"}, {nullptr, "7"}}) {
    qputenv("MARNEL_THREADS", "7");
    if (setting != nullptr) {
      settings->setValue(QStringLiteral("Settings/Threads"), QString::fromLatin1(setting));
    } else {
      settings->remove(QStringLiteral("Settings/Threads"));
    }
    settings->sync();
    kov::runhost::ApplyThreadSetting();
    QCOMPARE(qgetenv("MARNEL_THREADS"), QByteArray(expected));
  }
  settings->remove(QStringLiteral("Settings/Threads"));
  qunsetenv("MARNEL_THREADS");
}

void RunHostTest::runPriorityIsSetBeforeTheWorkerRuns_data() {
  QTest::addColumn<QString>("setting");  // a null text: no value at all
  QTest::addColumn<int>("nice");
  // The platform gives lowest priority nice 19, below normal 10, normal 0.
  QTest::newRow("LOWEST") << "LOWEST" << 19;
  QTest::newRow("LOWER") << "LOWER" << 10;
  QTest::newRow("NORMAL") << "NORMAL" << 0;
  QTest::newRow("lowest is not LOWEST") << "lowest" << 0;
  QTest::newRow("no value") << QString() << 0;
}

void RunHostTest::runPriorityIsSetBeforeTheWorkerRuns() {
  QFETCH(QString, setting);
  QFETCH(int, nice);
  SetRunPriority(setting.isNull() ? std::nullopt : std::optional<QString>(setting));
  m_script->EndAtOnce();
  auto shell = NewShell();
  QCOMPARE(shell->lRunKov(1, m_controlFile, QString(), false), std::int32_t(getpid()));
  QSignalSpy ended(shell->Window(), &frmEMRun::RunEnded);
  QVERIFY(ended.wait(5000));
  // The worker reads its nice value as its first act. It starts from this thread's value, and
  // without privileges a thread can only be lowered, never raised above where it began.
  errno = 0;
  const int own = getpriority(PRIO_PROCESS, 0);
  QCOMPARE(errno, 0);
  QCOMPARE(m_script->Observation().workerNice, std::max(own, nice));
  QVERIFY(m_messages.Messages().empty());
}

void RunHostTest::progressWindowFollowsAnEmRun() {
  auto shell = NewShell();
  QCOMPARE(shell->lRunKov(1, m_controlFile, QString(), false), std::int32_t(getpid()));
  // A start sets the iteration back to 0; this is what the worker publishes later on.
  m_script->Publish(7, 0.0000123);
  const QPointer<frmEMRun> window = shell->Window();
  QVERIFY(window);
  QVERIFY(window->isVisible());
  QCOMPARE(window->windowTitle(), QStringLiteral("Kov Run"));
  QCOMPARE(window->Label2()->text(), QStringLiteral("Status:"));
  QVERIFY(!window->bOKToUnload());
  QSignalSpy started(window.data(), &frmEMRun::RunStarted);
  QSignalSpy ended(window.data(), &frmEMRun::RunEnded);
  QVERIFY(started.wait(5000));

  QCOMPARE(window->lblStatus()->text(), QStringLiteral("Running"));
  QCOMPARE(window->cmdButton(0)->text(), QStringLiteral("&Abort"));
  // The first poll comes with the start, not one interval later.
  QCOMPARE(window->lblInfo()->text().section(QLatin1Char('\n'), 1, 1),
           QStringLiteral("Iteration 7,MAD= .000012300"));
  QVERIFY(window->lblInfo()->text().startsWith(QStringLiteral("Began: ")));
  QVERIFY(window->Timer1().isActive());
  // The control file names no maximum the window could read: no bar.
  QVERIFY(window->prgIterations()->isHidden());
  const kov::runhost::test::ScriptedObservation observed = m_script->Observation();
  QCOMPARE(observed.lastRunType, 1);
  QCOMPARE(QByteArray(observed.pathField, 300),
           m_controlFile.toUtf8() + QByteArray(300 - m_controlFile.toUtf8().size(), ' '));

  window->cmdButton(1)->click();
  QStringList lines = window->lblInfo()->text().split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 3);
  QVERIFY(lines[0].startsWith(QStringLiteral("Began: ")));
  QCOMPARE(lines[1], QStringLiteral("Iteration 7,MAD= .000012300"));
  QVERIFY(lines[2].startsWith(QStringLiteral(" at ")));

  m_script->FailPolls(true);
  window->cmdButton(1)->click();
  lines = window->lblInfo()->text().split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 2);
  QCOMPARE(lines[1], QStringLiteral("Get Iteration failed"));
  m_script->FailPolls(false);

  // Closing is refused while the run goes on.
  QVERIFY(!window->close());
  QVERIFY(window->isVisible());
  QCOMPARE(m_messages.Texts(), QStringList{"Kov run still processing.  Abort run to quit now"});

  window->cmdButton(0)->click();
  QVERIFY(ended.wait(5000));
  QVERIFY(m_script->Observation().abortSeen);
  QCOMPARE(window->lblStatus()->text(), QStringLiteral("Aborted"));
  QCOMPARE(window->cmdButton(0)->text(), QStringLiteral("&Close"));
  QVERIFY(!window->cmdButton(1)->isEnabled());
  QVERIFY(!window->Timer1().isActive());
  QVERIFY(window->bOKToUnload());
  lines = window->lblInfo()->text().split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 2);
  QVERIFY(lines[0].startsWith(QStringLiteral("Began: ")));
  QVERIFY(lines[1].startsWith(QStringLiteral("Ended: ")));
  QCOMPARE(m_messages.Messages().size(), std::size_t{1});

  // The window holds its shell: the process lives until "&Close" unloads it.
  shell.reset();
  QVERIFY(!m_lifetime.Idle());
  QSignalSpy idle(&m_lifetime, &ProcessLifetime::BecameIdle);
  window->cmdButton(0)->click();
  QVERIFY(idle.wait(5000));
  QVERIFY(window.isNull());
}

void RunHostTest::dataAugmentationShowsTheIterationOnly() {
  auto shell = NewShell();
  shell->lRunKov(2, m_controlFile, QString(), false);
  m_script->Publish(3, -9.0);
  frmEMRun* window = shell->Window();
  QVERIFY(window != nullptr);
  QSignalSpy started(window, &frmEMRun::RunStarted);
  QVERIFY(started.wait(5000));
  QCOMPARE(m_script->Observation().lastRunType, 2);
  window->cmdButton(1)->click();
  const QStringList lines = window->lblInfo()->text().split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 3);
  QCOMPARE(lines[1], QStringLiteral("Iteration 3"));
  QVERIFY(lines[2].startsWith(QStringLiteral(" at ")));
}

void RunHostTest::endOfRunSaysHowItEnded_data() {
  QTest::addColumn<QString>("end");
  QTest::addColumn<QString>("status");
  QTest::addColumn<QString>("lastLine");
  QTest::addColumn<QStringList>("messages");
  QTest::newRow("finished") << "finish" << "Finished" << "Finished: " << QStringList{};
  QTest::newRow("failed") << "fail" << "Failed" << "7-Unable to open data file for reading: x.dat (/m/x.dat)"
                          << QStringList{"Unexpected Error from runtime engine: \n7-Unable to open data "
                                         "file for reading: x.dat (/m/x.dat)"};
  // The user asked for the end: no error box, whatever the engine says about it.
  QTest::newRow("aborted") << "abort" << "Aborted" << "Ended: " << QStringList{};
}

void RunHostTest::endOfRunSaysHowItEnded() {
  QFETCH(QString, end);
  QFETCH(QString, status);
  QFETCH(QString, lastLine);
  QFETCH(QStringList, messages);
  if (end != QLatin1String("abort")) m_script->EndAtOnce();
  if (end == QLatin1String("fail")) m_script->FailRun(7, "Unable to open data file for reading: x.dat (/m/x.dat)");
  if (end == QLatin1String("abort")) m_script->FailRun(5011, "The run was aborted.");
  auto shell = NewShell();
  shell->lRunKov(1, m_controlFile, QString(), false);
  const QPointer<frmEMRun> window = shell->Window();
  QVERIFY(window);
  QSignalSpy started(window.data(), &frmEMRun::RunStarted);
  QSignalSpy ended(window.data(), &frmEMRun::RunEnded);
  if (end == QLatin1String("abort")) {
    QVERIFY(started.wait(5000));
    window->cmdButton(0)->click();
  }
  QVERIFY(ended.count() == 1 || ended.wait(5000));
  QCOMPARE(window->lblStatus()->text(), status);
  QVERIFY2(window->lblInfo()->text().section(QLatin1Char('\n'), -1).startsWith(lastLine),
           qPrintable(window->lblInfo()->text()));
  QCOMPARE(m_messages.Texts(), messages);
}

void RunHostTest::progressOfTheMaximumAndTheReportOfTheControlFile() {
  // A real control file (the scripted engine never reads it; the window does, for the maximum
  // of 1000 iterations and the report's name), in a folder of its own; the run works there.
  const QString folder = m_temp.filePath(QStringLiteral("model"));
  QVERIFY(QDir().mkpath(folder));
  QFile::remove(folder + "/st.cnt");
  QVERIFY(QFile::copy(QStringLiteral(EXAMPLES_DIR "/stouffer_toby.cnt"), folder + "/st.cnt"));
  QFile report(folder + "/stouffer_toby.out");
  QVERIFY(report.open(QIODevice::WriteOnly));
  const QByteArray text = " ITERATION   LOG-LIKELIHOOD\n         1    -123.4\n";
  QVERIFY(report.write(text) == text.size());
  report.close();

  m_script->EndAtOnce();
  auto shell = NewShell();
  shell->lRunKov(1, folder + "/st.cnt", QString(), false);
  m_script->Publish(250, 0.001);
  const QPointer<frmEMRun> window = shell->Window();
  QVERIFY(window);
  QCOMPARE(window->ReportPath(), folder + "/stouffer_toby.out");
  QCOMPARE(window->lblReport()->text(), "Report: " + folder + "/stouffer_toby.out");
  QVERIFY(!window->cmdViewReport()->isEnabled());
  // The report of the run before is kept.
  QCOMPARE(ReadFile(folder + "/stouffer_toby.out.bak"), text);
  QSignalSpy ended(window.data(), &frmEMRun::RunEnded);
  QVERIFY(ended.wait(5000));
  QCOMPARE(QDir::currentPath(), QDir(folder).canonicalPath());
  QCOMPARE(window->lblStatus()->text(), QStringLiteral("Finished"));
  QVERIFY(window->prgIterations()->isVisibleTo(window));
  // Converged at 250 of 1000: the bar is full once the run is over.
  QCOMPARE(window->prgIterations()->value(), window->prgIterations()->maximum());
  QCOMPARE(window->prgIterations()->text(), QStringLiteral("Finished"));

  QVERIFY(window->cmdViewReport()->isEnabled());
  QSignalSpy shown(window.data(), &frmEMRun::ReportShown);
  window->cmdViewReport()->click();
  QCOMPARE(shown.count(), 1);
  auto* view = qobject_cast<kov::gui::ReportDialog*>(shown.at(0).at(0).value<QWidget*>());
  QVERIFY(view != nullptr);
  QVERIFY(view->isVisible());
  QCOMPARE(view->Text()->toPlainText(), QString::fromLatin1(text));
  QVERIFY(view->Text()->isReadOnly());
  QVERIFY(QFontInfo(view->Text()->font()).fixedPitch());
  const QPointer<QWidget> closed = view;
  view->close();
  QTRY_VERIFY(closed.isNull());
}

void RunHostTest::timeLeft_data() {
  QTest::addColumn<int>("iteration");
  QTest::addColumn<qint64>("maximum");
  QTest::addColumn<int>("paceIteration");
  QTest::addColumn<qint64>("elapsedMs");
  QTest::addColumn<bool>("emRun");
  QTest::addColumn<QString>("text");
  // Iterations 10..19 took 5 s: 0.5 s each; 20..100 remain, 81 of them: 40.5 s, rounded to 41
  // (llround takes halves away from zero).
  QTest::newRow("chain") << 20 << qint64(100) << 10 << qint64(5000) << false << ", time left 0:41";
  QTest::newRow("EM: a bound") << 20 << qint64(100) << 10 << qint64(5000) << true << ", at most 0:41 left";
  // 1 s per iteration, 3700 remain: 1:01:40.
  QTest::newRow("hours") << 2 << qint64(3701) << 1 << qint64(1000) << false << ", time left 1:01:40";
  QTest::newRow("nothing since the pace began") << 10 << qint64(100) << 10 << qint64(5000) << false << "";
  QTest::newRow("past the maximum") << 101 << qint64(100) << 10 << qint64(5000) << false << "";
}

void RunHostTest::timeLeft() {
  QFETCH(int, iteration);
  QFETCH(qint64, maximum);
  QFETCH(int, paceIteration);
  QFETCH(qint64, elapsedMs);
  QFETCH(bool, emRun);
  QFETCH(QString, text);
  const kov::runhost::RunPace pace{paceIteration, 1000};
  QCOMPARE(kov::runhost::TimeLeftText(iteration, maximum, pace, 1000 + elapsedMs, emRun), text);
}

void RunHostTest::engineErrorIsShownOnceDone() {
  m_script->EndAtOnce();
  m_script->FailRun(12, "Error Reading Title");
  auto shell = NewShell();
  shell->lRunKov(1, m_controlFile, QString(), false);
  const QPointer<frmEMRun> window = shell->Window();
  QVERIFY(window);
  QString statusWhenShown;
  m_messages.SetOnShow([&](const kov::gui::Message&) {
    if (window) statusWhenShown = window->lblStatus()->text() + " " + window->cmdButton(0)->text();
  });
  QSignalSpy ended(window.data(), &frmEMRun::RunEnded);
  QVERIFY(ended.wait(5000));
  // The engine pads its message with blanks to 1024 bytes; the window trims them.
  QCOMPARE(m_messages.Texts(),
           QStringList{"Unexpected Error from runtime engine: \n12-Error Reading Title"});
  QCOMPARE(m_messages.Messages().front().title, QStringLiteral("KovExec"));
  QCOMPARE(statusWhenShown, QStringLiteral("Failed &Close"));
  QVERIFY(window->lblInfo()->text().endsWith(QStringLiteral("\n12-Error Reading Title")));
}

void RunHostTest::failedStartShowsTwoMessagesAndLetsTheProcessEnd_data() {
  QTest::addColumn<QString>("earlierMessage");
  QTest::addColumn<QString>("trimmed");
  // A failed start leaves the message as it was: all zero bytes in a fresh engine.
  QTest::newRow("fresh engine") << "" << "";
  QTest::newRow("earlier message") << "  Out of threads " << "Out of threads";
}

void RunHostTest::failedStartShowsTwoMessagesAndLetsTheProcessEnd() {
  QFETCH(QString, earlierMessage);
  QFETCH(QString, trimmed);
  m_script->FailStart(11, earlierMessage.toStdString());
  auto shell = NewShell();
  QCOMPARE(shell->lRunKov(1, m_controlFile, QString(), false), std::int32_t(getpid()));
  QCOMPARE(m_messages.Texts(),
           (QStringList{"Error processing 11: " + trimmed,
                        "Unexpected Error from runtime engine: \n11-" + trimmed}));
  // No window stays loaded, so the process ends as soon as the caller lets go.
  QVERIFY(shell->Window() == nullptr);
  QCOMPARE(m_lifetime.Windows(), 0);
  QSignalSpy idle(&m_lifetime, &ProcessLifetime::BecameIdle);
  shell.reset();
  QCOMPARE(idle.count(), 1);
}

void RunHostTest::unknownRunTypeStartsNoWorker() {
  auto shell = NewShell();
  QCOMPARE(shell->lRunKov(3, m_controlFile, QString(), false), std::int32_t(getpid()));
  // The engine's code is still 0, so the second message does not appear.
  QCOMPARE(m_messages.Texts(), QStringList{"Error processing 0: "});
  QCOMPARE(m_script->Observation().starts, 0);
  QVERIFY(shell->Window() == nullptr);
}

void RunHostTest::busyAndUsedEnginesAreRefused() {
  auto first = NewShell();
  first->lRunKov(1, m_controlFile, QString(), false);
  const QPointer<frmEMRun> window = first->Window();
  QVERIFY(window);

  auto second = NewShell();
  QCOMPARE(second->lRunKov(1, m_controlFile, QString(), false), std::int32_t(getpid()));
  QCOMPARE(m_messages.Texts(), QStringList{kBusyText});
  QVERIFY(second->Window() == nullptr);
  QCOMPARE(m_script->Observation().starts, 1);

  QSignalSpy ended(window.data(), &frmEMRun::RunEnded);
  window->cmdButton(0)->click();
  QVERIFY(ended.wait(5000));

  m_messages.Clear();
  auto third = NewShell();
  QCOMPARE(third->lRunKov(2, m_controlFile, QString(), false), std::int32_t(getpid()));
  QCOMPARE(m_messages.Texts(), QStringList{kUsedText});
  QVERIFY(third->Window() == nullptr);
  QCOMPARE(m_script->Observation().starts, 1);
}

void RunHostTest::batchModeReturnsAfterTheWindowIsUnloaded() {
  m_script->EndAtOnce();
  auto shell = NewShell();
  QCOMPARE(shell->lRunKov(1, m_controlFile, m_temp.path(), true), std::int32_t(getpid()));
  QCOMPARE(QDir::currentPath(), QDir(m_temp.path()).canonicalPath());
  QCOMPARE(m_script->Observation().starts, 1);
  QCOMPARE(m_engine->lCurrentlyRunning(), 0);
  QVERIFY(shell->Window() == nullptr);
  QCOMPARE(m_lifetime.Windows(), 0);
  QVERIFY(m_messages.Messages().empty());

  // Batch mode stays on when bBatch is left out, and never waits for a refused run.
  QCOMPARE(shell->lRunKov(1, m_controlFile, QString(), std::nullopt), std::int32_t(getpid()));
  QVERIFY(kov::runhost::gbBatch);
  QCOMPARE(m_messages.Texts(), QStringList{kUsedText});
}

void RunHostTest::inaccessibleControlFileReturnsZero() {
  const QString missing = m_temp.filePath("nowhere/run.cnt");
  auto shell = NewShell();
  QCOMPARE(shell->lRunKov(1, missing, QString(), false), 0);
  QCOMPARE(int(m_messages.Messages().size()), 1);
  QCOMPARE(m_messages.Messages().front().title, QStringLiteral("File access error"));
  // ENOENT is 2 on Linux.
  QCOMPARE(m_messages.Messages().front().text,
           "Error accessing file " + missing + ":\n2 - " + QString::fromLocal8Bit(std::strerror(ENOENT)));
  QCOMPARE(m_script->Observation().starts, 0);
  QCOMPARE(m_lifetime.Windows(), 0);
}

void RunHostTest::missingEngineIsAnAutomationError() {
  struct Case {
    QString folder;
    std::int32_t number;
    QString named;
  };
  const Case cases[] = {
      {m_temp.filePath("no-engine-here"), kov::automation::kErrorFileNotFound, "libkov.so"},
      {QStringLiteral(INCOMPLETE_ENGINE_DIR), kov::automation::kErrorEntryPointNotFound,
       "lCurrentlyRunning"},
  };
  for (const Case& expected : cases) {
    EngineLibrary engine(expected.folder);
    auto shell = KovShell::Create(engine, m_lifetime);
    try {
      shell->lRunKov(1, m_controlFile, QString(), false);
      QFAIL("lRunKov returned without its engine");
    } catch (const AutomationError& error) {
      QCOMPARE(error.Number(), expected.number);
      QVERIFY2(error.Description().contains(expected.named), qPrintable(error.Description()));
    }
    QCOMPARE(m_lifetime.Windows(), 0);
  }
  QVERIFY(m_messages.Messages().empty());
}

QTEST_MAIN(RunHostTest)
#include "runhost_test.moc"
