// Answers the document's questions and dialogs from a script, and keeps every text shown.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "document/user_interface.h"

namespace kov::document::test {

class ScriptedUi final : public MessageSink, public FileDialogs {
 public:
  struct Question {
    QString text;
    Choices choices;
    QString title;
  };

  void Show(const QString& text, const QString&) override { messages << text; }
  Answer Ask(const QString& text, Choices choices, const QString& title) override {
    questions << Question{text, choices, title};
    // A question the script did not expect is answered Cancel (or No), which stops the command.
    if (answers.isEmpty()) return choices == Choices::kYesNo ? Answer::kNo : Answer::kCancel;
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
