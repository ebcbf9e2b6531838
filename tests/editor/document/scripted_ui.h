// Answers the document's questions and dialogs from a script, and keeps every text shown.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "document/user_interface.h"

namespace kov::document::test {

using Answer = gui::MessageAnswer;
using Choices = gui::MessageButtons;

class ScriptedUi final : public gui::MessageSink, public FileDialogs {
 public:
  struct Question {
    QString text;
    Choices choices;
    QString title;
  };

  // A box with an OK button only is a message; any other is a question.
  Answer Show(QWidget*, const gui::Message& message) override {
    if (message.buttons == Choices::kOk) {
      messages << message.text;
      return Answer::kOk;
    }
    questions << Question{message.text, message.buttons, message.title};
    // A question the script did not expect is answered Cancel (or No), which stops the command.
    if (answers.isEmpty())
      return message.buttons == Choices::kYesNo ? Answer::kNo : Answer::kCancel;
    return answers.takeFirst();
  }
  QString AskOpenPath(const QString&) override {
    ++openDialogs;
    return paths.isEmpty() ? QString() : paths.takeFirst();
  }
  QString AskSavePath(const QString&, const QString&) override {
    ++saveDialogs;
    return paths.isEmpty() ? QString() : paths.takeFirst();
  }

  QStringList messages;
  QList<Question> questions;
  QList<Answer> answers;  // given in turn to the questions
  QStringList paths;      // given in turn to the dialogs; none left means Cancel
  int openDialogs = 0;
  int saveDialogs = 0;
};

}  // namespace kov::document::test
