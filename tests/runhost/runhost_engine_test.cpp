// The run host over the real engine in the test's own process. The engine runs one job per
// loaded library, so this process runs exactly one: a long EM run that is aborted, after which
// a second job is refused.

#include <unistd.h>

#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include "engine_library.h"
#include "frm_em_run.h"
#include "kov_shell.h"
#include "message_sink.h"
#include "process_lifetime.h"

using kov::runhost::EngineLibrary;
using kov::runhost::frmEMRun;
using kov::runhost::KovShell;

namespace {

// The iteration in "Iteration N,MAD= ..." of the information text, or -1.
int ShownIteration(const QString& info) {
  static const QRegularExpression pattern(QStringLiteral("\nIteration (\\d+)(?: of \\d+)?,MAD= "));
  const QRegularExpressionMatch match = pattern.match(info);
  return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// The iteration numbers of the report's iteration history: entries "  N  .MMMMMMMMMM" after
// the "ITER-   MAD" heading, three to a line.
QList<int> HistoryIterations(const QString& report) {
  QList<int> iterations;
  const qsizetype heading = report.indexOf(QStringLiteral("ITER-   MAD"));
  if (heading < 0) return iterations;
  const qsizetype end = report.indexOf(QStringLiteral("MODEL FIT"), heading);
  static const QRegularExpression entry(QStringLiteral("(\\d+)  (-?\\.\\d{10}|\\d+\\.\\d+)"));
  auto matches = entry.globalMatch(report.mid(heading, end - heading));
  while (matches.hasNext()) iterations << matches.next().captured(1).toInt();
  return iterations;
}

}  // namespace

class RunHostEngineTest : public QObject {
  Q_OBJECT

 private slots:
  void abortEndsALongRunAndTheNextJobIsRefused();
};

void RunHostEngineTest::abortEndsALongRunAndTheNextJobIsRefused() {
  QTemporaryDir temp;
  QVERIFY(temp.isValid());
  const QString report = temp.filePath("long.out");
  // The LTA example with a criterion of 0 and two million iterations: at most a few
  // milliseconds an iteration, so only the abort ends it in time. No estimates file, so no
  // silent iterations follow the loop.
  QFile example(QStringLiteral(EXAMPLES_DIR "/lta.cnt"));
  QVERIFY(example.open(QIODevice::ReadOnly));
  QString control = QString::fromLatin1(example.readAll());
  control.replace(QStringLiteral("'lta.dat'"), QStringLiteral("'" EXAMPLES_DIR "/lta.dat'"))
      .replace(QStringLiteral("\n1 1 1000 0.000001\n"), QStringLiteral("\n1 0 2000000 0\n"))
      .replace(QStringLiteral("'lta_em.out'"), "'" + report + "'");
  QVERIFY(control.contains(QStringLiteral("2000000")));
  const QString controlFile = temp.filePath("long.cnt");
  QFile file(controlFile);
  QVERIFY(file.open(QIODevice::WriteOnly));
  QVERIFY(file.write(control.toLatin1()) == control.size());
  file.close();

  kov::gui::RecordingMessageSink messages;
  const kov::gui::ScopedMessageSink guard(messages);
  EngineLibrary engine(QStringLiteral(ENGINE_DIR));
  kov::runhost::ProcessLifetime lifetime;

  auto shell = KovShell::Create(engine, lifetime);
  QCOMPARE(shell->lRunKov(1, controlFile, QString(), false), std::int32_t(getpid()));
  const QPointer<frmEMRun> window = shell->Window();
  QVERIFY(window);
  QSignalSpy started(window.data(), &frmEMRun::RunStarted);
  QSignalSpy ended(window.data(), &frmEMRun::RunEnded);
  QVERIFY(started.wait(5000));

  // "&Get Info" until the run is well into its iterations.
  int seen = -1;
  QTRY_VERIFY_WITH_TIMEOUT((window->cmdButton(1)->click(),
                            seen = ShownIteration(window->lblInfo()->text())) >= 2,
                           15000);
  window->cmdButton(0)->click();
  QVERIFY(ended.wait(15000));
  QCOMPARE(window->lblStatus()->text(), QStringLiteral("Aborted"));
  QCOMPARE(window->cmdButton(0)->text(), QStringLiteral("&Close"));
  QVERIFY2(messages.Messages().empty(), qPrintable(messages.Texts().join(" | ")));

  // The worker leaves its loop at the end of the iteration it was in: the last one it published,
  // which is also the last one in the report's history.
  std::int32_t last = 0;
  double criterion = 0.0;
  std::int16_t running = -1;
  QCOMPARE(engine.lGetIteration(&last, &criterion, &running), 1);
  QCOMPARE(running, std::int16_t{0});
  QVERIFY(last >= seen);
  QVERIFY(last < 2000000);
  QFile written(report);
  QVERIFY(written.open(QIODevice::ReadOnly));
  const QString text = QString::fromLatin1(written.readAll());
  const QList<int> history = HistoryIterations(text);
  QVERIFY(!history.isEmpty());
  QCOMPARE(history.front(), 1);
  QCOMPARE(history.back(), last);
  QCOMPARE(history.size(), last);
  QVERIFY(text.contains(QStringLiteral("****WARNING: CONVERGENCE NOT REACHED****")));
  QVERIFY(text.contains(QStringLiteral("PROGRAM FINISHED")));

  // The library has run its job: the same process takes no second one.
  auto second = KovShell::Create(engine, lifetime);
  QCOMPARE(second->lRunKov(1, controlFile, QString(), false), std::int32_t(getpid()));
  QCOMPARE(messages.Texts(),
           QStringList{"Another job is finished, but the process is not closed yet.\n"
                       "Please press \"close\" on the other execution window and try again."});
  QVERIFY(second->Window() == nullptr);

  window->cmdButton(0)->click();
  QTRY_VERIFY(window.isNull());
}

QTEST_MAIN(RunHostEngineTest)
#include "runhost_engine_test.moc"
