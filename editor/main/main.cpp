// marnel: the model editor. One control file at a time, run through the run host kovexec.

#include <QApplication>
#include <QPointer>

#include <cstdio>
#include <cstring>

#include "frm_ws.h"
#include "marnel_version.h"
#include "results/frm_results.h"

int main(int argc, char** argv) {
  // Answered before Qt starts, so that it works where there is no display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    return std::puts("marnel " MARNEL_VERSION) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
  }
  QApplication application(argc, argv);
  // The user's settings (recent files, the run host's registration) live under "Marnel".
  QCoreApplication::setOrganizationName(QStringLiteral("Marnel"));
  QCoreApplication::setApplicationName(QStringLiteral("marnel"));
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Marnel"));

  kov::editor::frmWS frame;
  kov::editor::frmWS::FitToScreen(&frame, QSize(960, 680));
  frame.show();
  // "marnel FILE.cnt", as a file manager or the desktop entry calls it; "--results FILE.json"
  // or "--compare FILE.compare.json" (then "--page NAME") opens the Results window as well.
  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  QPointer<kov::results::frmResults> results;
  while (arguments.size() >= 2 && (arguments.at(0) == QLatin1String("--results") ||
                                   arguments.at(0) == QLatin1String("--compare") ||
                                   arguments.at(0) == QLatin1String("--page"))) {
    if (results.isNull()) results = new kov::results::frmResults;
    // "--page NAME" after the file picks the page shown first.
    if (arguments.at(0) == QLatin1String("--page")) {
      results->ShowPage(arguments.at(1));
      arguments = arguments.mid(2);
      continue;
    }
    const bool opened = arguments.at(0) == QLatin1String("--results")
                            ? results->OpenResults(arguments.at(1))
                            : results->OpenComparison(arguments.at(1));
    if (opened) results->show();
    arguments = arguments.mid(2);
  }
  // "--plot-series" after the control file opens the series viewer on its series file.
  if (!arguments.isEmpty()) frame.OpenFile(arguments.at(0));
  if (arguments.size() > 1 && arguments.at(1) == QLatin1String("--plot-series")) frame.PlotSeries();
  if (!results.isNull() && results->isVisible()) results->raise();
  const int code = application.exec();
  delete results.data();
  return code;
}
