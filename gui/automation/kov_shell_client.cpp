#include "kov_shell_client.h"

#include "protocol.h"
#include "server_registry.h"

namespace kov::automation {

std::unique_ptr<KovShellClient> KovShellClient::Create() {
  return std::unique_ptr<KovShellClient>(
      new KovShellClient(AutomationObject::Create(kKovShellProgId)));
}

std::int32_t KovShellClient::lRunKov(std::int16_t eRunType, const QString& sControlFile,
                                     const QString& sCurrentDirectory, std::optional<bool> bBatch) {
  const QByteArray result = m_object->Call(
      protocol::kMethodRunKov,
      protocol::EncodeRunKovArguments({eRunType, sControlFile, sCurrentDirectory, bBatch}));
  std::int32_t processId = 0;
  if (!protocol::DecodeInt32(result, &processId)) {
    throw AutomationError(
        kErrorServerGone,
        QStringLiteral("The server of %1 sent a reply that is not a result of lRunKov.")
            .arg(m_object->ProgId()));
  }
  return processId;
}

}  // namespace kov::automation
