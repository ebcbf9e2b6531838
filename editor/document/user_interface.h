// What the document asks of the window: modal questions and messages, and file dialogs. The
// window implements these with message boxes and dialogs; tests answer them from a script and
// read the exact text that would have been shown.
#pragma once

#include <QString>

namespace kov::document {

enum class Answer { kYes, kNo, kCancel };
enum class Choices { kYesNo, kYesNoCancel };

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // A modal message with an OK button. An empty title means the program's name.
  virtual void Show(const QString& text, const QString& title = {}) = 0;
  // A modal question; the answer is one of the offered choices.
  virtual Answer Ask(const QString& text, Choices choices, const QString& title = {}) = 0;
};

class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // The chosen path, or empty when the user cancelled. filter is in Qt's syntax
  // ("Caption (*.ext);;Caption (*)").
  virtual QString AskOpenPath(const QString& filter) = 0;
  virtual QString AskSavePath(const QString& filter, const QString& currentPath) = 0;
};

}  // namespace kov::document
