// Where the program behind a ProgID lives: written by "kovexec -RegServer", read by whoever
// creates an object.
#pragma once

#include <QString>

#include <optional>

namespace kov::automation {

inline const QString kKovShellProgId = QStringLiteral("KovExec.KovShell");

// Records serverPath as the program that serves progId. False when the setting was not saved.
bool RegisterServer(const QString& progId, const QString& serverPath);
bool UnregisterServer(const QString& progId);
std::optional<QString> RegisteredServer(const QString& progId);

// The program to start for progId: the registered one while it is an executable file, else the
// server program of that ProgID beside the calling program (an installation keeps kovexec beside
// the editor). Empty for a ProgID that this system does not know and that is not registered.
QString ServerProgramFor(const QString& progId);

}  // namespace kov::automation
