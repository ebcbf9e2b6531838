// The user's settings of all Marnel programs: organisation "Marnel", no application name, so
// that on Windows they are the key HKEY_CURRENT_USER\Software\Marnel and elsewhere one file in
// the user's configuration folder.
#pragma once

#include <QSettings>

#include <memory>

namespace kov::automation {

std::unique_ptr<QSettings> OpenMarnelSettings();

}  // namespace kov::automation
