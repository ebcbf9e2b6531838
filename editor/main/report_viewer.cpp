#include "report_viewer.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace kov::editor {

bool ReportViewer::View(const QString& path, const QString& runFolder) const {
  if (path.trimmed().isEmpty()) return false;
  const QFileInfo file(QDir(runFolder), path);
  if (!file.isFile()) return false;
  return m_opener(file.absoluteFilePath());
}

bool ReportViewer::OpenInTextEditor(const QString& absolutePath) {
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(absolutePath))) return true;
  QString editor = qEnvironmentVariable("VISUAL");
  if (editor.isEmpty()) editor = qEnvironmentVariable("EDITOR");
  if (editor.isEmpty()) return false;
  return QProcess::startDetached(QStringLiteral("x-terminal-emulator"),
                                 {QStringLiteral("-e"), editor, absolutePath});
}

}  // namespace kov::editor
