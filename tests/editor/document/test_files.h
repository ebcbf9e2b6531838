// Small file helpers of the document tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace kov::document::test {

inline QString ExamplePath(const QString& name) {
  return QStringLiteral(MARNEL_EXAMPLES_DIR "/") + name;
}
inline QString DataPath(const QString& name) { return QStringLiteral(DOCUMENT_TEST_DATA "/") + name; }

inline QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool WriteBytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

}  // namespace kov::document::test
