// The Results window offscreen: the pages it builds for each shape of model and for a
// comparison of sizes, and every export written as the file its suffix names.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "document/user_interface.h"
#include "message_sink.h"
#include "results/frm_results.h"
#include "results_fixtures.h"

namespace kov::results::test {

class ResultsWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void pagesForEachShape_data();
  void pagesForEachShape();
  void exportsByItsSuffix_data();
  void exportsByItsSuffix();
  void comparisonOpensTheReportOfASize();
  void unreadableFileLeavesAMessage();

 private:
  QString Write(const QString& name, const QByteArray& text);

  std::unique_ptr<QTemporaryDir> m_temp;
  gui::RecordingMessageSink m_messages;
  // Every message of the window lands in m_messages instead of a message box.
  gui::ScopedMessageSink m_scope{m_messages};
};

void ResultsWindowTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  m_messages.Clear();
}

QString ResultsWindowTest::Write(const QString& name, const QByteArray& text) {
  QFile file(m_temp->filePath(name));
  if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
    qFatal("fixture not written");
  return file.fileName();
}

void ResultsWindowTest::pagesForEachShape_data() {
  QTest::addColumn<QByteArray>("json");
  QTest::addColumn<QStringList>("pages");
  QTest::newRow("classes only") << kClassOnlyEm
                                << QStringList{"Fit summary", "Class prevalences (gamma)",
                                               "Class item-response probabilities (little rho)",
                                               "Profile: Class 1: class items",
                                               "Profile: Class 2: class items"};
  QTest::newRow("statuses with transitions")
      << kStatusesEm
      << QStringList{"Fit summary",
                     "Status prevalences (delta)",
                     "Transition probabilities (tau)",
                     "Status item-response probabilities (big rho)",
                     "Profile: Class 1, status 1",
                     "Profile: Class 1, status 2",
                     "Profile: Class 2, status 1",
                     "Profile: Class 2, status 2",
                     "Prevalences: Class 1",
                     "Prevalences: Class 2",
                     "Transitions: Class 1, transition 1",
                     "Transitions: Class 1, transitions 2 on",
                     "Transitions: Class 2, transition 1",
                     "Transitions: Class 2, transitions 2 on"};
}

void ResultsWindowTest::pagesForEachShape() {
  QFETCH(QByteArray, json);
  QFETCH(QStringList, pages);
  frmResults window;
  window.setAttribute(Qt::WA_DeleteOnClose, false);
  QVERIFY(window.OpenResults(Write(QStringLiteral("run.json"), json)));
  window.show();
  QCOMPARE(window.PageNames(), pages);
  // Every page can be shown and drawn.
  for (const QString& page : pages) {
    QVERIFY(window.ShowPage(page));
    QCOMPARE(window.CurrentPage(), page);
    QVERIFY(!window.grab().isNull());
  }
  QVERIFY(m_messages.Texts().isEmpty());
}

void ResultsWindowTest::exportsByItsSuffix_data() {
  QTest::addColumn<QString>("page");
  QTest::addColumn<QString>("file");
  QTest::addColumn<QByteArray>("start");
  QTest::newRow("table as CSV") << "Transition probabilities (tau)"
                                << "tau.csv" << QByteArray("Parameter,Status 1,");
  QTest::newRow("no suffix: CSV") << "Status prevalences (delta)"
                                  << "delta" << QByteArray("Parameter,Status 1,");
  QTest::newRow("heat map as PNG") << "Transitions: Class 1, transition 1"
                                   << "tau.png" << QByteArray("\x89PNG");
  QTest::newRow("chart as SVG") << "Prevalences: Class 2"
                                << "prevalence.svg" << QByteArray("<?xml");
  QTest::newRow("heat map as PDF") << "Transitions: Class 2, transition 1"
                                   << "tau.pdf" << QByteArray("%PDF");
  QTest::newRow("profile as PDF") << "Profile: Class 1, status 2"
                                  << "profile.PDF" << QByteArray("%PDF");
}

void ResultsWindowTest::exportsByItsSuffix() {
  QFETCH(QString, page);
  QFETCH(QString, file);
  QFETCH(QByteArray, start);
  frmResults window;
  window.setAttribute(Qt::WA_DeleteOnClose, false);
  QVERIFY(window.OpenResults(Write(QStringLiteral("run.json"), kStatusesEm)));
  const QString path = m_temp->filePath(file);
  const bool table = window.PageModel(page) != nullptr;
  QVERIFY(table || window.PageChart(page) != nullptr);
  // A page exports only what it shows.
  QVERIFY(table ? !window.ExportChart(page, path) : !window.ExportTable(page, path));
  QVERIFY(table ? window.ExportTable(page, path) : window.ExportChart(page, path));
  QFile written(QFileInfo(path).suffix().isEmpty() ? path + QStringLiteral(".csv") : path);
  QVERIFY(written.open(QIODevice::ReadOnly));
  const QByteArray bytes = written.readAll();
  QVERIFY2(bytes.startsWith(start), bytes.left(40).constData());
  QVERIFY(bytes.size() > 200 || table);
  QVERIFY(m_messages.Texts().isEmpty());
}

void ResultsWindowTest::comparisonOpensTheReportOfASize() {
  const QString path = Write(QStringLiteral("lca.compare.json"), kCompareObject);
  Write(QStringLiteral("lca.k2.out"), "report of two classes\n");
  Write(QStringLiteral("lca.k2.json"), kClassOnlyEm);
  frmResults window;
  window.setAttribute(Qt::WA_DeleteOnClose, false);
  QStringList opened;
  window.SetReportOpener([&opened](const QString& report) {
    opened << report;
    return true;
  });
  QVERIFY(window.OpenComparison(path));
  QCOMPARE(window.PageNames(), (QStringList{"Sizes compared", "Information criteria by size"}));
  QCOMPARE(window.PageModel(QStringLiteral("Sizes compared"))->rowCount(), 3);
  QVERIFY(window.OpenSizeReport(2));
  QCOMPARE(opened, QStringList{m_temp->filePath(QStringLiteral("lca.k2.out"))});
  QVERIFY(!window.OpenSizeReport(3));
  QCOMPARE(m_messages.Texts().size(), 1);
  frmResults* size = window.OpenSizeResults(2);
  QVERIFY(size != nullptr);
  QCOMPARE(size->Data().Classes(), 2);
  delete size;
  QVERIFY(window.OpenSizeResults(3) == nullptr);
}

void ResultsWindowTest::unreadableFileLeavesAMessage() {
  frmResults window;
  window.setAttribute(Qt::WA_DeleteOnClose, false);
  QVERIFY(window.OpenResults(Write(QStringLiteral("run.json"), kClassOnlyEm)));
  QVERIFY(!window.OpenResults(Write(QStringLiteral("bad.json"), "{\"loglik\": ")));
  QCOMPARE(m_messages.Texts().size(), 1);
  QVERIFY(m_messages.Texts()[0].startsWith(QStringLiteral("Not a results file")));
  // The pages shown before stay.
  QCOMPARE(window.PageNames().first(), QStringLiteral("Fit summary"));
  QCOMPARE(window.Data().Classes(), 2);
}

}  // namespace kov::results::test

QTEST_MAIN(kov::results::test::ResultsWindowTest)
#include "results_window_test.moc"
