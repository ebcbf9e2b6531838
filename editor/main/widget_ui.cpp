#include "widget_ui.h"

#include <QFileDialog>
#include <QMessageBox>

namespace kov::editor {

namespace {

QString TitleOrProgram(const QString& title) { return title.isEmpty() ? kProgramTitle : title; }

}  // namespace

void WidgetUi::Show(const QString& text, const QString& title) {
  // Every message the editor shows says that something failed or was refused.
  QMessageBox::critical(m_parent, TitleOrProgram(title), text);
}

document::Answer WidgetUi::Ask(const QString& text, document::Choices choices,
                               const QString& title) {
  QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No;
  if (choices == document::Choices::kYesNoCancel) buttons |= QMessageBox::Cancel;
  switch (QMessageBox::question(m_parent, TitleOrProgram(title), text, buttons)) {
    case QMessageBox::Yes:
      return document::Answer::kYes;
    case QMessageBox::No:
      return document::Answer::kNo;
    default:
      // Escape on a Yes/No box still has to mean something: the answer that changes nothing.
      return choices == document::Choices::kYesNo ? document::Answer::kNo
                                                  : document::Answer::kCancel;
  }
}

QString WidgetUi::AskOpenPath(const QString& filter) {
  return QFileDialog::getOpenFileName(m_parent, {}, {}, filter);
}

QString WidgetUi::AskSavePath(const QString& filter, const QString& currentPath) {
  return QFileDialog::getSaveFileName(m_parent, {}, currentPath, filter);
}

}  // namespace kov::editor
