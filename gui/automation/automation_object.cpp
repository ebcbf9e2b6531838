#include "automation_object.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>

#include <atomic>

#include "kovos.h"
#include "protocol.h"
#include "server_registry.h"

namespace kov::automation {

namespace {

// Short enough to notice at once a server that died while starting.
constexpr int kConnectStepMs = 100;

QString UniqueSocketName() {
  static std::atomic<unsigned> counter{0};
  return QStringLiteral("marnel-automation-%1-%2-%3")
      .arg(QCoreApplication::applicationPid())
      .arg(counter.fetch_add(1))
      .arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

[[noreturn]] void CannotCreate(const QString& progId, const QString& reason) {
  throw AutomationError(kErrorCannotCreateObject,
                        QStringLiteral("Cannot create the object %1: %2").arg(progId, reason));
}

// Closes a libkovos handle when it goes.
class ProcessWatch {
 public:
  explicit ProcessWatch(qint64 pid)
      : m_handle(kovos::OpenProcessForWait(static_cast<pid_t>(pid))) {}
  ~ProcessWatch() {
    if (m_handle != 0) kovos::CloseHandle(m_handle);
  }
  ProcessWatch(const ProcessWatch&) = delete;
  ProcessWatch& operator=(const ProcessWatch&) = delete;

  // A process that cannot be opened any more has ended already.
  bool Ended() const {
    return m_handle == 0 || kovos::WaitForHandle(m_handle, 0) == kovos::kWaitSignalled;
  }

 private:
  kovos::Handle m_handle;
};

}  // namespace

std::unique_ptr<AutomationObject> AutomationObject::Create(const QString& progId) {
  const QString program = ServerProgramFor(progId);
  if (program.isEmpty()) CannotCreate(progId, QStringLiteral("no server is registered for it."));

  QLocalServer listener;
  listener.setSocketOptions(QLocalServer::UserAccessOption);
  if (!listener.listen(UniqueSocketName())) {
    CannotCreate(progId,
                 QStringLiteral("no private socket for the server: ") + listener.errorString());
  }

  QProcess starter;
  starter.setProgram(program);
  starter.setArguments({QStringLiteral("-Embedding"), listener.fullServerName()});
  qint64 pid = 0;
  if (!starter.startDetached(&pid)) {
    CannotCreate(
        progId,
        QStringLiteral("the server %1 did not start: %2").arg(program, starter.errorString()));
  }

  const ProcessWatch server(pid);
  const QDeadlineTimer deadline(kConnectTimeoutMs);
  while (!listener.hasPendingConnections()) {
    bool timedOut = false;
    if (listener.waitForNewConnection(kConnectStepMs, &timedOut)) break;
    if (!timedOut) {
      CannotCreate(progId,
                   QStringLiteral("waiting for the server failed: ") + listener.errorString());
    }
    if (server.Ended()) {
      CannotCreate(progId, QStringLiteral("the server %1 ended before it connected.").arg(program));
    }
    if (deadline.hasExpired()) {
      CannotCreate(progId, QStringLiteral("the server %1 did not connect within %2 seconds.")
                               .arg(program)
                               .arg(kConnectTimeoutMs / 1000));
    }
  }
  std::unique_ptr<QLocalSocket> socket(listener.nextPendingConnection());
  // The listener owns its connections; this one must outlive it.
  socket->setParent(nullptr);
  return std::unique_ptr<AutomationObject>(new AutomationObject(progId, std::move(socket), pid));
}

AutomationObject::AutomationObject(QString progId, std::unique_ptr<QLocalSocket> socket,
                                   qint64 serverProcessId)
    : m_progId(std::move(progId)),
      m_socket(std::move(socket)),
      m_serverProcessId(serverProcessId) {}

AutomationObject::~AutomationObject() { Release(); }

QByteArray AutomationObject::Call(std::int32_t method, const QByteArray& arguments) {
  const auto gone = [this](const QString& what) {
    return AutomationError(kErrorServerGone,
                           QStringLiteral("The server of %1 %2").arg(m_progId, what));
  };
  if (m_socket == nullptr)
    throw gone(QStringLiteral("is no longer connected: the object was released."));

  if (!protocol::WriteRequest(m_socket.get(), {method, arguments})) {
    throw gone(QStringLiteral("did not take the call: ") + m_socket->errorString());
  }
  while (m_socket->bytesToWrite() > 0) {
    if (!m_socket->waitForBytesWritten(-1)) {
      throw gone(QStringLiteral("did not take the call: ") + m_socket->errorString());
    }
  }
  protocol::Reply reply;
  while (!protocol::ReadReply(m_socket.get(), &reply)) {
    if (!m_socket->waitForReadyRead(-1)) {
      // A reply that arrived together with the end of the connection still counts.
      if (protocol::ReadReply(m_socket.get(), &reply)) break;
      throw gone(QStringLiteral("ended during the call."));
    }
  }
  if (reply.errorNumber != 0) throw AutomationError(reply.errorNumber, reply.description);
  return reply.result;
}

void AutomationObject::Release() {
  if (m_socket == nullptr) return;
  m_socket->disconnectFromServer();
  m_socket.reset();
}

}  // namespace kov::automation
