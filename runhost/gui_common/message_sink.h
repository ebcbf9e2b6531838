// Every modal question and message of the window programs goes through one small interface,
// so that tests can answer "Yes", "No" or "Cancel" and read the text that would have been shown.
//
// Code shows a message with ShowMessage(); the process has one current sink, a QMessageBox
// sink unless a test (or a program that must never block on a dialog) installs another one for
// a while with ScopedMessageSink.
#pragma once

#include <QString>

#include <deque>
#include <functional>
#include <vector>

class QWidget;

namespace kov::gui {

enum class MessageButtons { kOk, kOkCancel, kYesNo, kYesNoCancel };
enum class MessageIcon { kNone, kInformation, kQuestion, kWarning, kCritical };
enum class MessageAnswer { kOk, kCancel, kYes, kNo };

struct Message {
  // Never empty once the message reaches a sink: an empty title becomes the program's name.
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
