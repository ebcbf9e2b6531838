// The run host as the editor meets it: a separate process created through the automation layer,
// waited on by its process identifier. The server is the robot server (kovexec's own start-up
// and windows, with a robot that logs every message and presses "&Close" once a run is done),
// or kovexec itself where no window needs a user.

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "automation_error.h"
#include "kov_shell_client.h"
#include "kovos.h"
#include "server_registry.h"

using kov::automation::AutomationError;
using kov::automation::KovShellClient;

namespace {

constexpr std::uint32_t kProcessEndMs = 20000;

bool ProcessEnds(qint64 pid) {
  const kovos::Handle process = kovos::OpenProcessForWait(static_cast<pid_t>(pid));
  // A process that cannot be opened has ended (and been reaped) already.
  if (process == 0) return true;
  const bool ended = kovos::WaitForHandle(process, kProcessEndMs) == kovos::kWaitSignalled;
  kovos::CloseHandle(process);
  return ended;
}

QString ReadText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

// The stouffer_toby example with its files made absolute: data from the examples, report and
// estimates into `folder`. `dataFile` replaces the data file when given.
QString WriteExample(const QString& folder, const QString& name, const QString& dataFile = {}) {
  QString control = ReadText(QStringLiteral(EXAMPLES_DIR "/stouffer_toby.cnt"));
  const QString data = dataFile.isEmpty() ? QStringLiteral(EXAMPLES_DIR "/stouffer_toby.dat") : dataFile;
  control.replace(QStringLiteral("'stouffer_toby.dat'"), "'" + data + "'")
      .replace(QStringLiteral("'stouffer_toby.out'"), "'" + folder + "/" + name + ".out'")
      .replace(QStringLiteral("\n'stouffer_toby.est'\n"), "\n'" + folder + "/" + name + ".est'\n");
  const QString path = folder + "/" + name + ".cnt";
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(control.toLatin1()) != control.size()) return {};
  return path;
}

// The stouffer_toby example as shipped, relative names and all, copied into `folder`; without
// its data file when `withData` is false. The control file's path, or empty when a copy failed.
QString CopyExample(const QString& folder, bool withData = true) {
  if (!QDir().mkpath(folder)) return {};
  QStringList names{QStringLiteral("stouffer_toby.cnt")};
  if (withData) names << QStringLiteral("stouffer_toby.dat");
  for (const QString& name : names) {
    QFile::remove(folder + "/" + name);
    if (!QFile::copy(QStringLiteral(EXAMPLES_DIR "/") + name, folder + "/" + name)) return {};
  }
  return folder + QStringLiteral("/stouffer_toby.cnt");
}

}  // namespace

class RunHostProcessTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();

  void registerServerRecordsKovexec();
  void runCompletesAndTheServerEndsAfterClose();
  void engineFailureIsShownWhenTheRunEnds();
  void inaccessibleControlFileReturnsZero();
  void secondJobInTheSameProcessIsRefused();
  void unregisteredProgIdStartsKovexecBesideTheCaller();
  void serverThatCannotStartIsAnAutomationError();
  void missingEngineIsAnAutomationError();
  void kovexecRunsABatchFromItsCommandLine();
  void kovexecWorksInTheControlFilesFolder_data();
  void kovexecWorksInTheControlFilesFolder();
  void kovexecBatchFailureGoesToStandardError_data();
  void kovexecBatchFailureGoesToStandardError();

 private:
  QList<QJsonObject> Log() const;
  QList<QJsonObject> LogMessages() const;

  QTemporaryDir m_temp;
  QString m_log;
  QString m_example;
};

void RunHostProcessTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  // Servers read and write the registration in the user's settings: keep them in the test's
  // folder, here and in every process started from here.
  const QString config = m_temp.filePath("config");
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  m_example = WriteExample(m_temp.path(), QStringLiteral("st"));
  QVERIFY(!m_example.isEmpty());
}

