#include "server_registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "marnel_settings.h"

namespace kov::automation {

namespace {

QString ServerKey(const QString& progId) {
  return QStringLiteral("Automation/") + progId + QStringLiteral("/Server");
}

// The program file name of the servers this system ships.
QString DefaultProgramName(const QString& progId) {
  if (progId == kKovShellProgId) return QStringLiteral("kovexec");
  return {};
}

bool IsExecutableFile(const QString& path) {
  const QFileInfo info(path);
  return info.isFile() && info.isExecutable();
}

}  // namespace

bool RegisterServer(const QString& progId, const QString& serverPath) {
  auto settings = OpenMarnelSettings();
  settings->setValue(ServerKey(progId), serverPath);
  settings->sync();
  return settings->status() == QSettings::NoError;
}

bool UnregisterServer(const QString& progId) {
  auto settings = OpenMarnelSettings();
  settings->remove(ServerKey(progId));
  settings->sync();
  return settings->status() == QSettings::NoError;
}

std::optional<QString> RegisteredServer(const QString& progId) {
  auto settings = OpenMarnelSettings();
  const QVariant value = settings->value(ServerKey(progId));
  if (!value.isValid()) return std::nullopt;
  return value.toString();
}

QString ServerProgramFor(const QString& progId) {
  if (const std::optional<QString> registered = RegisteredServer(progId);
      registered && IsExecutableFile(*registered)) {
    return *registered;
  }
  const QString name = DefaultProgramName(progId);
  if (name.isEmpty()) return {};
  return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

}  // namespace kov::automation
