// KovMod: the run host's start-up and its command line.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "kov_shell_interface.h"
#include "message_sink.h"

namespace kov::runhost {

class EngineLibrary;

// Splits a command line into switches ("/" and one character, standing as a word of its own)
// and control files (the text between switches, blanks around it trimmed, so that a file name
// may hold blanks and slashes). Empty tokens are dropped.
QStringList ParseCommandLine(const QString& text);

enum class StartMode {
  kRegisterServer,    // "-RegServer": record this program as the server of KovExec.KovShell
  kUnregisterServer,  // "-UnregServer"
  kEmbedding,         // "-Embedding <socket>": started by the automation layer for one object
  kNothingToServe,    // an empty command line: no run and no object
  kCommandLine,       // switches and control files typed by a user
};

// The arguments without the program's name.
StartMode DecideStartMode(const QStringList& arguments);

// Handles the tokens of a user's command line in order: "/D" makes later files run with data
// augmentation, "/B" turns batch mode on, "/N" does nothing, and every other token is a
// control file that, when accessible, goes to lRunKov of a new object from createObject.
// An automation error is shown and ends the handling.
void HandleCommandLine(const QString& text,
                       const std::function<std::shared_ptr<automation::KovShellInterface>()>& createObject);

// In batch mode nobody is there to answer a message box, and one shown off screen would wait for
// ever: the message goes to standard error instead, answered as by a user who presses Enter, and
// is remembered so that the program can end with a failure status. Outside batch mode messages go
// to the sink that was current when this one was made.
class BatchMessageSink final : public gui::MessageSink {
 public:
  BatchMessageSink() : m_interactive(gui::CurrentMessageSink()) {}

  gui::MessageAnswer Show(QWidget* parent, const gui::Message& message) override;

  // True once a message has been written in batch mode.
  bool Reported() const { return m_reported; }

 private:
  gui::MessageSink& m_interactive;
  bool m_reported = false;
};

// The program: returns the exit status, 1 when a message had to be written in batch mode. A
// QApplication must exist.
int Main(const QStringList& arguments, EngineLibrary& engine);

}  // namespace kov::runhost
