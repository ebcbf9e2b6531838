#include "server_connection.h"

#include <exception>

#include "automation_error.h"
#include "protocol.h"

namespace kov::automation {

namespace {

constexpr int kConnectTimeoutMs = 10000;

protocol::Reply Dispatch(KovShellInterface& object, const protocol::Request& request) {
  protocol::Reply reply;
  if (request.method != protocol::kMethodRunKov) {
    reply.errorNumber = kErrorMethodNotSupported;
    reply.description =
        QStringLiteral("Object doesn't support this property or method (%1)").arg(request.method);
    return reply;
  }
  protocol::RunKovArguments arguments;
  if (!protocol::DecodeRunKovArguments(request.arguments, &arguments)) {
    reply.errorNumber = kErrorMethodNotSupported;
    reply.description = QStringLiteral("The arguments of lRunKov could not be read.");
    return reply;
  }
  try {
    reply.result = protocol::EncodeInt32(object.lRunKov(
        arguments.eRunType, arguments.sControlFile, arguments.sCurrentDirectory, arguments.bBatch));
  } catch (const AutomationError& error) {
    reply.errorNumber = error.Number();
    reply.description = error.Description();
  } catch (const std::exception& error) {
    // Nothing may leave through the event loop; the caller learns of it as a failed call.
    reply.errorNumber = kErrorServerGone;
    reply.description = QStringLiteral("Automation error: ") + QString::fromLocal8Bit(error.what());
  }
  return reply;
}

}  // namespace

ServerConnection::ServerConnection(std::shared_ptr<KovShellInterface> object, QObject* parent)
    : QObject(parent), m_object(std::move(object)) {
  connect(&m_socket, &QLocalSocket::readyRead, this, &ServerConnection::OnReadyRead);
  connect(&m_socket, &QLocalSocket::disconnected, this, &ServerConnection::OnDisconnected);
}

bool ServerConnection::Connect(const QString& socketName, QString* errorText) {
  m_socket.connectToServer(socketName);
  if (!m_socket.waitForConnected(kConnectTimeoutMs)) {
    *errorText = m_socket.errorString();
    return false;
  }
  return true;
}

void ServerConnection::OnReadyRead() {
  if (m_inCall) return;
  m_inCall = true;
  protocol::Request request;
  while (m_object != nullptr && protocol::ReadRequest(&m_socket, &request)) {
    // The client may release the object while the call pumps events; it lives until the call
    // has returned.
    const std::shared_ptr<KovShellInterface> object = m_object;
    const protocol::Reply reply = Dispatch(*object, request);
    if (m_socket.state() != QLocalSocket::ConnectedState) break;
    if (!protocol::WriteReply(&m_socket, reply)) {
      m_socket.abort();
      break;
    }
    m_socket.flush();
  }
  m_inCall = false;
  if (m_socket.state() == QLocalSocket::UnconnectedState) OnDisconnected();
}

void ServerConnection::OnDisconnected() {
  if (m_inCall || m_object == nullptr) return;
  m_object.reset();
  emit Released();
}

}  // namespace kov::automation
