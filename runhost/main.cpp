// kovexec: the run host. Runs one engine job per process, for the editor through the automation
// object KovExec.KovShell or for a user who names control files on the command line.

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include "engine_library.h"
#include "kov_mod.h"
#include "marnel_version.h"

namespace {

// Registering needs no windows, and must work where there is no display.
bool OnlyRegistering(int argc, char** argv) {
  if (argc < 2) return false;
  const char* option = argv[1];
  if (option[0] != '-' && option[0] != '/') return false;
  return strcasecmp(option + 1, "RegServer") == 0 || strcasecmp(option + 1, "UnregServer") == 0;
}

void Describe() {
  QCoreApplication::setOrganizationName(QStringLiteral("Marnel"));
  QCoreApplication::setApplicationName(QStringLiteral("kovexec"));
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that it works where there is no display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    return std::puts("kovexec " MARNEL_VERSION) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (OnlyRegistering(argc, argv)) {
    QCoreApplication application(argc, argv);
    Describe();
    return kov::runhost::Main(application.arguments().mid(1),
                              kov::runhost::EngineLibrary::ForProcess());
  }
  QApplication application(argc, argv);
  Describe();
  QGuiApplication::setApplicationDisplayName(QStringLiteral("KovExec"));
  // The process ends when its objects and windows are gone, not with its last visible window.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  return kov::runhost::Main(application.arguments().mid(1),
                            kov::runhost::EngineLibrary::ForProcess());
}
