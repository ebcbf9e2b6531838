// The server's side of one automation object: the connection back to the client that started
// this process with "-Embedding <socket>", over which the object's calls arrive.
#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <memory>

#include "kov_shell_interface.h"

namespace kov::automation {

class ServerConnection final : public QObject {
  Q_OBJECT

 public:
  // The connection holds the object until the client releases it.
  explicit ServerConnection(std::shared_ptr<KovShellInterface> object, QObject* parent = nullptr);

  // Connects to the client's socket. False, with the reason in *errorText, when it cannot.
  bool Connect(const QString& socketName, QString* errorText);

 signals:
  // The client has closed the connection (released the object, or ended); the object has been
  // dropped by then.
  void Released();

 private:
  void OnReadyRead();
  void OnDisconnected();

  QLocalSocket m_socket;
  std::shared_ptr<KovShellInterface> m_object;
  // A call may pump events (a batch run does), so readyRead can arrive inside a call.
  bool m_inCall = false;
};

}  // namespace kov::automation
