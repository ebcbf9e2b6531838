// Small file helpers of the document tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include "document/document.h"

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

// The lines the document would save; false after its message.
inline bool ComposedLines(Document& document, QStringList* lines) {
  QByteArray text;
  lines->clear();
  if (!document.ComposeControlFile(&text)) return false;
  *lines = QString::fromLatin1(text).split(u'\n');
  lines->removeLast();  // after the last line's end
  return true;
}

}  // namespace kov::document::test