void RunHostProcessTest::init() {
  m_log = m_temp.filePath(QStringLiteral("%1.log").arg(QTest::currentTestFunction()));
  qputenv("KOVEXEC_ROBOT_LOG", QFile::encodeName(m_log));
  QVERIFY(kov::automation::RegisterServer(kov::automation::kKovShellProgId,
                                          QStringLiteral(ROBOT_SERVER_PATH)));
}

QList<QJsonObject> RunHostProcessTest::Log() const {
  QList<QJsonObject> records;
  for (const QString& line : ReadText(m_log).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
    records << QJsonDocument::fromJson(line.toUtf8()).object();
  }
  return records;
}

QList<QJsonObject> RunHostProcessTest::LogMessages() const {
  QList<QJsonObject> messages;
  for (const QJsonObject& record : Log()) {
    if (record.contains(QStringLiteral("message"))) messages << record;
  }
  return messages;
}

void RunHostProcessTest::registerServerRecordsKovexec() {
  QCOMPARE(QProcess::execute(QStringLiteral(KOVEXEC_PATH), {QStringLiteral("-RegServer")}), 0);
  QCOMPARE(kov::automation::RegisteredServer(kov::automation::kKovShellProgId),
           std::optional<QString>(QStringLiteral(KOVEXEC_PATH)));
  QCOMPARE(QProcess::execute(QStringLiteral(KOVEXEC_PATH), {QStringLiteral("-UnregServer")}), 0);
  QVERIFY(!kov::automation::RegisteredServer(kov::automation::kKovShellProgId).has_value());
}

void RunHostProcessTest::runCompletesAndTheServerEndsAfterClose() {
  auto shell = KovShellClient::Create();
  const qint64 server = shell->ServerProcessId();
  QVERIFY(server != getpid());
  QCOMPARE(qint64(shell->lRunKov(1, m_example, m_temp.path(), false)), server);
  shell->Release();

  QVERIFY(ProcessEnds(server));
  const QList<QJsonObject> log = Log();
  QCOMPARE(log.size(), 1);
  QCOMPARE(log[0]["window"].toString(), QStringLiteral("Finished"));
  QCOMPARE(log[0]["button"].toString(), QStringLiteral("&Close"));
  QCOMPARE(log[0]["getInfo"].toBool(), false);
  const QStringList info = log[0]["info"].toString().split(QLatin1Char('\n'));
  QCOMPARE(info.size(), 2);
  QVERIFY(info[0].startsWith(QStringLiteral("Began: ")));
  QVERIFY(info[1].startsWith(QStringLiteral("Finished: ")));
  QVERIFY(ReadText(m_temp.filePath("st.out")).contains(QStringLiteral("PROGRAM FINISHED")));
}

void RunHostProcessTest::engineFailureIsShownWhenTheRunEnds() {
  const QString missingData = m_temp.filePath("missing.dat");
  const QString control = WriteExample(m_temp.path(), QStringLiteral("bad"), missingData);
  auto shell = KovShellClient::Create();
  const qint64 server = shell->ServerProcessId();
  QCOMPARE(qint64(shell->lRunKov(1, control, QString(), false)), server);
  shell->Release();

  QVERIFY(ProcessEnds(server));
  // The engine's message for a data file it cannot open, with its open status (ENOENT, 2).
  const QList<QJsonObject> messages = LogMessages();
  QCOMPARE(messages.size(), 1);
  QCOMPARE(messages[0]["message"].toString(),
           "Unexpected Error from runtime engine: \n2-Unable to open data file for reading: " +
               missingData + ";  Please make sure this is a valid file path and name.");
  QCOMPARE(Log().back()["window"].toString(), QStringLiteral("Failed"));
}

void RunHostProcessTest::inaccessibleControlFileReturnsZero() {
  const QString missing = m_temp.filePath("nowhere.cnt");
  auto shell = KovShellClient::Create();
  const qint64 server = shell->ServerProcessId();
  QCOMPARE(shell->lRunKov(1, missing, QString(), false), 0);
  shell->Release();

  QVERIFY(ProcessEnds(server));
  const QList<QJsonObject> log = Log();
  QCOMPARE(log.size(), 1);
  QCOMPARE(log[0]["title"].toString(), QStringLiteral("File access error"));
  QVERIFY(log[0]["message"].toString().startsWith("Error accessing file " + missing + ":\n2 - "));
}

