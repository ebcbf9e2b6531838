// The file dialogs of a window: the FileDialogs of a secondary window (series viewer, results)
// that asks with the system's dialogs over itself. Header only, for the window libraries that
// link Qt Widgets; the document itself stays without widgets.
#pragma once

#include <QFileDialog>
#include <QString>
#include <QWidget>

#include "user_interface.h"

namespace kov::document {

class WindowFileDialogs final : public FileDialogs {
 public:
  explicit WindowFileDialogs(QWidget* parent) : m_parent(parent) {}
  QString AskOpenPath(const QString& filter) override {
    return QFileDialog::getOpenFileName(m_parent, {}, {}, filter);
  }
  QString AskSavePath(const QString& filter, const QString& currentPath) override {
    return QFileDialog::getSaveFileName(m_parent, {}, currentPath, filter);
  }

 private:
  QWidget* m_parent;
};

}  // namespace kov::document
