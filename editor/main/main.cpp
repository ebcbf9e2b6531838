// marnel: the model editor. One control file at a time, run through the run host kovexec.

#include <QApplication>

#include "frm_ws.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // The user's settings (recent files, the run host's registration) live under "Marnel".
  QCoreApplication::setOrganizationName(QStringLiteral("Marnel"));
  QCoreApplication::setApplicationName(QStringLiteral("marnel"));

  kov::editor::frmWS frame;
  frame.resize(960, 680);
  frame.show();
  return application.exec();
}