void RunHostProcessTest::secondJobInTheSameProcessIsRefused() {
  auto shell = KovShellClient::Create();
  const qint64 server = shell->ServerProcessId();
  // In batch mode the call returns once the run has ended and its window is gone.
  QCOMPARE(qint64(shell->lRunKov(1, m_example, QString(), true)), server);
  QVERIFY(ReadText(m_temp.filePath("st.out")).contains(QStringLiteral("PROGRAM FINISHED")));
  QCOMPARE(qint64(shell->lRunKov(1, m_example, QString(), false)), server);
  shell->Release();

  QVERIFY(ProcessEnds(server));
  const QList<QJsonObject> messages = LogMessages();
  QCOMPARE(messages.size(), 1);
  QCOMPARE(messages[0]["message"].toString(),
           QStringLiteral("Another job is finished, but the process is not closed yet.\n"
                          "Please press \"close\" on the other execution window and try again."));
}

void RunHostProcessTest::unregisteredProgIdStartsKovexecBesideTheCaller() {
  QVERIFY(kov::automation::UnregisterServer(kov::automation::kKovShellProgId));
  const QString report = m_temp.filePath("beside.out");
  QFile::remove(report);
  const QString control = WriteExample(m_temp.path(), QStringLiteral("beside"));
  auto shell = KovShellClient::Create();
  const qint64 server = shell->ServerProcessId();
  // kovexec itself: batch mode needs nobody to press "&Close".
  QCOMPARE(qint64(shell->lRunKov(1, control, QString(), true)), server);
  shell->Release();
  QVERIFY(ProcessEnds(server));
  QVERIFY(ReadText(report).contains(QStringLiteral("PROGRAM FINISHED")));
}

void RunHostProcessTest::serverThatCannotStartIsAnAutomationError() {
  // A program that ends at once, without ever connecting.
  const QString quitter = QStandardPaths::findExecutable(QStringLiteral("false"));
  QVERIFY(!quitter.isEmpty());
  QVERIFY(kov::automation::RegisterServer(kov::automation::kKovShellProgId, quitter));
  try {
    KovShellClient::Create();
    QFAIL("an object was created without a server");
  } catch (const AutomationError& error) {
    QCOMPARE(error.Number(), kov::automation::kErrorCannotCreateObject);
    QVERIFY2(error.Description().contains(QStringLiteral("ended before it connected")),
             qPrintable(error.Description()));
  }
}

void RunHostProcessTest::missingEngineIsAnAutomationError() {
  QVERIFY(kov::automation::RegisterServer(kov::automation::kKovShellProgId,
                                          QStringLiteral(NO_ENGINE_SERVER_PATH)));
  auto shell = KovShellClient::Create();
  const qint64 server = shell->ServerProcessId();
  try {
    shell->lRunKov(1, m_example, QString(), false);
    QFAIL("lRunKov returned without an engine");
  } catch (const AutomationError& error) {
    QCOMPARE(error.Number(), kov::automation::kErrorFileNotFound);
    QVERIFY2(error.Description().contains(QStringLiteral("libkov.so")), qPrintable(error.Description()));
  }
  shell->Release();
  QVERIFY(ProcessEnds(server));
  QVERIFY(LogMessages().isEmpty());
}

void RunHostProcessTest::kovexecRunsABatchFromItsCommandLine() {
  // A folder with a blank: the file name reaches the run host as one token.
  const QString folder = m_temp.filePath("with blank");
  QVERIFY(QDir().mkpath(folder));
  const QString control = WriteExample(folder, QStringLiteral("cli"));
  QProcess kovexec;
  kovexec.start(QStringLiteral(KOVEXEC_PATH), {QStringLiteral("/B"), control});
  QVERIFY(kovexec.waitForFinished(int(kProcessEndMs)));
  QCOMPARE(kovexec.exitStatus(), QProcess::NormalExit);
  QCOMPARE(kovexec.exitCode(), 0);
  QVERIFY(ReadText(folder + "/cli.out").contains(QStringLiteral("PROGRAM FINISHED")));
}

