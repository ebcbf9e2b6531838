// Every modal question and message of the window programs goes through one small interface,
// so that tests can answer "Yes", "No" or "Cancel" and read the text that would have been shown.
//
// Code shows a message with ShowMessage(); the process has one current sink, a QMessageBox
// sink unless a test (or a program that must never block on a dialog) installs another one for
// a while with ScopedMessageSink.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

#include "message.h"

namespace kov::gui {

// The real thing: a modal QMessageBox.
class QMessageBoxSink final : public MessageSink {
 public:
  MessageAnswer Show(QWidget* parent, const Message& message) override;
};

// Keeps every message and answers from a queue. Once the queue is empty it answers with the
// first button (Ok or Yes), like a user who presses Enter.
class RecordingMessageSink final : public MessageSink {
 public:
  MessageAnswer Show(QWidget* parent, const Message& message) override;

  void QueueAnswer(MessageAnswer answer) { m_answers.push_back(answer); }
  // Called with each message as it is shown, before it is answered, so that a test can look at
  // the state of the program at that moment.
  void SetOnShow(std::function<void(const Message&)> onShow) { m_onShow = std::move(onShow); }

  const std::vector<Message>& Messages() const { return m_messages; }
  QStringList Texts() const;
  void Clear() { m_messages.clear(); }

 private:
  std::vector<Message> m_messages;
  std::deque<MessageAnswer> m_answers;
  std::function<void(const Message&)> m_onShow;
};

// The process's current sink.
MessageSink& CurrentMessageSink();

// Makes `sink` the current one until the guard goes; guards nest.
class ScopedMessageSink {
 public:
  explicit ScopedMessageSink(MessageSink& sink);
  ~ScopedMessageSink();
  ScopedMessageSink(const ScopedMessageSink&) = delete;
  ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;

 private:
  MessageSink* m_previous;
};

// Shows a message through the current sink. An empty title shows the program's name
// (QGuiApplication::applicationDisplayName()).
MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& title = {},
                          MessageButtons buttons = MessageButtons::kOk,
                          MessageIcon icon = MessageIcon::kNone);

}  // namespace kov::gui
