// One modal message or question of the window programs, and the one interface that shows it.
// Qt Core only, so that a model without widgets (the editor's document) can ask its questions
// through it; the sinks that draw boxes, and the process's current sink, are in message_sink.h.
#pragma once

#include <QString>

class QWidget;

namespace kov::gui {

enum class MessageButtons { kOk, kOkCancel, kYesNo, kYesNoCancel };
enum class MessageIcon { kNone, kInformation, kQuestion, kWarning, kCritical };
enum class MessageAnswer { kOk, kCancel, kYes, kNo };

struct Message {
  // Empty stands for the program's name: ShowMessage, and the editor's window sink, put it in
  // before a box is drawn.
  QString title;
  QString text;
  MessageButtons buttons = MessageButtons::kOk;
  MessageIcon icon = MessageIcon::kNone;
};

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Shows the message modally (or whatever stands for that) and returns the answer.
  virtual MessageAnswer Show(QWidget* parent, const Message& message) = 0;
};

}  // namespace kov::gui
