// The caller's KovShell: an object in its own run-host process.
//
//   auto shell = KovShellClient::Create();        // starts kovexec
//   const std::int32_t pid = shell->lRunKov(1, controlFile, programFolder, false);
//   shell->Release();                             // the run host ends after its window closes
//
// Every call throws AutomationError on failure.
#pragma once

#include <memory>

#include "automation_object.h"
#include "kov_shell_interface.h"

namespace kov::automation {

class KovShellClient final : public KovShellInterface {
 public:
  // Creates the object by its ProgID "KovExec.KovShell".
  static std::unique_ptr<KovShellClient> Create();

  std::int32_t lRunKov(std::int16_t eRunType, const QString& sControlFile,
                       const QString& sCurrentDirectory,
                       std::optional<bool> bBatch = std::nullopt) override;

  void Release() { m_object->Release(); }
  qint64 ServerProcessId() const { return m_object->ServerProcessId(); }

 private:
  explicit KovShellClient(std::unique_ptr<AutomationObject> object) : m_object(std::move(object)) {}

  std::unique_ptr<AutomationObject> m_object;
};

}  // namespace kov::automation
