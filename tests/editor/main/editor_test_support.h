// What the editor's window tests share: a user who answers every question and dialog from a
// script, settings kept in the test's own folder, and copies of the example models.
#pragma once

#include <QDir>
#include <QFile>
#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include "document/user_interface.h"

namespace kov::editor::test {

using Answer = gui::MessageAnswer;
using Choices = gui::MessageButtons;

class ScriptedUi final : public gui::MessageSink, public document::FileDialogs {
 public:
  struct Shown {
    QString text;
    QString title;
  };
  struct Question {
    QString text;
    Choices choices;
    QString title;
  };

  // A box with an OK button only is a message; any other is a question.
  Answer Show(QWidget*, const gui::Message& message) override {
    if (message.buttons == Choices::kOk) {
      messages << Shown{message.text, message.title};
      if (onShow) onShow(message.text);
      return Answer::kOk;
    }
    questions << Question{message.text, message.buttons, message.title};
    // A question the script did not expect is answered with the choice that changes nothing.
    if (answers.isEmpty())
      return message.buttons == Choices::kYesNo ? Answer::kNo : Answer::kCancel;
    return answers.takeFirst();
  }
  QString AskOpenPath(const QString& filter) override {
    openFilters << filter;
    return paths.isEmpty() ? QString() : paths.takeFirst();
  }
  QString AskSavePath(const QString& filter, const QString&) override {
    saveFilters << filter;
    return paths.isEmpty() ? QString() : paths.takeFirst();
  }

  QStringList MessageTexts() const {
    QStringList texts;
    for (const Shown& shown : messages) texts << shown.text;
    return texts;
  }

  QList<Shown> messages;
  QList<Question> questions;
  QList<Answer> answers;            // given in turn to the questions
  QStringList paths;                // given in turn to the dialogs; none left means Cancel
  QStringList openFilters;
  QStringList saveFilters;
  std::function<void(const QString&)> onShow;  // sees the program while a message is up
};

// The user's settings (recent files, the run host's registration) in the test's folder, for
// this process and every process it starts.
inline void KeepSettingsIn(const QString& folder) {
  const QString config = QDir(folder).filePath(QStringLiteral("config"));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
}

inline QString ExamplePath(const QString& name) {
  return QStringLiteral(MARNEL_EXAMPLES_DIR "/") + name;
}

// Copies an example's control and data files into the folder; the path of the control file,
// or empty when a copy failed.
inline QString CopyExample(const QString& name, const QString& folder, const QString& newName = {}) {
  const QString target = newName.isEmpty() ? name : newName;
  for (const QString& extension : {QStringLiteral(".cnt"), QStringLiteral(".dat")}) {
    const QString to = QDir(folder).filePath(target + extension);
    QFile::remove(to);
    if (!QFile::copy(ExamplePath(name + extension), to)) return {};
  }
  return QDir(folder).filePath(target + QStringLiteral(".cnt"));
}

inline QString ReadText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

}  // namespace kov::editor::test
