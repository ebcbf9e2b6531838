#pragma once

#include <QString>

class QWidget;

namespace kov::runhost {

// True when the file system gives the attributes of `path`. Otherwise shows "File access error"
// with the error number and its description, and returns false.
bool FileAccessible(const QString& path, QWidget* parent = nullptr);

}  // namespace kov::runhost
