// KovMod: the run host's start-up and its command line.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "kov_shell_interface.h"

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

// The program: returns the exit status. A QApplication must exist.
int Main(const QStringList& arguments, EngineLibrary& engine);

}  // namespace kov::runhost
