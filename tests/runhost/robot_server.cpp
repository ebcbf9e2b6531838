// kovexec with a robot for a user, for the tests that drive the run host from another process
// through the automation layer. It is the run host's own start-up and windows; only the person
// in front of them is replaced:
//   - every message is answered at once and written to the log file named by KOVEXEC_ROBOT_LOG;
//   - when a progress window reaches Done, the robot writes what the window shows to the log and
//     presses "&Close".
// Log records are JSON objects, one a line: {"message": text, "title": title} and
// {"window": status, "button": caption of cmdButton 0, "getInfo": enabled, "info": text}.

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

#include "engine_library.h"
#include "frm_em_run.h"
#include "kov_mod.h"
#include "message_sink.h"

namespace {

class RobotLog {
 public:
  explicit RobotLog(const QString& path) : m_file(path) {
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) Fail("cannot open " + path);
  }

  void Write(const QJsonObject& record) {
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (m_file.write(line) != line.size() || !m_file.flush()) Fail("cannot write the log");
  }

 private:
  [[noreturn]] static void Fail(const QString& what) {
    std::fprintf(stderr, "robot_server: %s\n", qPrintable(what));
    std::exit(3);
  }

  QFile m_file;
};

class LoggingMessageSink final : public kov::gui::MessageSink {
 public:
  explicit LoggingMessageSink(RobotLog& log) : m_log(log) {}
  kov::gui::MessageAnswer Show(QWidget*, const kov::gui::Message& message) override {
    m_log.Write({{"message", message.text}, {"title", message.title}});
    return kov::gui::MessageAnswer::kOk;
  }

 private:
  RobotLog& m_log;
};

// Notices every progress window as it is shown and closes it once its run is done.
class Robot final : public QObject {
 public:
  explicit Robot(RobotLog& log) : m_log(log) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* window = qobject_cast<kov::runhost::frmEMRun*>(watched);
          window != nullptr && !window->property("robotWatching").toBool()) {
        window->setProperty("robotWatching", true);
        connect(window, &kov::runhost::frmEMRun::RunEnded, this,
                [this, window = QPointer(window)] { CloseWhenDone(window); },
                Qt::QueuedConnection);
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void CloseWhenDone(const QPointer<kov::runhost::frmEMRun>& window) {
    // A batch run's window is unloaded by lRunKov itself.
    if (window.isNull()) return;
    m_log.Write({{"window", window->lblStatus()->text()},
                 {"button", window->cmdButton(0)->text()},
                 {"getInfo", window->cmdButton(1)->isEnabled()},
                 {"info", window->lblInfo()->text()}});
    window->cmdButton(0)->click();
  }

  RobotLog& m_log;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Marnel"));
  QGuiApplication::setApplicationDisplayName(QStringLiteral("KovExec"));
  QGuiApplication::setQuitOnLastWindowClosed(false);
  RobotLog log(qEnvironmentVariable("KOVEXEC_ROBOT_LOG"));
  LoggingMessageSink messages(log);
  const kov::gui::ScopedMessageSink guard(messages);
  Robot robot(log);
  application.installEventFilter(&robot);
  return kov::runhost::Main(application.arguments().mid(1),
                            kov::runhost::EngineLibrary::ForProcess());
}
