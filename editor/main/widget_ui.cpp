#include "widget_ui.h"

#include <QFileDialog>

namespace kov::editor {

gui::MessageAnswer WidgetUi::Show(QWidget* parent, const gui::Message& message) {
  // The document and the grids ask without a window of their own: their boxes belong to the
  // frame.
  gui::Message shown = message;
  if (shown.title.isEmpty()) shown.title = kProgramTitle;
  return gui::CurrentMessageSink().Show(parent != nullptr ? parent : m_parent.data(), shown);
}

QString WidgetUi::AskOpenPath(const QString& filter) {
  return QFileDialog::getOpenFileName(m_parent, {}, {}, filter);
}

QString WidgetUi::AskSavePath(const QString& filter, const QString& currentPath) {
  return QFileDialog::getSaveFileName(m_parent, {}, currentPath, filter);
}

}  // namespace kov::editor
