// What the document asks of the window: modal questions and messages through the window
// programs' one message sink, and file dialogs. The window implements these with message boxes
// and dialogs; tests answer them from a script and read the exact text that would have been
// shown.
#pragma once

#include <QString>

#include "message.h"

namespace kov::document {

// Every message the editor shows says that something failed or was refused. An empty title
// means the program's name.
inline gui::MessageAnswer ShowFailure(gui::MessageSink& sink, const QString& text,
                                      const QString& title = {}) {
  return sink.Show(nullptr, {title, text, gui::MessageButtons::kOk, gui::MessageIcon::kCritical});
}

// A modal question; the answer is one of the offered buttons, or Cancel when the user closed the
// box without one (which callers take as the answer that changes nothing).
inline gui::MessageAnswer AskQuestion(gui::MessageSink& sink, const QString& text,
                                      gui::MessageButtons buttons, const QString& title = {}) {
  return sink.Show(nullptr, {title, text, buttons, gui::MessageIcon::kQuestion});
}

class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // The chosen path, or empty when the user cancelled. filter is in Qt's syntax
  // ("Caption (*.ext);;Caption (*)").
  virtual QString AskOpenPath(const QString& filter) = 0;
  virtual QString AskSavePath(const QString& filter, const QString& currentPath) = 0;
};

}  // namespace kov::document
