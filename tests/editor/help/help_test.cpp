// The help pages of the source tree and their shipped copy, the reading of a help folder, and
// the help window driven as a user would: by context number, through the index field, and
// closed all at once.
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>
#include <QSet>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

#include "chelp.h"
#include "help_window.h"

using kov::editor::CHelp;
using kov::editor::ContentsEntry;
using kov::editor::HelpBook;
using kov::editor::HelpCommand;
namespace help_context = kov::editor::help_context;

namespace {

const QString kPages = QStringLiteral(MARNEL_HELP_SOURCE_DIR);
const QString kTinyBook = QStringLiteral(HELP_TEST_DATA "/tiny_book");

QString ReadText(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
  return QString::fromUtf8(file.readAll());
}

QStringList HtmlPages(const QString& folder) {
  return QDir(folder).entryList({QStringLiteral("*.html")}, QDir::Files, QDir::Name);
}

// Empty when "page#anchor" names an existing page of the folder and, if given, an anchor that
// the page defines with name="..." or id="..."; otherwise what is wrong.
QString CheckTarget(const QString& folder, const QString& target) {
  const QString page = target.section(QLatin1Char('#'), 0, 0);
  const QString anchor = target.section(QLatin1Char('#'), 1);
  const QString text = ReadText(QDir(folder).filePath(page));
  if (page.isEmpty() || text.isEmpty()) return QStringLiteral("no page for ") + target;
  if (anchor.isEmpty()) return {};
  const QRegularExpression defined(QStringLiteral("(name|id)=\"%1\"")
                                       .arg(QRegularExpression::escape(anchor)));
  return defined.match(text).hasMatch() ? QString() : QStringLiteral("no anchor for ") + target;
}

void CollectTargets(const std::vector<ContentsEntry>& entries, QStringList* targets) {
  for (const ContentsEntry& entry : entries) {
    targets->append(entry.target);
    CollectTargets(entry.children, targets);
  }
}

QString DocumentTitle(const QTextBrowser* browser) {
  return browser->document()->metaInformation(QTextDocument::DocumentTitle);
}

QString TitleOfPage(const QString& path) {
  const auto match = QRegularExpression(QStringLiteral("<title>([^<]*)</title>")).match(ReadText(path));
  return match.captured(1);
}

}  // namespace

class HelpTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    // Closed windows delete themselves later; finish that before the next test looks.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void pagesReachedFromContentsAndIndexExistAndEveryLinkResolves() {
    HelpBook book;
    QVERIFY(book.Load(kPages));
    QVERIFY2(book.Problems().isEmpty(), qPrintable(book.Problems().join('\n')));

    QStringList failures;
    QStringList contentsTargets;
    CollectTargets(book.Contents(), &contentsTargets);
    QSet<QString> reached;
    for (const QString& target : contentsTargets) {
      failures << CheckTarget(kPages, target);
      reached.insert(target.section(QLatin1Char('#'), 0, 0));
    }
    for (const auto& entry : book.Index()) failures << CheckTarget(kPages, entry.target);

    // Every link and picture of every page, and no page that the contents cannot reach.
    const QRegularExpression link(QStringLiteral("(?:href|src)=\"([^\"]*)\""));
    for (const QString& page : HtmlPages(kPages)) {
      if (!reached.contains(page)) failures << page + QStringLiteral(" is not in the contents");
      const QString text = ReadText(QDir(kPages).filePath(page));
      if (TitleOfPage(QDir(kPages).filePath(page)).trimmed().isEmpty()) {
        failures << page + QStringLiteral(" has no title");
      }
      for (auto it = link.globalMatch(text); it.hasNext();) {
        QString target = it.next().captured(1);
        if (target.startsWith(QLatin1Char('#'))) target.prepend(page);
        const QString problem = CheckTarget(kPages, target);
        if (!problem.isEmpty()) failures << page + QStringLiteral(": ") + problem;
      }
    }
    failures.removeAll(QString());
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
  }

  void everyContextNumberMapsToAnExistingPage() {
    HelpBook book;
    QVERIFY(book.Load(kPages));
    QStringList failures;
    for (const auto& [number, target] : book.ContextMap()) failures << CheckTarget(kPages, target);

    // The numbers the editor can pass: the named pages, every field and option group of the
    // editing form (1000 to 1022, -1 to -6) and every grid (0 to 13).
    std::vector<int> wanted = {
        help_context::kWelcome, help_context::kConcepts, help_context::kFirstModel,
        help_context::kMainWindow, help_context::kFiles, help_context::kDataFile,
        help_context::kGrids, help_context::kRestrictions, help_context::kStartingValues,
        help_context::kRunningEm, help_context::kRunningDa, help_context::kRunWindow,
        help_context::kSeriesViewer, help_context::kMessages, help_context::kCommandLine,
        help_context::kGlossary, help_context::kEstimatesFile, help_context::kAbout};
    for (int n = help_context::kModelAndDataTab; n <= help_context::kDataAugmentationTab; ++n) {
      wanted.push_back(n);
    }
    for (int n = help_context::kReportOverview; n <= help_context::kImputedDataFiles; ++n) {
      wanted.push_back(n);
    }
    for (int id = 1000; id <= 1022; ++id) wanted.push_back(*kov::editor::ContextForInterfaceValue(id));
    for (int id = -1; id >= -6; --id) wanted.push_back(*kov::editor::ContextForInterfaceValue(id));
    for (int grid = 0; grid <= 13; ++grid) wanted.push_back(*kov::editor::ContextForGrid(grid));
    for (int number : wanted) {
      if (!book.TargetForContext(number)) failures << QStringLiteral("no page for %1").arg(number);
    }
    failures.removeAll(QString());
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));

    QCOMPARE(kov::editor::ContextForInterfaceValue(-4), 1104);
    QVERIFY(!kov::editor::ContextForInterfaceValue(1023));
    QVERIFY(!kov::editor::ContextForInterfaceValue(0));
    QVERIFY(!kov::editor::ContextForInterfaceValue(-7));
    QVERIFY(!kov::editor::ContextForGrid(14));
  }

  void readsContentsIndexAndContextFilesAndListsBadLines() {
    HelpBook book;
    QVERIFY(book.Load(kTinyBook));
    // Nesting by two blanks a level; the three wrong lines are skipped and named.
    const auto& top = book.Contents();
    QCOMPARE(top.size(), std::size_t{2});
    QCOMPARE(top[0].title, QStringLiteral("First page"));
    QCOMPARE(top[0].children.size(), std::size_t{2});
    QCOMPARE(top[0].children[0].target, QStringLiteral("first.html#part"));
    QCOMPARE(top[0].children[0].children.at(0).title, QStringLiteral("Deeper still"));
    QCOMPARE(top[0].children[1].title, QStringLiteral("Second page"));
    QCOMPARE(top[1].target, QStringLiteral("second.html#end"));
    QCOMPARE(book.DefaultTarget(), QStringLiteral("first.html"));

    // The first of two lines with one number wins; a word is no number.
    QCOMPARE(book.TargetForContext(2), QStringLiteral("second.html#end"));
    QVERIFY(!book.TargetForContext(3));
    const QStringList problems = book.Problems();
    QCOMPARE(problems.size(), 5);
    for (const char* where : {"contents.txt line 6", "contents.txt line 7", "contents.txt line 8",
                              "context.txt line 3", "context.txt line 4"}) {
      QVERIFY2(!problems.filter(QLatin1String(where)).isEmpty(), where);
    }

    // Terms that begin with the text come before terms that only contain it.
    const auto found = book.FindInIndex(QStringLiteral(" TAU "));
    QCOMPARE(found.size(), std::size_t{2});
    QCOMPARE(found[0].term, QStringLiteral("Tau"));
    QCOMPARE(found[1].term, QStringLiteral("Starting tau values"));
    QCOMPARE(book.FindInIndex({}).size(), std::size_t{3});
    QVERIFY(book.UrlFor(QStringLiteral("second.html#end")).fragment() == QStringLiteral("end"));
  }

  void showByContextNumberOpensThatPage() {
    CHelp help;
    QVERIFY(help.Show(kPages, HelpCommand::kHelpContext, help_context::kTauTab));
    auto* window = help.Window(kPages);
    QVERIFY(window && window->isVisible());
    QCOMPARE(window->CurrentSource().fileName(), QStringLiteral("tab_tau.html"));
    QCOMPARE(DocumentTitle(window->Browser()), TitleOfPage(kPages + "/tab_tau.html"));

    // A field's number opens its tab's page at the field.
    QVERIFY(help.Show(kPages, HelpCommand::kHelpContext, *kov::editor::ContextForInterfaceValue(1007)));
    QCOMPARE(window->CurrentSource().fileName(), QStringLiteral("tab_model_data.html"));
    QCOMPARE(window->CurrentSource().fragment(), QStringLiteral("dataset"));
    QCOMPARE(help.OpenWindowCount(), 1);

    // An unknown number shows the first page and says it did not find the topic; no number at
    // all is a plain topic display.
    QVERIFY(!help.Show(kPages, HelpCommand::kHelpContext, 99999));
    QCOMPARE(window->CurrentSource().fileName(), QStringLiteral("welcome.html"));
    QVERIFY(help.Show(kPages + "/report_fit.html", HelpCommand::kHelpContext));
    QCOMPARE(window->CurrentSource().fileName(), QStringLiteral("report_fit.html"));

    // The contents tree follows the page on show.
    window->Browser()->setSource(QUrl::fromLocalFile(kPages + "/restrictions.html"));
    QVERIFY(window->ContentsTree()->currentItem());
    QCOMPARE(window->ContentsTree()->currentItem()->data(0, Qt::UserRole).toString(),
             QStringLiteral("restrictions.html"));
  }

  void indexSearchFindsATermAndOpensItsPage() {
    CHelp help;
    QVERIFY(help.Show(kPages, HelpCommand::kDisplayIndex));
    auto* window = help.Window(kPages);
    QVERIFY(window);
    QCOMPARE(window->NavigationTabs()->currentIndex(), 1);
    QVERIFY(!window->CurrentSource().isEmpty());  // a page stands beside the index

    QTest::keyClicks(window->IndexField(), QStringLiteral("g-squ"));
    QListWidget* list = window->IndexList();
    QVERIFY(list->count() > 0);
    for (int row = 0; row < list->count(); ++row) {
      QVERIFY(list->item(row)->text().contains(QStringLiteral("G-squared"), Qt::CaseInsensitive));
    }
    QVERIFY(list->item(0)->text().startsWith(QStringLiteral("G-squared"), Qt::CaseInsensitive));
    const QString expected = list->item(0)->data(Qt::UserRole).toString();
    QTest::keyClick(window->IndexField(), Qt::Key_Return);
    QCOMPARE(window->CurrentSource(), window->Book().UrlFor(expected));

    // A word found only inside terms, and a word found nowhere (Return then changes nothing).
    window->IndexField()->clear();
    QTest::keyClicks(window->IndexField(), QStringLiteral("mcar"));
    QVERIFY(list->count() > 0);
    window->IndexField()->clear();
    QTest::keyClicks(window->IndexField(), QStringLiteral("zebrafish"));
    QCOMPARE(list->count(), 0);
    QTest::keyClick(window->IndexField(), Qt::Key_Return);
    QCOMPARE(window->CurrentSource(), window->Book().UrlFor(expected));
  }

  void closeAllClosesEveryHelpWindow() {
    CHelp help;
    QVERIFY(help.Show(kPages, HelpCommand::kDisplayTopic));
    QVERIFY(help.Show(kTinyBook, HelpCommand::kDisplayContents));
    QVERIFY(help.Show(kPages, HelpCommand::kDisplayIndex));  // the same folder's window again
    QCOMPARE(help.OpenWindowCount(), 2);
    QPointer<QWidget> first = help.Window(kPages);
    QPointer<QWidget> second = help.Window(kTinyBook);
    QVERIFY(first->isVisible() && second->isVisible());

    help.CloseAll();
    QVERIFY(!first->isVisible() && !second->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull() && second.isNull());
    QCOMPARE(help.OpenWindowCount(), 0);

    // A window the user closed is opened anew by the next Show.
    QVERIFY(help.Show(kTinyBook, HelpCommand::kDisplayTopic));
    help.Window(kTinyBook)->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(help.OpenWindowCount(), 0);
    QVERIFY(help.Show(kTinyBook, HelpCommand::kDisplayTopic));
    QCOMPARE(help.OpenWindowCount(), 1);
  }

  void missingPagesAreSaidInTheWindow() {
    CHelp help;
    const QString nowhere = QDir::temp().filePath(QStringLiteral("marnel-help-nowhere"));
    QVERIFY(!QFileInfo::exists(nowhere));
    QVERIFY(!help.Show(nowhere, HelpCommand::kDisplayTopic));
    auto* window = help.Window(nowhere);
    QVERIFY(window && window->isVisible());
    QVERIFY(window->Browser()->toPlainText().contains(QStringLiteral("Help pages not found")));
    QVERIFY(!help.Show(kTinyBook + "/missing.html", HelpCommand::kDisplayTopic));
  }

  void pagesAreShippedBesideTheProgram() {
    // This test program is built into the programs' folder, so the default folder is the copy.
    QCOMPARE(CHelp::DefaultHelpFile(), QCoreApplication::applicationDirPath() + "/help");
    QCOMPARE(HtmlPages(CHelp::DefaultHelpFile()), HtmlPages(kPages));
    for (const char* name : {"contents.txt", "index.txt", "context.txt", "style.css"}) {
      QVERIFY2(QFileInfo::exists(CHelp::DefaultHelpFile() + "/" + name), name);
    }
    CHelp help;
    QVERIFY(help.Show(CHelp::DefaultHelpFile(), HelpCommand::kDisplayContents));
    QCOMPARE(help.Window(CHelp::DefaultHelpFile())->CurrentSource().fileName(),
             QStringLiteral("welcome.html"));
  }
};

QTEST_MAIN(HelpTest)
#include "help_test.moc"
