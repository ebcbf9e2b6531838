#include "marnel_settings.h"

namespace kov::automation {

std::unique_ptr<QSettings> OpenMarnelSettings() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                     QStringLiteral("Marnel"));
}

}  // namespace kov::automation
