// The caller's side of an automation object: created by ProgID, called, released.
//
// Creating an object starts a new server process for it ("<server> -Embedding <socket>"), which
// connects back to a private local socket that only this user can reach; every call is one
// request and one reply over that connection, and releasing the object closes it. The server
// decides by itself when to end (when no object is connected and it has no window loaded).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

#include "automation_error.h"

class QLocalSocket;

namespace kov::automation {

class AutomationObject {
 public:
  // Starts the server of progId and waits until it has connected. Throws AutomationError
  // (kErrorCannotCreateObject) when no server is known, it does not start, it ends before it
  // connects, or it does not connect within kConnectTimeoutMs.
  static std::unique_ptr<AutomationObject> Create(const QString& progId);

  ~AutomationObject();
  AutomationObject(const AutomationObject&) = delete;
  AutomationObject& operator=(const AutomationObject&) = delete;

  // One call: blocks until the server has replied. Throws AutomationError with the server's
  // number and description, or kErrorServerGone when the connection breaks.
  QByteArray Call(std::int32_t method, const QByteArray& arguments);

  // Closes the connection; later calls fail with kErrorServerGone. Releasing twice is harmless.
  void Release();

  // The operating-system identifier of the server process this object lives in.
  qint64 ServerProcessId() const { return m_serverProcessId; }
  const QString& ProgId() const { return m_progId; }

  static constexpr int kConnectTimeoutMs = 30000;

 private:
  AutomationObject(QString progId, std::unique_ptr<QLocalSocket> socket, qint64 serverProcessId);

  QString m_progId;
  std::unique_ptr<QLocalSocket> m_socket;
  qint64 m_serverProcessId;
};

}  // namespace kov::automation
