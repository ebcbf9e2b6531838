// The one public class of the run host, KovShell, as both sides of the automation layer know it.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace kov::automation {

class KovShellInterface {
 public:
  virtual ~KovShellInterface() = default;

  // Hands a control file to the engine: eRunType 1 EM, 2 data augmentation. Returns the server's
  // process identifier, or 0 when the control file was not accessible. Throws AutomationError
  // when the engine library or one of its functions is missing.
  virtual std::int32_t lRunKov(std::int16_t eRunType, const QString& sControlFile,
                               const QString& sCurrentDirectory, std::optional<bool> bBatch) = 0;
};

}  // namespace kov::automation
