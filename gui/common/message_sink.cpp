#include "message_sink.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QStringList>

namespace kov::gui {

namespace {

MessageSink* g_currentSink = nullptr;

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation: return QMessageBox::Information;
    case MessageIcon::kQuestion: return QMessageBox::Question;
    case MessageIcon::kWarning: return QMessageBox::Warning;
    case MessageIcon::kCritical: return QMessageBox::Critical;
    case MessageIcon::kNone: break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons BoxButtons(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::kOkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::kYesNo: return QMessageBox::Yes | QMessageBox::No;
    case MessageButtons::kYesNoCancel:
      return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MessageButtons::kOk: break;
  }
  return QMessageBox::Ok;
}

MessageAnswer FirstAnswer(MessageButtons buttons) {
  return buttons == MessageButtons::kYesNo || buttons == MessageButtons::kYesNoCancel
             ? MessageAnswer::kYes
             : MessageAnswer::kOk;
}

}  // namespace

MessageAnswer QMessageBoxSink::Show(QWidget* parent, const Message& message) {
  QMessageBox box(BoxIcon(message.icon), message.title, message.text, BoxButtons(message.buttons),
                  parent);
  switch (box.exec()) {
    case QMessageBox::Yes: return MessageAnswer::kYes;
    case QMessageBox::No: return MessageAnswer::kNo;
    case QMessageBox::Ok: return MessageAnswer::kOk;
    default:
      // Escape or the title bar's close button on a box without Cancel still has to mean
      // something; Cancel is the answer that changes nothing.
      return MessageAnswer::kCancel;
  }
}

MessageAnswer RecordingMessageSink::Show(QWidget*, const Message& message) {
  m_messages.push_back(message);
  if (m_onShow) m_onShow(message);
  if (m_answers.empty()) return FirstAnswer(message.buttons);
  const MessageAnswer answer = m_answers.front();
  m_answers.pop_front();
  return answer;
}

QStringList RecordingMessageSink::Texts() const {
  QStringList texts;
  for (const Message& message : m_messages) texts << message.text;
  return texts;
}

MessageSink& CurrentMessageSink() {
  static QMessageBoxSink boxes;
  return g_currentSink != nullptr ? *g_currentSink : boxes;
}

ScopedMessageSink::ScopedMessageSink(MessageSink& sink) : m_previous(g_currentSink) {
  g_currentSink = &sink;
}

ScopedMessageSink::~ScopedMessageSink() { g_currentSink = m_previous; }

MessageAnswer ShowMessage(QWidget* parent, const QString& text, const QString& title,
                          MessageButtons buttons, MessageIcon icon) {
  Message message;
  message.title = title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;
  message.text = text;
  message.buttons = buttons;
  message.icon = icon;
  return CurrentMessageSink().Show(parent, message);
}

}  // namespace kov::gui