void RunHostProcessTest::kovexecWorksInTheControlFilesFolder_data() {
  QTest::addColumn<QString>("startFolder");
  QTest::addColumn<QString>("argument");
  // The example in <temp>/relative/model, its names bare: data beside it, reports written there.
  const QString parent = m_temp.filePath(QStringLiteral("relative"));
  QTest::newRow("bare name in its own folder") << parent + "/model" << "stouffer_toby.cnt";
  QTest::newRow("relative path from above") << parent << "model/stouffer_toby.cnt";
  QTest::newRow("absolute path from elsewhere") << m_temp.path() << parent + "/model/stouffer_toby.cnt";
}

void RunHostProcessTest::kovexecWorksInTheControlFilesFolder() {
  QFETCH(QString, startFolder);
  QFETCH(QString, argument);
  const QString folder = m_temp.filePath(QStringLiteral("relative/model"));
  QVERIFY(!CopyExample(folder).isEmpty());
  QFile::remove(folder + "/stouffer_toby.out");
  QProcess kovexec;
  kovexec.setWorkingDirectory(startFolder);
  kovexec.start(QStringLiteral(KOVEXEC_PATH), {QStringLiteral("/B"), argument});
  QVERIFY(kovexec.waitForFinished(int(kProcessEndMs)));
  QCOMPARE(kovexec.exitStatus(), QProcess::NormalExit);
  QVERIFY2(kovexec.exitCode() == 0, kovexec.readAllStandardError().constData());
  QVERIFY(ReadText(folder + "/stouffer_toby.out").contains(QStringLiteral("PROGRAM FINISHED")));
}

void RunHostProcessTest::kovexecBatchFailureGoesToStandardError_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<QString>("message");
  const QString missingData = m_temp.filePath("batch-missing.dat");
  QTest::newRow("engine error") << WriteExample(m_temp.path(), QStringLiteral("batchbad"), missingData)
                                << "Unexpected Error from runtime engine: \n2-Unable to open data file "
                                   "for reading: " + missingData;
  // A relative name is looked up beside the control file; the message says where that was.
  const QString withoutData = m_temp.filePath(QStringLiteral("no data"));
  QTest::newRow("relative data name") << CopyExample(withoutData, false)
                                      << "Unable to open data file for reading: stouffer_toby.dat (" +
                                             withoutData + "/stouffer_toby.dat)";
  const QString missingControl = m_temp.filePath("batch-nowhere.cnt");
  QTest::newRow("inaccessible control file") << missingControl
                                             << "Error accessing file " + missingControl + ":\n2 - ";
}

// Off screen in batch mode nobody could answer a message box: the message is written on
// standard error and kovexec ends with a failure status.
void RunHostProcessTest::kovexecBatchFailureGoesToStandardError() {
  QFETCH(QString, control);
  QFETCH(QString, message);
  QProcess kovexec;
  kovexec.start(QStringLiteral(KOVEXEC_PATH), {QStringLiteral("/B"), control});
  const bool ended = kovexec.waitForFinished(int(kProcessEndMs));
  if (!ended) {
    kovexec.kill();
    kovexec.waitForFinished();
  }
  QVERIFY2(ended, "kovexec waits for an answer");
  QCOMPARE(kovexec.exitStatus(), QProcess::NormalExit);
  QCOMPARE(kovexec.exitCode(), 1);
  const QString standardError = QString::fromLocal8Bit(kovexec.readAllStandardError());
  QVERIFY2(standardError.contains(message), qPrintable(standardError));
}

QTEST_GUILESS_MAIN(RunHostProcessTest)
#include "runhost_process_test.moc"
