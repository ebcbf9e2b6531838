// marnel: the model editor. One control file at a time, run through the run host kovexec.

#include <QApplication>

#include "frm_ws.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // The user's settings (recent files, the run host's registration) live under "Marnel".
  QCoreApplication::setOrganizationName(QStringLiteral("Marnel"));
  QCoreApplication::setApplicationName(QStringLiteral("marnel"));
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Marnel"));

  kov::editor::frmWS frame;
  kov::editor::frmWS::FitToScreen(&frame, QSize(960, 680));
  frame.show();
  // "marnel FILE.cnt", as a file manager or the desktop entry calls it.
  const QStringList arguments = QCoreApplication::arguments();
  if (arguments.size() > 1) frame.OpenFile(arguments.at(1));
  return application.exec();
}
