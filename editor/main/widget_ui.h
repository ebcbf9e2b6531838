// The editor's questions, messages and file dialogs as the user sees them: the window programs'
// current message sink (message boxes, unless a test installed its own) and the desktop's file
// dialogs, all parented to the frame window.
#pragma once

#include <QPointer>
#include <QWidget>

#include "document/user_interface.h"
#include "message_sink.h"

namespace kov::editor {

// Every message box of the editor carries this title unless it names its own.
inline const QString kProgramTitle = QStringLiteral("Marnel");

class WidgetUi final : public gui::MessageSink, public document::FileDialogs {
 public:
  explicit WidgetUi(QWidget* parent = nullptr) : m_parent(parent) {}
  void SetParent(QWidget* parent) { m_parent = parent; }

  gui::MessageAnswer Show(QWidget* parent, const gui::Message& message) override;
  QString AskOpenPath(const QString& filter) override;
  QString AskSavePath(const QString& filter, const QString& currentPath) override;

 private:
  QPointer<QWidget> m_parent;
};

}  // namespace kov::editor
