#include "file_access.h"

#include <sys/stat.h>

#include <QFile>

#include <cerrno>
#include <cstring>

#include "message_sink.h"

namespace kov::runhost {

bool FileAccessible(const QString& path, QWidget* parent) {
  struct stat attributes;
  if (stat(QFile::encodeName(path).constData(), &attributes) == 0) return true;
  const int error = errno;
  gui::ShowMessage(parent,
                   QStringLiteral("Error accessing file ") + path + QStringLiteral(":\n") +
                       QString::number(error) + QStringLiteral(" - ") +
                       QString::fromLocal8Bit(std::strerror(error)),
                   QStringLiteral("File access error"), gui::MessageButtons::kOk,
                   gui::MessageIcon::kWarning);
  return false;
}

}  // namespace kov::runhost
